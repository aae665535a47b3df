#include "machine/machineconfig.h"

#include "params/parafile.h"

namespace {

TransformationStore g_transformationStore = nullptr;

struct Reader {
  const ParaFile& file;
  int found = 0;
  void Double(const char* k, double& v) { found += file.GetDouble(k, v); }
  void Int(const char* k, int& v) { found += file.GetInt(k, v); }
  void Bool(const char* k, bool& v) { found += file.GetBool(k, v); }
  void String(const char* k, std::string& v) { found += file.GetString(k, v); }
  void Double(const char* k, int i, double& v) { found += file.GetDouble(k, i, v); }
  void Int(const char* k, int i, int& v) { found += file.GetInt(k, i, v); }
  void Bool(const char* k, int i, bool& v) { found += file.GetBool(k, i, v); }
};

struct Writer {
  ParaFile& file;
  void Double(const char* k, double& v) { file.SetDouble(k, v); }
  void Int(const char* k, int& v) { file.SetInt(k, v); }
  void Bool(const char* k, bool& v) { file.SetBool(k, v); }
  void String(const char* k, std::string& v) { file.SetString(k, v); }
  void Double(const char* k, int i, double& v) { file.SetDouble(k, i, v); }
  void Int(const char* k, int i, int& v) { file.SetInt(k, i, v); }
  void Bool(const char* k, int i, bool& v) { file.SetBool(k, i, v); }
};

}  // namespace

MachineConfig::MachineConfig() {
  const double minPos[kAxisCount] = {0, 0, -100, -100000, -100000, -100000, -100000, -100000, -100000};
  const double maxPos[kAxisCount] = {600, 400, 0, 100000, 100000, 100000, 100000, 100000, 100000};
  for (int i = 0; i < kAxisCount; ++i) {
    AxisParams& a = axis[i];
    a.minPosition = minPos[i];
    a.maxPosition = maxPos[i];
    const bool linear = i < 3 || i > 5;
    if (!linear) {
      a.resolution = 0.01;
      a.maxVelocity = 90.0;
    }
    if (i == 2) a.maxVelocity = 50.0;
    a.displayAxis = i < 3;
    a.handwheelAxis = i < 3;
  }
}

std::string MachineConfig::OffsetKey(int row) {
  return row == kOffsetRowG92 ? std::string("OffsetG92") : "OffsetG" + std::to_string(54 + row);
}

std::string MachineConfig::CommentKey(int row) { return "CommentG" + std::to_string(54 + row); }

std::string MachineConfig::TransformationPrefix(int row) { return "G" + std::to_string(54 + row); }

int MachineConfig::Load(const ParaFile& file) {
  Reader r{file};
  VisitKeys(r);
  return r.found + ReadOffsets(file);
}

int MachineConfig::ReadOffsets(const ParaFile& file) {
  Reader r{file};
  VisitOffsets(r);
  if (g_transformationStore)
    for (int row = 0; row < kWorkSystems; ++row)
      g_transformationStore(const_cast<ParaFile&>(file), row, TransformationPrefix(row), false);
  return r.found;
}

void MachineConfig::Save(ParaFile& file) const {
  SaveKeys(file);
  WriteOffsetRows(file);
}

void MachineConfig::SaveKeys(ParaFile& file) const {
  Writer w{file};
  VisitKeys(w);
}

void MachineConfig::WriteOffsetRows(ParaFile& file) const {
  Writer w{file};
  const_cast<MachineConfig*>(this)->VisitOffsets(w);
  if (g_transformationStore)
    for (int row = 0; row < kWorkSystems; ++row) g_transformationStore(file, row, TransformationPrefix(row), true);
}

void MachineConfig::WriteOffsets(ParaFile& file) const {
  WriteOffsetRows(file);
  for (int i = 0; i < kAxisCount; ++i) file.SetDouble("ParkPos", i, parkPos.v[i]);
  file.SetDouble("SafeZLevel", safeZLevel);
}

TransformationStore SetTransformationStore(TransformationStore store) {
  TransformationStore old = g_transformationStore;
  g_transformationStore = store;
  return old;
}

MachineConfig& GetMachineConfig() {
  static MachineConfig config;
  return config;
}

int LoadMachineConfig() { return GetMachineConfig().Load(GetParaFile(PF_PARAMETER_TABLE)); }

bool SaveMachineConfig() {
  ParaFile& f = GetParaFile(PF_PARAMETER_TABLE);
  GetMachineConfig().Save(f);
  return f.Write();
}
