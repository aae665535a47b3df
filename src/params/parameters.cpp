#include "params/parameters.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <time.h>

#include "base/assertion.h"
#include "base/logging.h"
#include "params/parafile.h"

// ---------------------------------------------------------------------------
// Run-time counter

namespace {

double MonotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

RunTimer::Clock g_clock = MonotonicSeconds;
double g_base = 0.0;
double g_start = 0.0;
bool g_running = false;

std::string VarKey(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%02d", n);
  return buf;
}

unsigned ViewId(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

namespace RunTimer {

void Start() {
  g_start = g_clock();
  g_running = true;
}

void Stop() {
  if (!g_running) return;
  g_base = Value(true);
  g_running = false;
}

bool IsRunning() { return g_running; }

double Value(bool enabled) {
  if (enabled && g_running) return g_base + (g_clock() - g_start) / 60.0;
  return g_base;
}

double Base() { return g_base; }
void SetBase(double minutes) { g_base = minutes; }

Clock SetClock(Clock clock) {
  Clock old = g_clock;
  g_clock = clock ? clock : MonotonicSeconds;
  return old;
}

void Reset() {
  g_base = 0.0;
  g_start = 0.0;
  g_running = false;
}

}  // namespace RunTimer

// ---------------------------------------------------------------------------
// Parameters

std::bitset<NumGlobals> Parameters::loaded;
std::bitset<NumGlobals> Parameters::dirtyVars;
std::atomic<int> Parameters::openCount{0};

Parameters::Parameters() {
  for (double& d : locals) d = 0.0;
  for (double& d : globals) d = 0.0;
  locals[36] = -1.0;  // G word: no G code seen yet
  ++openCount;
}

Parameters::Parameters(const Parameters& other) : ownGlobals(other.ownGlobals) {
  std::memcpy(locals, other.locals, sizeof locals);
  std::memcpy(globals, other.globals, sizeof globals);
  ++openCount;
}

Parameters& Parameters::operator=(const Parameters& other) {
  if (this != &other) {
    std::memcpy(locals, other.locals, sizeof locals);
    std::memcpy(globals, other.globals, sizeof globals);
    ownGlobals = other.ownGlobals;
  }
  return *this;
}

Parameters::~Parameters() {
  const int left = --openCount;
  LogMessage(22, "#PARAMETERS OpenCount on Close is %d.", left);
  if (left == 0) {
    LogMessage(22, "#PARAMETERS Last Close, OpenCount is 0");
    CloseParameterFiles();
  }
}

int Parameters::OpenCount() { return openCount; }

bool Parameters::IsLoaded(int n) { return n >= MinGlobal && n < MaxVar && loaded.test(n - MinGlobal); }

bool Parameters::IsDirty(int n) { return n >= MinGlobal && n < MaxVar && dirtyVars.test(n - MinGlobal); }

void Parameters::ClearMarks() {
  loaded.reset();
  dirtyVars.reset();
}

void Parameters::SetVar(int n, double v) {
  if (n < 0 || n >= MaxVar) return;
  if (n < MinGlobal) {
    locals[n] = v;
    return;
  }
  globals[n - MinGlobal] = v;
  if (!ownGlobals) {
    loaded.set(n - MinGlobal);
    dirtyVars.set(n - MinGlobal);
  }
  if (n > 900 && n < 951) LogMessage(36, "SetVar view=%X #=%d val=%f", ViewId(this), n, v);
}

double Parameters::ReadGlobal(int n) {
  const int ix = n - MinGlobal;
  if (!ownGlobals && !loaded.test(ix)) {
    double v = 0.0;
    GetParaFile(PF_VARIABLE_TABLE).GetDouble(VarKey(n), v);
    globals[ix] = v;
    loaded.set(ix);
  }
  return globals[ix];
}

double Parameters::GetVar(int n) {
  if (n < 0 || n >= MaxVar) return 0.0;
  if (n < MinGlobal) return locals[n];
  double v;
  if (n == 929) {
    ReadGlobal(929);  // keeps the stored value current for the write-back
    v = RunTimer::Value(ReadGlobal(928) != 0.0);
  } else {
    v = ReadGlobal(n);
  }
  if (n >= 901 && n < 951) LogMessage(38, "GetVar view=%X #=%d val=%f", ViewId(this), n, v);
  return v;
}

void Parameters::SetLetter(char c, double v) { SetVar(c == 'z' ? 66 : 30 + (c - 'A'), v); }

double Parameters::GetLetter(char c) { return GetVar(c == 'z' ? 66 : 30 + (c - 'A')); }

int Parameters::WordVarNumber(char c, int n) {
  if (c == 'P' && n >= 0 && n <= 9) return 56 + n;
  if (c == '#' && ((n >= 0 && n < 30) || (n >= MinGlobal && n < MaxVar))) return n;
  return -1;
}

void Parameters::SetWordVar(char c, int n, double v) { SetVar(WordVarNumber(c, n), v); }

double Parameters::GetWordVar(char c, int n) { return GetVar(WordVarNumber(c, n)); }

void Parameters::CopyVars(const Parameters& src, int start, int end) {
  if (!QASSERT(start >= 0 && start <= end && end <= MinGlobal, "start >= 0 && start <= end && end <= MinGlobal")) return;
  for (int i = start; i < end; ++i) locals[i] = src.locals[i];
  std::memcpy(globals, src.globals, sizeof globals);
}

void Parameters::LoadVars(ParaFile& file) {
  loaded.reset();
  dirtyVars.reset();
  const bool isVarTable = &file == &GetParaFile(PF_VARIABLE_TABLE);
  for (int n = MinGlobal; n < MaxVar; ++n) {
    // After start-up an imported set must not move the active offsets,
    // coordinate system and tool.
    if (!isVarTable && n >= 900 && n <= 950 && IsInitialised()) continue;
    double v = 0.0;
    if (file.GetDouble(VarKey(n), v)) {
      globals[n - MinGlobal] = v;
      loaded.set(n - MinGlobal);
      if (n == 929) RunTimer::SetBase(v);
    } else {
      globals[n - MinGlobal] = 0.0;
    }
  }
}

void Parameters::OwnGlobals() {
  if (ownGlobals) return;
  ParaFile& file = GetParaFile(PF_VARIABLE_TABLE);
  for (int n = MinGlobal; n < MaxVar; ++n) {
    const int ix = n - MinGlobal;
    if (loaded.test(ix)) continue;
    double v = 0.0;
    file.GetDouble(VarKey(n), v);
    globals[ix] = v;
  }
  ownGlobals = true;
}

bool Parameters::WriteVars() {
  if (ownGlobals) return true;
  if (ReadGlobal(928) != 0.0) {
    const double rt = RunTimer::Value(true);
    if (rt != ReadGlobal(929)) SetVar(929, rt);
  }
  ParaFile& file = GetParaFile(PF_VARIABLE_TABLE);
  bool any = false;
  for (int n = MinGlobal; n < MaxVar; ++n) {
    if (!dirtyVars.test(n - MinGlobal)) continue;
    file.SetDouble(VarKey(n), globals[n - MinGlobal]);
    any = true;
  }
  if (!any) return true;
  if (!file.Write()) {
    ShowErrorMessage("System error!", "Could not write Parameterfile.");
    LogMessage(22, "#PARAMETERS Parameterfile could not be written.");
    return false;
  }
  dirtyVars.reset();
  return true;
}

void Parameters::ExportVars(ParaFile& file) const {
  for (int n = MinGlobal; n < MaxVar; ++n)
    if (loaded.test(n - MinGlobal)) file.SetDouble(VarKey(n), globals[n - MinGlobal]);
}

void ResetParameterFilesForTest() {
  for (int i = 0; i < PF_COUNT; ++i) GetParaFile(static_cast<ParaFileId>(i)).Discard();
  Parameters::ClearMarks();
  SetInitialised(false);
  RunTimer::Reset();
}
