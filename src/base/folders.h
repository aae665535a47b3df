// Where the system keeps its files. Every folder can be pointed elsewhere
// (environment or explicit call) so that tests and tools never touch the
// operator's real settings.
#pragma once

#include <string>

namespace Folders {
// Parameter files: QUORVANE_PARAM_DIR, else <user config dir>/quorvane.
std::string Parameters();
// Macro files: QUORVANE_MACRO_DIR, else <parameter folder>/macros.
std::string Macros();
// Log files: QUORVANE_LOG_DIR, else <parameter folder>/log.
std::string Logs();

void SetParameters(const std::string& dir);
void SetMacros(const std::string& dir);
void SetLogs(const std::string& dir);

// Joins a folder and a file name with exactly one separator.
std::string Join(const std::string& dir, const std::string& name);
}  // namespace Folders
