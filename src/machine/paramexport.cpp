#include "machine/paramexport.h"

#include <cstdio>
#include <map>

#include "machine/machineconfig.h"
#include "params/parafile.h"
#include "params/parameters.h"
#include "machine/tooltable.h"

const char* const kExportSections[kExportSectionCount] = {
    "MachineParameters", "Offsets", "ToolList", "Hotkeys",           "GuiParameters", "UserVariables",
    "ioMapping",         "Logic",   "Modbus",   "PitchCompensation", "Importfilter"};

namespace {

struct SectionHooks {
  SectionWriter writer = nullptr;
  SectionReader reader = nullptr;
};

std::map<std::string, SectionHooks>& Hooks() {
  static std::map<std::string, SectionHooks> hooks;
  return hooks;
}

}  // namespace

void RegisterExportSection(const std::string& name, SectionWriter writer, SectionReader reader) {
  Hooks()[name] = SectionHooks{writer, reader};
}

bool ExportParameterSet(const std::string& path, const Parameters& vars) {
  ParaFile file(ParaFile::MODE_APPEND);
  if (!file.CreateNew(path)) return false;
  for (const char* name : kExportSections) {
    const std::string section = name;
    file.WriteSection(section);
    if (section == "MachineParameters") {
      GetMachineConfig().SaveKeys(file);
    } else if (section == "Offsets") {
      GetMachineConfig().WriteOffsets(file);
    } else if (section == "ToolList") {
      GetToolTable().Save(file);
    } else if (section == "UserVariables") {
      vars.ExportVars(file);
    } else {
      auto it = Hooks().find(section);
      if (it != Hooks().end() && it->second.writer) it->second.writer(file);
    }
  }
  return file.Write();
}

bool ImportParameterSet(const std::string& path, Parameters& vars) {
  ParaFile file(ParaFile::MODE_SECTIONS);
  if (!file.OpenExisting(path)) return false;
  bool ok = true;
  for (std::string section = file.NextSection(); !section.empty(); section = file.NextSection()) {
    if (section == "MachineParameters") {
      GetMachineConfig().Load(file);
      ok &= SaveMachineConfig();
    } else if (section == "Offsets") {
      GetMachineConfig().ReadOffsets(file);
      ParaFile& table = GetParaFile(PF_PARAMETER_TABLE);
      GetMachineConfig().WriteOffsets(table);
      ok &= table.Write();
    } else if (section == "ToolList") {
      GetToolTable().Load(file);
      ok &= SaveToolTable();
    } else if (section == "UserVariables") {
      vars.LoadVars(file);
      // Keep the variable table in step: imported values replace the
      // stored ones, globals absent from the set read as 0 from now on.
      ParaFile& table = GetParaFile(PF_VARIABLE_TABLE);
      for (int n = MinGlobal; n < MaxVar; ++n) {
        if (IsInitialised() && n >= 900 && n <= 950) continue;
        char key[16];
        std::snprintf(key, sizeof key, "#%02d", n);
        if (Parameters::IsLoaded(n))
          table.SetDouble(key, vars.GetVar(n));
        else
          table.RemoveKey(key);
      }
      ok &= table.Write();
    } else {
      auto it = Hooks().find(section);
      if (it != Hooks().end() && it->second.reader) it->second.reader(file);
    }
  }
  return ok;
}
