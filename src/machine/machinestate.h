// The modal state of a run: numbered variables, active coordinate system with
// its offset and transformation, current tool with length and X/Y/Z offset,
// spindle/coolant and mode flags, backlash direction bits, program position
// and the program line that the executed motion has reached.
//
// Instances:
//  - actState ("Real"): the machine as executed; state changes reach it when
//    the motion passes them. Displays read it.
//  - simState ("Sim"): the simulation back end's state.
//  - GetCurrentState(): actState, or simState once the operator works
//    without hardware.
//  - Working copies (interpreter, back ends): MachineState(src, suffix),
//    brought back in line with Merge.
//
// Transformations are process-wide and shared by all states: G53 (tag 0),
// the configured G54..G59 (tags 1..6, saved in "ParameterTable.txt") and the
// working copies of G54..G59 (tags 7..12, based on the configured ones).
// A state only selects one of them and feeds it offsets. Every selection and
// offset change keeps the machine position ToMachine(progPos) where it is.
//
// An isolated state (Isolate) works on a snapshot of all of that instead: a
// preview on a thread of its own draws what a program does to its offsets
// without changing the operator's or racing with the threads that use them.
//
// No locks: a state belongs to one thread at a time (see the state change
// lists for how actState is updated).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/coordinates.h"
#include "params/parameters.h"

class Transformation;

// Bits of MachineState::stateFlags.
enum StateFlagBit {
  SF_SPINDLE_CW = 0,          // M3
  SF_SPINDLE_CCW = 1,         // M4
  SF_COOLANT_MIST = 2,        // M7
  SF_COOLANT_FLOOD = 3,       // M8
  SF_TOOL_LENGTH = 6,         // G43
  SF_EXACT_STOP = 7,          // G62 record flag: set by G61 (exact stop), clear = smoothing (G64, fresh start)
  SF_M14 = 10,                // M14 on, M15 off
  SF_INCH = 11,               // G20
  SF_INCREMENTAL = 12,        // G91
  SF_FEED_PER_REV = 13,       // G95
  SF_CONSTANT_RPM = 14,       // G97
  SF_FEED_OVERRIDE = 15,      // M50 record flag
  SF_SPINDLE_OVERRIDE = 16,   // M51 record flag
  SF_SURFACE_MAPPING = 19,    // "L49": mapping on in the active transformation
  SF_SCALING = 20,            // active transformation scales (G51)
  SF_ROTATION = 21,           // active transformation rotates (G68)
  SF_M53 = 22,                // M53 record flag
};

// Log codes of the machine state (category "planning, machine state" and
// "offsets"); the fixed codes given with particular lines are used as is.
constexpr int32_t LOG_STATE = 0x43;           // 67
constexpr int32_t LOG_STATE_OFFSETS = 0x1003;  // 4099

// Which logical axis carries the names U, V and W, and which logical axes
// are enabled. Default: axes 0..8 named X, Y, Z, A, B, C, U, V, W, all
// enabled. Names are indexes in the axis-name list of the parameter files
// (0 = none, 1..9 = X..W).
struct AxisAssignment {
  int name[kAxisCount] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  bool enabled[kAxisCount] = {true, true, true, true, true, true, true, true, true};

  // Logical axis whose name is `nameIndex` (1..27), -1 if none.
  int AxisWithName(int nameIndex) const;
  bool IsEnabled(int axis) const { return axis >= 0 && axis < kAxisCount && enabled[axis]; }
  // Names one logical axis; name 0 also disables it, any other enables it.
  void SetAxisName(int axis, int nameIndex);
};

AxisAssignment& GetAxisAssignment();

// Process-wide transformations. row = 0..5 for G54..G59.
Transformation& GetMachineTransformation();
// The configuration's spare transformation (tag -1).
Transformation& GetSpareTransformation();
Transformation& GetConfiguredTransformation(int row);
Transformation& GetWorkTransformation(int row);
// Surface-mapping flag of a work coordinate system (not persisted).
bool GetSurfaceMappingFlag(int row);

class MachineState : public Parameters {
 public:
  // Defined where the states are made; a header user only passes them on.
  struct TransformationSet;
  struct Snapshot;

  explicit MachineState(const std::string& name);
  // Copies every field but softLimitsEnabled, which starts enabled: a copy
  // used for a run must not silently lose the limit check. The view becomes
  // the source's name followed by suffix. Copies all variables.
  MachineState(const MachineState& src, const std::string& suffix);
  ~MachineState() override = default;
  MachineState(const MachineState&) = delete;
  MachineState& operator=(const MachineState&) = delete;

  // Back to the constructed state (variables included), keeping the view.
  void Reset();

  // From now on this state, and every copy made of it, works on a snapshot
  // taken now of the transformations, the stored offsets, the surface
  // mapping flags and the global variables: offset writes (G10, G92, #900..)
  // and variables change the snapshot only, and nothing is written to the
  // parameter or variable files. Call it on the thread that owns the
  // process-wide ones (it reads them).
  void Isolate();
  bool IsIsolated() const { return snapshot != nullptr; }
  // The stored offset of row (0..5 G54..G59, 6 G92): the configuration's, or
  // the snapshot's of an isolated state.
  Coordinates& StoredOffset(int row);
  // Writes the configuration with its stored offsets; an isolated state
  // writes nothing. False on a failed write.
  bool SaveStoredOffsets();

  // --- coordinate systems and offsets (0 = G53, 1..6 = G54..G59)
  void SetCurrTransNum(int index);
  int GetCurrTransNum() const { return currTrans; }
  // Selects coordinate system index and applies its stored offset (plus the
  // tool length under G43) without moving the machine.
  void SetCurrOffsetFromFile(int index);
  // New offset for the active transformation; the machine position stays.
  // Not allowed under G53.
  void SetCurrOffsetVec(const Coordinates& offset);
  // SetCurrOffsetVec, then records the change (changedSystems, #900..#908
  // without tool length).
  void SetCurrOffsetGlobal(const Coordinates& offset);
  double GetCurrAxisOffset(int axis);
  bool TransformationIsActive() const;
  // Stores the active offset (without tool length) as the configured offset
  // of the active system and writes offsets and variables.
  void PutCurrOffsetToFile();
  void SetSurfaceMapping(bool on);
  void SetTransformationSource(bool useConfig, bool resetWork);
  // Re-selects the transformation for currTrans, keeping the machine position.
  void UpdateTransformation();
  static void ResetWorkTransformations();
  double GetSafeZ();
  Transformation* GetTransformation() const { return transformation; }

  // --- tools
  void SetCurrTool(int T, int P, double length);
  void UpdateToolOffset();
  void EnableToolOffset(bool on);
  // mode: 1 = U, 2 = V, 3 = W takes the Z role; anything else Z.
  void SetToolOffset(double x, double y, double z, int mode);
  void ForwardToolOffset(Coordinates& v) const;  // program side -> machine side
  void ReverseToolOffset(Coordinates& v) const;  // machine side -> program side
  void SwapToolAxis(Coordinates& v) const;
  bool ToolOffsetEnabled() const { return toolOffsetEnabled; }
  int GetToolAxis() const { return toolAxis; }
  const double* GetToolOffset() const { return toolOffset; }

  // --- soft limits, as seen before the tool offset mapping
  double GetLowerLimit(int axis) const;
  double GetUpperLimit(int axis) const;
  void FitToAxisLimits(int axis, double& value) const;

  // --- state as a whole
  void Merge(const MachineState& src);
  void SaveStateToVarFile();
  void SaveCurrentState();
  void LoadStateFromVarFile();
  void SetBacklashOffset(unsigned signs) { backlashSigns = signs; }

  // --- flag accessors
  bool GetFlag(int bit) const { return (stateFlags >> bit) & 1u; }
  void SetFlag(int bit, bool value);
  // Read, and read-and-clear, the change marks for the operator interface.
  uint32_t GetChangedSystems() const { return changedSystems; }
  bool GetStateChanged() const { return stateChanged; }
  void SetStateChanged() { stateChanged = true; }
  void ClearChanged() {
    changedSystems = 0;
    stateChanged = false;
  }
  int GetCurrLine() const { return currLine; }
  void SetCurrLine(int line) { currLine = line; }
  double GetToolLength() const { return toolLength; }
  int GetCurrTool() const { return currTool; }
  int GetCurrToolVariant() const { return currToolVariant; }
  bool GetSoftLimitsEnabled() const { return softLimitsEnabled; }
  void SetSoftLimitsEnabled(bool on) { softLimitsEnabled = on; }
  bool UsesConfigTransformations() const { return useConfigTransformations; }
  const char* ViewName() const { return view.c_str(); }

  // Fields in declaration order; public because the motion stages read and
  // write positions and flags directly.
  Coordinates progPos;           // current end position, program coordinates
  double startPos[3] = {0, 0, 0};  // reference start position X/Y/Z
  Transformation* transformation;  // active, not owned
  uint32_t stateFlags = 0;
  int currTrans = 0;
  int currTool = 0;
  int currToolVariant = 0;
  uint32_t changedSystems = 0;   // bit n: offset of system n changed
  double toolLength = 0.0;
  int currLine = 0;
  uint32_t backlashSigns = 0;
  std::string view;
  bool softLimitsEnabled = true;
  bool stateChanged = false;
  bool useConfigTransformations = true;
  bool toolOffsetEnabled = false;
  double toolOffset[3] = {0, 0, 0};
  int toolAxis = 2;

 private:
  // Where the transformations and stored offsets of this state live.
  TransformationSet& Set() const;
  bool& MappingFlag(int row);
  // The transformation of this state's set that stands where src's stands
  // in src's set.
  Transformation* Equivalent(const MachineState& src) const;
  static void ResetWork(TransformationSet& set);

  std::shared_ptr<Snapshot> snapshot;  // shared by the copies; null: the process-wide ones
};

// The process-wide states.
extern MachineState actState;
extern MachineState simState;

MachineState* GetCurrentState();
void SetCurrentState(MachineState* state);

// Tests only: actState and simState back to their constructed state, the
// current state back to actState, transformations, mapping flags and axis
// assignment to their defaults.
void ResetMachineStateForTest();
