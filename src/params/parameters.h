// The numbered variables #0..#999 of the macro language. Locals live in each
// object; globals (#100..#999) persist in "VariableTable.txt". Which globals
// have been read or set (loaded) and which must be written (dirty) is known
// process-wide, shared by every object.
#pragma once

#include <atomic>
#include <bitset>

class ParaFile;

constexpr int MinGlobal = 100;
constexpr int MaxVar = 1000;
constexpr int NumGlobals = MaxVar - MinGlobal;

// Spindle run-time counter behind #929 (minutes), process-wide.
namespace RunTimer {
void Start();  // spindle switched on from off
void Stop();   // spindle switched off
bool IsRunning();
// Value in minutes: base plus the running time when enabled (#928 != 0).
double Value(bool enabled);
double Base();
void SetBase(double minutes);
// Seconds from a monotonic clock; tests install their own.
using Clock = double (*)();
Clock SetClock(Clock clock);  // nullptr restores the monotonic clock
void Reset();
}  // namespace RunTimer

class Parameters {
 public:
  Parameters();
  Parameters(const Parameters& other);
  Parameters& operator=(const Parameters& other);
  virtual ~Parameters();

  void SetVar(int n, double v);
  double GetVar(int n);

  // Letter words: #(30 + c - 'A'), 'z' is #66.
  void SetLetter(char c, double v);
  double GetLetter(char c);
  // ('P', 0..9) -> #56..#65; ('#', 0..29) and ('#', 100..999) -> n.
  void SetWordVar(char c, int n, double v);
  double GetWordVar(char c, int n);
  static int WordVarNumber(char c, int n);  // -1 when not addressable

  // Copies locals [start, end) and all globals.
  void CopyVars(const Parameters& src, int start, int end);

  // Reads every global from file (see the skip rule for #900..#950 after
  // start-up when file is not the variable table).
  void LoadVars(ParaFile& file);
  // Writes the dirty globals into "VariableTable.txt". False on a failed
  // write; an object that owns its globals writes nothing.
  bool WriteVars();
  // From now on this object's globals are its own: every global nobody has
  // read yet is read from the variable file now, and later reads and writes
  // touch neither the file nor the process-wide marks (another thread may
  // use those meanwhile).
  void OwnGlobals();
  bool OwnsGlobals() const { return ownGlobals; }
  // Writes every loaded global into file.
  void ExportVars(ParaFile& file) const;

  // Process-wide state.
  static int OpenCount();
  static bool IsLoaded(int n);
  static bool IsDirty(int n);
  static void ClearMarks();

 protected:
  double locals[MinGlobal];
  double globals[NumGlobals];
  bool ownGlobals = false;

 private:
  double ReadGlobal(int n);
  static std::bitset<NumGlobals> loaded;
  static std::bitset<NumGlobals> dirtyVars;
  // Objects live on several threads (previews, back ends).
  static std::atomic<int> openCount;
};
