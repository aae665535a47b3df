// Parameter sets: one file with a section per subsystem, written when the
// operator exports the settings and read back by the import.
#pragma once

#include <string>

class ParaFile;
class Parameters;

// The sections of an export file, in file order.
constexpr int kExportSectionCount = 11;
extern const char* const kExportSections[kExportSectionCount];

// Subsystems owning a section plug in here; a section without a writer is
// written as an empty section, one without a reader is skipped on import.
using SectionWriter = void (*)(ParaFile& file);  // file in append mode
using SectionReader = void (*)(ParaFile& file);  // file in section mode, section current
void RegisterExportSection(const std::string& name, SectionWriter writer, SectionReader reader);

// Writes a new export file at path (an existing file is replaced): machine
// parameters, offsets, tool list, the loaded globals of vars, and the
// sections of the registered owners. False when the file cannot be written.
bool ExportParameterSet(const std::string& path, const Parameters& vars);

// Reads an export file: the machine parameters, offsets and tool list
// replace the configuration and are saved to their files; the variables are
// loaded into vars (after start-up #900..#950 stay as they are) and saved.
bool ImportParameterSet(const std::string& path, Parameters& vars);
