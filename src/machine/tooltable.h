// The tool table ("ToolTable.txt"): tool records kept sorted by tool number
// and second key.
#pragma once

#include <string>
#include <vector>

class ParaFile;

struct ToolRecord {
  int numT = 0;   // tool number
  int numP = 0;   // second key; -1 matches any
  int type = 0;
  double dia1 = 0.0;
  double dia2 = 0.0;
  double len1 = 0.0;
  double len2 = 0.0;
  double defaultS = 0.0;
  double defaultF = 0.0;
  double pressure = 0.0;
  double maxRpm = 0.0;
  double maxLife = 0.0;
  double useTime = 0.0;
  std::string name;
  std::string material;
  bool overrideS = false;
  bool overrideF = false;
  int colour = 0;
  double offsetX = 0.0;
  double offsetY = 0.0;
  double offsetZ = 0.0;
  int altZaxis = 0;    // axis taking the Z role: 0 = Z, 1 = U, 2 = V, 3 = W
  int altSpindle = 0;
  int toolOrient = 0;  // 0 = +Z, 1 = +X, 2 = -X, 3 = +Y, 4 = -Y, other = none

  bool operator==(const ToolRecord&) const = default;
};

class ToolTable {
 public:
  // Inserts in (numT, numP) order; every record with the same numT whose
  // numP equals this one's, or where either side is -1, is replaced.
  void Insert(const ToolRecord& rec);
  // Removes the records that (T, P) addresses; returns how many.
  int Remove(int T, int P);
  void Clear() { tools.clear(); }

  // T = 0 gives an all-zero record and counts as found; otherwise the first
  // record with numT == T and numP == P, -1 on either side matching any.
  bool FindTool(int T, int P, ToolRecord& out) const;
  const ToolRecord* Find(int T, int P) const;

  int Count() const { return static_cast<int>(tools.size()); }
  const ToolRecord& At(int i) const { return tools[static_cast<size_t>(i)]; }
  const std::vector<ToolRecord>& Records() const { return tools; }

  // Replaces the content with the records in file (numTools + indexed keys).
  // Returns false when numTools is absent (the table is then empty).
  bool Load(const ParaFile& file);
  // Writes numTools and the records; a shorter list removes the keys of the
  // records beyond it (mode 0 files).
  void Save(ParaFile& file) const;

 private:
  static bool Matches(const ToolRecord& r, int T, int P);
  std::vector<ToolRecord> tools;
};

// The process-wide tool table, loaded at start-up.
ToolTable& GetToolTable();
// Lookup on the process-wide table.
bool FindTool(int T, int P, ToolRecord& out);
// Loads the process-wide table from the open "ToolTable.txt".
bool LoadToolTable();
// Saves the process-wide table into "ToolTable.txt" and writes the file.
bool SaveToolTable();
