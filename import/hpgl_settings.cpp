// HPGL import settings: load and save through the parameter files.
#include "import/hpgl_settings.h"

#include "base/logging.h"
#include "params/parafile.h"

namespace {
constexpr int32_t LOG_IMPORT_MESSAGE = 0x0800 | 4;
constexpr int32_t LOG_IMPORT_ERROR = 0x0800 | 6;

bool HasPenKeys(const ParaFile& f, int pen) {
  return f.FindKey(ParaFile::IndexedKey("HPGL_PenActive", pen)) >= 0 ||
         f.FindKey(ParaFile::IndexedKey("HPGL_Speed", pen)) >= 0;
}
}  // namespace

void LoadHpglSettings(const ParaFile& f, HpglSettings& s, std::vector<HpglPenSettings>& table) {
  f.GetInt("HPGL_ZSel", s.zSel);
  f.GetInt("HPGL_FeedSel", s.feedSel);
  f.GetInt("HPGL_ToolSel", s.toolSel);
  f.GetInt("HPGL_OffsetSel", s.offsetSel);
  f.GetBool("HPGL_Corel", s.corel);
  f.GetBool("HPGL_metric", s.metric);
  f.GetBool("HPGL_withln", s.withLineNumbers);
  f.GetBool("HPGL_constVel", s.constVel);
  f.GetDouble("HPGL_ZTiefe", s.zDepth);
  f.GetDouble("HPGL_ZFeed", s.zFeed);
  f.GetDouble("HPGL_SpindelSpeed", s.spindleSpeed);
  f.GetDouble("HPGL_Feedrate", s.feedrate);
  f.GetInt("HPGL_Tool", s.tool);
  f.GetDouble("HPGL_TopMat", s.topMat);
  f.GetDouble("HPGL_ZG0", s.zSafe);
  if (table.size() < static_cast<size_t>(kHpglPenTableSize)) table.resize(kHpglPenTableSize);
  for (int pen = 0; pen < kHpglPenTableSize; ++pen) {
    HpglPenSettings& row = table[pen];
    f.GetDouble("HPGL_Speed", pen, row.feed);
    f.GetDouble("HPGL_ZFeed", pen, row.zFeed);
    f.GetDouble("HPGL_ZValue", pen, row.zDepth);
    f.GetDouble("HPGL_SSpeed", pen, row.spindleSpeed);
    f.GetInt("HPGL_AssTool", pen, row.tool);
    f.GetBool("HPGL_PenActive", pen, row.active);
    f.GetDouble("HPGL_VS", pen, row.velocity);
  }
}

void LoadHpglMachineSettings(const ParaFile& machine, HpglSettings& s) { machine.GetBool("CenterAbs", s.centerAbs); }

bool SaveHpglSettings(ParaFile& f, const HpglSettings& s, const std::vector<HpglPenSettings>& table) {
  f.SetInt("HPGL_ZSel", s.zSel);
  f.SetInt("HPGL_FeedSel", s.feedSel);
  f.SetInt("HPGL_ToolSel", s.toolSel);
  f.SetInt("HPGL_OffsetSel", s.offsetSel);
  f.SetBool("HPGL_Corel", s.corel);
  f.SetBool("HPGL_metric", s.metric);
  f.SetBool("HPGL_withln", s.withLineNumbers);
  f.SetBool("HPGL_constVel", s.constVel);
  f.SetDouble("HPGL_ZTiefe", s.zDepth);
  f.SetDouble("HPGL_ZFeed", s.zFeed);
  f.SetDouble("HPGL_SpindelSpeed", s.spindleSpeed);
  f.SetDouble("HPGL_Feedrate", s.feedrate);
  f.SetInt("HPGL_Tool", s.tool);
  f.SetDouble("HPGL_TopMat", s.topMat);
  f.SetDouble("HPGL_ZG0", s.zSafe);
  const HpglPenSettings defaults;
  for (size_t pen = 0; pen < table.size() && pen < static_cast<size_t>(kHpglPenTableSize); ++pen) {
    const HpglPenSettings& row = table[pen];
    const int ix = static_cast<int>(pen);
    // Rows never touched stay out of the file; the table has 256 of them.
    const bool isDefault = row.feed == defaults.feed && row.zFeed == defaults.zFeed &&
                           row.zDepth == defaults.zDepth && row.spindleSpeed == defaults.spindleSpeed &&
                           row.tool == defaults.tool && row.active == defaults.active &&
                           row.velocity == defaults.velocity;
    if (isDefault && !HasPenKeys(f, ix)) continue;
    f.SetDouble("HPGL_Speed", ix, row.feed);
    f.SetDouble("HPGL_ZFeed", ix, row.zFeed);
    f.SetDouble("HPGL_ZValue", ix, row.zDepth);
    f.SetDouble("HPGL_SSpeed", ix, row.spindleSpeed);
    f.SetInt("HPGL_AssTool", ix, row.tool);
    f.SetBool("HPGL_PenActive", ix, row.active);
    f.SetDouble("HPGL_VS", ix, row.velocity);
  }
  if (f.Write()) {
    LogMessage(LOG_IMPORT_MESSAGE, "HPGL_Import::Config saved");
    return true;
  }
  LogMessage(LOG_IMPORT_ERROR, "HPGL_Import::Config not saved");
  return false;
}

void LoadHpglSettings(HpglSettings& s, std::vector<HpglPenSettings>& table) {
  LoadHpglSettings(GetParaFile(PF_USER_SETTINGS), s, table);
  LoadHpglMachineSettings(GetParaFile(PF_PARAMETER_TABLE), s);
}

bool SaveHpglSettings(const HpglSettings& s, const std::vector<HpglPenSettings>& table) {
  return SaveHpglSettings(GetParaFile(PF_USER_SETTINGS), s, table);
}
