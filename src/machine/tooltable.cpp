#include "machine/tooltable.h"

#include <algorithm>
#include <tuple>

#include "params/parafile.h"

namespace {

// One place that names every field of a record, so load and save agree.
template <class R, class F>
void VisitFields(R& r, F&& f) {
  f.Int("numT", r.numT);
  f.Int("numP", r.numP);
  f.Int("type", r.type);
  f.Double("dia1", r.dia1);
  f.Double("dia2", r.dia2);
  f.Double("len1", r.len1);
  f.Double("len2", r.len2);
  f.Double("defaultS", r.defaultS);
  f.Double("defaultF", r.defaultF);
  f.Double("pressure", r.pressure);
  f.Double("maxRpm", r.maxRpm);
  f.Double("maxLife", r.maxLife);
  f.Double("useTime", r.useTime);
  f.Raw("name", r.name);
  f.Raw("material", r.material);
  f.Bool("overrideS", r.overrideS);
  f.Bool("overrideF", r.overrideF);
  f.Int("colour", r.colour);
  f.Double("offsetX", r.offsetX);
  f.Double("offsetY", r.offsetY);
  f.Double("offsetZ", r.offsetZ);
  f.Int("altZaxis", r.altZaxis);
  f.Int("altSpindle", r.altSpindle);
  f.Int("toolOrient", r.toolOrient);
}

struct Reader {
  const ParaFile& file;
  int index;
  void Int(const char* k, int& v) { file.GetInt(k, index, v); }
  void Bool(const char* k, bool& v) { file.GetBool(k, index, v); }
  void Double(const char* k, double& v) { file.GetDouble(k, index, v); }
  void Raw(const char* k, std::string& v) { file.GetRawString(k, index, v); }
};

struct Writer {
  ParaFile& file;
  int index;
  void Int(const char* k, const int& v) { file.SetInt(k, index, v); }
  void Bool(const char* k, const bool& v) { file.SetBool(k, index, v); }
  void Double(const char* k, const double& v) { file.SetDouble(k, index, v); }
  void Raw(const char* k, const std::string& v) { file.SetRawString(k, index, v); }
};

struct Remover {
  ParaFile& file;
  int index;
  void Remove(const char* k) { file.RemoveKey(ParaFile::IndexedKey(k, index)); }
  void Int(const char* k, const int&) { Remove(k); }
  void Bool(const char* k, const bool&) { Remove(k); }
  void Double(const char* k, const double&) { Remove(k); }
  void Raw(const char* k, const std::string&) { Remove(k); }
};

bool Less(const ToolRecord& a, const ToolRecord& b) { return std::tie(a.numT, a.numP) < std::tie(b.numT, b.numP); }

}  // namespace

bool ToolTable::Matches(const ToolRecord& r, int T, int P) {
  return r.numT == T && (r.numP == P || r.numP == -1 || P == -1);
}

void ToolTable::Insert(const ToolRecord& rec) {
  std::erase_if(tools, [&](const ToolRecord& r) { return Matches(r, rec.numT, rec.numP); });
  tools.insert(std::upper_bound(tools.begin(), tools.end(), rec, Less), rec);
}

int ToolTable::Remove(int T, int P) {
  return static_cast<int>(std::erase_if(tools, [&](const ToolRecord& r) { return Matches(r, T, P); }));
}

const ToolRecord* ToolTable::Find(int T, int P) const {
  for (const ToolRecord& r : tools)
    if (Matches(r, T, P)) return &r;
  return nullptr;
}

bool ToolTable::FindTool(int T, int P, ToolRecord& out) const {
  if (T == 0) {
    out = ToolRecord();
    return true;
  }
  const ToolRecord* r = Find(T, P);
  if (!r) return false;
  out = *r;
  return true;
}

bool ToolTable::Load(const ParaFile& file) {
  tools.clear();
  int n = 0;
  if (!file.GetInt("numTools", n)) return false;
  for (int i = 0; i < n; ++i) {
    ToolRecord r;
    if (!file.GetInt("numT", i, r.numT)) break;  // a count beyond the records
    Reader rd{file, i};
    VisitFields(r, rd);
    Insert(r);
  }
  return true;
}

void ToolTable::Save(ParaFile& file) const {
  int old = 0;
  if (file.GetMode() == ParaFile::MODE_KEYS) file.GetInt("numTools", old);
  file.SetInt("numTools", Count());
  for (int i = 0; i < Count(); ++i) {
    Writer w{file, i};
    VisitFields(tools[static_cast<size_t>(i)], w);
  }
  for (int i = Count(); i < old && i < 100000; ++i) {
    Remover rm{file, i};
    ToolRecord dummy;
    VisitFields(dummy, rm);
  }
}

ToolTable& GetToolTable() {
  static ToolTable table;
  return table;
}

bool FindTool(int T, int P, ToolRecord& out) { return GetToolTable().FindTool(T, P, out); }

bool LoadToolTable() { return GetToolTable().Load(GetParaFile(PF_TOOL_TABLE)); }

bool SaveToolTable() {
  ParaFile& f = GetParaFile(PF_TOOL_TABLE);
  GetToolTable().Save(f);
  return f.Write();
}
