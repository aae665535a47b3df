// The HPGL import settings in the parameter files: the dialog's global values
// and the pen table live in "UserSettings.txt"; the circle-centre mode is the
// machine's `CenterAbs` in "ParameterTable.txt".
#pragma once

#include <vector>

#include "import/hpgl_parser.h"

class ParaFile;

// Pen numbers stored in the pen table (index = pen number).
constexpr int kHpglPenTableSize = 256;

// Reads the settings; keys that are absent keep the values passed in.
void LoadHpglSettings(const ParaFile& user, HpglSettings& settings, std::vector<HpglPenSettings>& penTable);
// Reads `CenterAbs` of the machine parameters into settings.centerAbs.
void LoadHpglMachineSettings(const ParaFile& machine, HpglSettings& settings);
// Writes the settings and every pen of the table that a file used (pens) or
// that already has stored values, then writes the file back. Logs
// "HPGL_Import::Config saved" or "HPGL_Import::Config not saved".
bool SaveHpglSettings(ParaFile& user, const HpglSettings& settings, const std::vector<HpglPenSettings>& penTable);

// The same with the process-wide parameter files (opened by start-up).
void LoadHpglSettings(HpglSettings& settings, std::vector<HpglPenSettings>& penTable);
bool SaveHpglSettings(const HpglSettings& settings, const std::vector<HpglPenSettings>& penTable);
