// Start-up steps of the application that need no window: the load warning,
// the command-line argument, the folder-rights probe, the single-instance
// lock and the timer resolution. Kept apart from the application object so
// that each can be tested on its own.
#pragma once

#include <memory>
#include <string>

class wxSingleInstanceChecker;

namespace startup {

// Process CPU time and wall-clock time at one moment (seconds).
struct CpuSample {
  double cpuSeconds = 0;
  double wallSeconds = 0;
};
CpuSample TakeCpuSample();
// Load of the process between two samples as a percentage of all cores:
// CPU time / wall time / processors x 100. 0 when no time has passed.
double CpuLoadPercent(const CpuSample& from, const CpuSample& to, int processors);
// Start-up above this load means something else competes for the cores.
constexpr double kCpuWarnPercent = 45.0;
bool CpuLoadNeedsWarning(double percent);
// "Warning!\nact. CPU-core load is: %0.f percent\n..." for the dialog.
std::string CpuLoadWarningText(double percent);

// The optional argument: an existing parameter-set file is imported (true).
// Anything else leaves the previous settings and returns false with the
// operator's message in `message`.
bool WasCalledWithArgument(const std::string& argument, std::string& message);

// Writes "Testfile.tst" into each folder the system writes to (parameter,
// macro, log, backup, temporary files) and removes it again. Returns the
// texts of the folders that refused, one per line; empty when all were
// writable.
std::string ProbeFolderRights();
// One folder; false when the test file cannot be written.
bool FolderIsWritable(const std::string& folder);

// Holds the lock that keeps a second instance on the same parameter folder
// from starting; nullptr (and the text in `message`) when another instance
// has it.
std::unique_ptr<wxSingleInstanceChecker> ClaimSingleInstance(const std::string& appName, std::string& message);

// Timer resolution: asks for 1 ms wake-up precision (or keeps a finer one)
// and logs what it was and what it is now.
void SetTimerResolution();

}  // namespace startup
