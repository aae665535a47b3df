#include "machine/machinestate.h"

#include <cmath>
#include <utility>

#include "base/assertion.h"
#include "base/logging.h"
#include "base/numbers.h"
#include "machine/machineconfig.h"
#include "params/parafile.h"
#include "machine/tooltable.h"
#include "machine/transformation.h"

// G53, the configured G54..G59 and their working copies. The process-wide
// set is never destroyed: states and lists may still point at it while
// static objects go away.
struct MachineState::TransformationSet {
  Transformation machine{Transformation::TAG_G53};
  Transformation configured[kWorkSystems];
  Transformation work[kWorkSystems];
  // A scratch transformation for the configuration dialogs (tag -1); never
  // selected by a coordinate system.
  Transformation spare;

  TransformationSet() { Reset(); }
  void Reset() {
    machine = Transformation(Transformation::TAG_G53);
    spare = Transformation(Transformation::TAG_NONE);
    for (int i = 0; i < kWorkSystems; ++i) {
      configured[i] = Transformation(Transformation::TAG_FIRST_CONFIGURED + i);
      work[i] = Transformation(Transformation::TAG_FIRST_WORKING + i);
      work[i].SetBase(&configured[i]);
    }
  }
  // A copy of other whose working copies stand on this set's configured ones.
  void CopyFrom(const TransformationSet& other) {
    machine = other.machine;
    spare = other.spare;
    for (int i = 0; i < kWorkSystems; ++i) {
      configured[i] = other.configured[i];
      work[i] = other.work[i];
      if (other.work[i].GetBase() == &other.configured[i]) work[i].ReplaceBase(&configured[i]);
    }
  }
  // t's counterpart in this set, or null when t is none of other's.
  Transformation* Counterpart(const TransformationSet& other, const Transformation* t) {
    if (t == &other.machine) return &machine;
    if (t == &other.spare) return &spare;
    for (int i = 0; i < kWorkSystems; ++i) {
      if (t == &other.configured[i]) return &configured[i];
      if (t == &other.work[i]) return &work[i];
    }
    return nullptr;
  }
};

// What an isolated state works on instead of the process-wide objects.
struct MachineState::Snapshot {
  TransformationSet set;
  Coordinates offsets[kOffsetRows];
  bool mapping[kWorkSystems] = {};
};

namespace {

// Axis-name indexes of U, V and W in the parameter files' list.
constexpr int kNameU = 7;
constexpr int kNameV = 8;
constexpr int kNameW = 9;

using TransformationSet = MachineState::TransformationSet;

void StoreConfigured(ParaFile& file, int row, const std::string& prefix, bool write);

TransformationSet& Transformations() {
  static TransformationSet* set = [] {
    auto* s = new TransformationSet;
    SetTransformationStore(&StoreConfigured);
    return s;
  }();
  return *set;
}

// The configuration saves and loads the configured transformations with its
// parameter table under the prefixes "G54".."G59".
void StoreConfigured(ParaFile& file, int row, const std::string& prefix, bool write) {
  if (row < 0 || row >= kWorkSystems) return;
  TransformationSet& set = Transformations();
  if (write) {
    set.configured[row].Save(prefix.c_str(), file);
  } else {
    set.configured[row].Load(prefix.c_str(), file);
    set.work[row].Update();
  }
}

bool g_mappingFlags[kWorkSystems] = {};

}  // namespace

// ---------------------------------------------------------------------------
// Process-wide objects

int AxisAssignment::AxisWithName(int nameIndex) const {
  if (nameIndex <= 0) return -1;
  for (int i = 0; i < kAxisCount; ++i)
    if (name[i] == nameIndex) return i;
  return -1;
}

void AxisAssignment::SetAxisName(int axis, int nameIndex) {
  if (!QASSERT(axis >= 0 && axis < kAxisCount, "ix >= 0 && ix < 9")) return;
  if (nameIndex < 0 || nameIndex >= ParaFile::kAxisNameCount) nameIndex = 0;
  name[axis] = nameIndex;
  enabled[axis] = nameIndex != 0;
}

AxisAssignment& GetAxisAssignment() {
  static AxisAssignment assignment;
  return assignment;
}

Transformation& GetMachineTransformation() { return Transformations().machine; }
Transformation& GetSpareTransformation() { return Transformations().spare; }

Transformation& GetConfiguredTransformation(int row) {
  QASSERT(row >= 0 && row < kWorkSystems, "row >= 0 && row < 6");
  return Transformations().configured[row < 0 ? 0 : (row >= kWorkSystems ? kWorkSystems - 1 : row)];
}

Transformation& GetWorkTransformation(int row) {
  QASSERT(row >= 0 && row < kWorkSystems, "row >= 0 && row < 6");
  return Transformations().work[row < 0 ? 0 : (row >= kWorkSystems ? kWorkSystems - 1 : row)];
}

bool GetSurfaceMappingFlag(int row) { return row >= 0 && row < kWorkSystems && g_mappingFlags[row]; }

MachineState actState("Real");
MachineState simState("Sim");

namespace {
MachineState* g_currentState = &actState;
}

MachineState* GetCurrentState() { return g_currentState; }

void SetCurrentState(MachineState* state) {
  if (QASSERT(state != nullptr, "current state must not be null")) g_currentState = state;
}

void ResetMachineStateForTest() {
  Transformations().Reset();
  for (bool& f : g_mappingFlags) f = false;
  GetAxisAssignment() = AxisAssignment();
  actState.Reset();
  simState.Reset();
  g_currentState = &actState;
}

// ---------------------------------------------------------------------------
// Construction

MachineState::MachineState(const std::string& name) : transformation(&GetMachineTransformation()), view(name) {
  for (int i = 0; i < kWorkSystems; ++i) GetWorkTransformation(i).SetTag(Transformation::TAG_FIRST_WORKING + i);
}

MachineState::MachineState(const MachineState& src, const std::string& suffix)
    : progPos(src.progPos),
      transformation(src.transformation),
      stateFlags(src.stateFlags),
      currTrans(src.currTrans),
      currTool(src.currTool),
      currToolVariant(src.currToolVariant),
      changedSystems(src.changedSystems),
      toolLength(src.toolLength),
      currLine(src.currLine),
      backlashSigns(src.backlashSigns),
      view(src.view + suffix),
      softLimitsEnabled(true),
      stateChanged(src.stateChanged),
      useConfigTransformations(src.useConfigTransformations),
      toolOffsetEnabled(src.toolOffsetEnabled),
      toolAxis(src.toolAxis),
      snapshot(src.snapshot) {
  for (int i = 0; i < 3; ++i) {
    startPos[i] = src.startPos[i];
    toolOffset[i] = src.toolOffset[i];
  }
  CopyVars(src, 0, MinGlobal);
  ownGlobals = src.OwnsGlobals();
}

void MachineState::Isolate() {
  if (snapshot) return;
  auto own = std::make_shared<Snapshot>();
  const TransformationSet& global = Transformations();
  own->set.CopyFrom(global);
  const MachineConfig& config = GetMachineConfig();
  for (int row = 0; row < kOffsetRows; ++row) own->offsets[row] = config.offsets[row];
  for (int row = 0; row < kWorkSystems; ++row) own->mapping[row] = g_mappingFlags[row];
  if (Transformation* t = own->set.Counterpart(global, transformation)) transformation = t;
  snapshot = std::move(own);
  OwnGlobals();
  LogMessage(LOG_STATE_OFFSETS, "Isolate view=%s G%d", view.c_str(), currTrans + 53);
}

TransformationSet& MachineState::Set() const { return snapshot ? snapshot->set : Transformations(); }

bool& MachineState::MappingFlag(int row) { return snapshot ? snapshot->mapping[row] : g_mappingFlags[row]; }

Coordinates& MachineState::StoredOffset(int row) {
  if (!QASSERT(row >= 0 && row < kOffsetRows, "row >= 0 && row < 7")) row = 0;
  return snapshot ? snapshot->offsets[row] : GetMachineConfig().offsets[row];
}

bool MachineState::SaveStoredOffsets() { return snapshot ? true : SaveMachineConfig(); }

Transformation* MachineState::Equivalent(const MachineState& src) const {
  if (src.snapshot == snapshot) return src.transformation;
  Transformation* same = Set().Counterpart(src.Set(), src.transformation);
  return same ? same : src.transformation;
}

void MachineState::Reset() {
  for (double& d : locals) d = 0.0;
  for (double& d : globals) d = 0.0;
  locals[36] = -1.0;
  progPos.Clear();
  for (int i = 0; i < 3; ++i) startPos[i] = toolOffset[i] = 0.0;
  transformation = &Set().machine;
  stateFlags = 0;
  currTrans = currTool = currToolVariant = currLine = 0;
  changedSystems = backlashSigns = 0;
  toolLength = 0.0;
  softLimitsEnabled = true;
  stateChanged = false;
  useConfigTransformations = true;
  toolOffsetEnabled = false;
  toolAxis = 2;
}

void MachineState::SetFlag(int bit, bool value) {
  if (!QASSERT(bit >= 0 && bit < 32, "bit >= 0 && bit < 32")) return;
  const uint32_t mask = 1u << bit;
  if (value) {
    stateFlags |= mask;
    return;
  }
  if (bit == SF_SURFACE_MAPPING && (stateFlags & mask)) LogMessage(LOG_STATE_OFFSETS, "Clear L49!!!");
  stateFlags &= ~mask;
}

// ---------------------------------------------------------------------------
// Coordinate systems and offsets

void MachineState::SetCurrTransNum(int index) {
  if (!QASSERT(index >= 0 && index <= 6, "index >= 0 && index <= 6")) return;
  if (index == currTrans) return;
  currTrans = index;
  UpdateTransformation();
}

void MachineState::UpdateTransformation() {
  const Coordinates m = transformation->ToMachine(progPos);
  TransformationSet& set = Set();
  Transformation* t = &set.machine;
  if (currTrans > 0) t = useConfigTransformations ? &set.configured[currTrans - 1] : &set.work[currTrans - 1];
  LogMessage(LOG_STATE_OFFSETS, "SetCurrTransNum tag=%d", t->GetTag());
  transformation = t;
  t->Update();
  SetFlag(SF_ROTATION, t->IsRotated());
  SetFlag(SF_SCALING, t->IsScaled());
  SetFlag(SF_SURFACE_MAPPING, t->IsMappingOn());
  progPos = t->ToProgram(m);
  SetVar(909, currTrans);
  LogMessage(LOG_STATE_OFFSETS, "SetCurrTransNum view=%s G%d MDI=%d", view.c_str(), currTrans + 53,
             useConfigTransformations ? 1 : 0);
}

void MachineState::SetCurrOffsetFromFile(int index) {
  if (!QASSERT(index >= 0 && index <= 6, "index >= 0 && index <= 6")) return;
  SetCurrTransNum(index);
  Coordinates v;
  if (index > 0) v = StoredOffset(index - 1);
  LogMessage(LOG_STATE_OFFSETS, "SetCurrOffsetFromFile G%d act=%d X%1.3f Y%1.3f Z%1.3f", index + 53,
             this == GetCurrentState() ? 1 : 0, v.v[0], v.v[1], v.v[2]);
  for (int i = 0; i < kAxisCount; ++i) SetVar(900 + i, v.v[i]);
  if (index > 0) {
    if (GetFlag(SF_TOOL_LENGTH)) {
      v.v[2] += toolLength;
      LogMessage(LOG_STATE_OFFSETS, "  +G43 offset len=%1.3f Z=%1.3f", toolLength, v.v[2]);
    }
    SetCurrOffsetVec(v);
  }
  EnableToolOffset(index > 0);
  const bool flag = index > 0 && MappingFlag(index - 1);
  transformation->SetMapping(flag);
  SetFlag(SF_SURFACE_MAPPING, transformation->IsMappingOn());
  LogMessage(LOG_STATE_OFFSETS, "  Mapping mapIsEnable=%d flag=%d", transformation->IsMappingOn() ? 1 : 0,
             flag ? 1 : 0);
}

void MachineState::SetCurrOffsetVec(const Coordinates& offset) {
  LogMessage(LOG_STATE_OFFSETS, "SetCurrOffsetVec view=%s G%d X%1.3f Y%1.3f Z%1.3f", view.c_str(), currTrans + 53,
             offset.v[0], offset.v[1], offset.v[2]);
  if (!QASSERT(currTrans > 0, "G53 must not be altered")) return;
  const Coordinates m = transformation->ToMachine(progPos);
  transformation->SetOffset(offset);
  progPos = transformation->ToProgram(m);
}

void MachineState::SetCurrOffsetGlobal(const Coordinates& offset) {
  LogMessage(LOG_STATE_OFFSETS, "SetCurrOffsetGlobal G%d X%1.3f Y%1.3f Z%1.3f", currTrans + 53, offset.v[0],
             offset.v[1], offset.v[2]);
  SetCurrOffsetVec(offset);
  if (currTrans <= 0) return;
  Coordinates stored = offset;
  if (GetFlag(SF_TOOL_LENGTH)) stored.v[2] -= toolLength;
  changedSystems |= 1u << currTrans;
  for (int i = 0; i < kAxisCount; ++i) SetVar(900 + i, stored.v[i]);
}

double MachineState::GetCurrAxisOffset(int axis) {
  QASSERT(!TransformationIsActive (), "!TransformationIsActive ()");
  if (!QASSERT(axis >= 0 && axis < kAxisCount, "ix >= 0 && ix < 9")) return 0.0;
  return transformation->GetOffset().v[axis];
}

bool MachineState::TransformationIsActive() const { return transformation->IsActive(); }

void MachineState::PutCurrOffsetToFile() {
  LogMessage(LOG_STATE_OFFSETS, "PutCurrOffsetToFile G%d", currTrans + 53);
  if (currTrans != 0) {
    Coordinates off = transformation->GetOffset();
    if (GetFlag(SF_TOOL_LENGTH)) off.v[2] -= toolLength;
    StoredOffset(currTrans - 1) = off;
    SaveStateToVarFile();
  }
  if (snapshot) return;
  MachineConfig& config = GetMachineConfig();
  ParaFile& file = GetParaFile(PF_PARAMETER_TABLE);
  config.WriteOffsets(file);
  file.Write();
}

void MachineState::SetSurfaceMapping(bool on) {
  LogMessage(LOG_STATE_OFFSETS, "SetSurfaceMapping G%d on=%d", currTrans + 53, on ? 1 : 0);
  if (currTrans > 0) MappingFlag(currTrans - 1) = on;
}

void MachineState::SetTransformationSource(bool useConfig, bool resetWork) {
  useConfigTransformations = useConfig;
  if (useConfig)
    SetCurrOffsetFromFile(currTrans);
  else if (resetWork)
    ResetWork(Set());
  UpdateTransformation();
}

void MachineState::ResetWorkTransformations() { ResetWork(Transformations()); }

void MachineState::ResetWork(TransformationSet& set) {
  for (int i = 0; i < kWorkSystems; ++i) {
    set.work[i].SetBase(&set.configured[i]);
    set.work[i].SetTag(Transformation::TAG_FIRST_WORKING + i);
  }
}

double MachineState::GetSafeZ() {
  const double offZ = transformation->GetOffset().v[2];
  double z = GetMachineConfig().safeZLevel + offZ;
  FitToAxisLimits(2, z);
  return z - offZ;
}

// ---------------------------------------------------------------------------
// Tools

void MachineState::SetCurrTool(int T, int P, double length) {
  LogMessage(LOG_STATE, "SetCurrTool view=%s T=%d", view.c_str(), T);
  currTool = T;
  currToolVariant = P;
  toolLength = length;
  // A changed length must take effect at once under G43.
  SetCurrOffsetFromFile(currTrans);
}

void MachineState::UpdateToolOffset() {
  ToolRecord rec;
  if (!FindTool(currTool, currToolVariant, rec)) return;
  SetToolOffset(rec.offsetX, rec.offsetY, rec.offsetZ, rec.altZaxis);
  EnableToolOffset(currTrans > 0);
  LogMessage(LOG_STATE, "### UpdateToolOffset tool=%f", static_cast<double>(currTool));
}

void MachineState::EnableToolOffset(bool on) {
  toolOffsetEnabled = on;
  LogMessage(67, "EnableToolOffset ena=%d", on ? 1 : 0);
}

void MachineState::SetToolOffset(double x, double y, double z, int mode) {
  toolOffset[0] = x;
  toolOffset[1] = y;
  toolOffset[2] = z;
  const AxisAssignment& axes = GetAxisAssignment();
  int axis = -1;
  switch (mode) {
    case 1:
      axis = axes.AxisWithName(kNameU);
      break;
    case 2:
      axis = axes.AxisWithName(kNameV);
      break;
    case 3:
      axis = axes.AxisWithName(kNameW);
      LogMessage(LOG_STATE, "SetToolOffset W");
      break;
    default:
      LogMessage(LOG_STATE, "SetToolOffset Z");
      break;
  }
  toolAxis = axis >= 0 ? axis : 2;
}

void MachineState::ForwardToolOffset(Coordinates& v) const {
  if (!toolOffsetEnabled) return;
  for (int i = 0; i < 3; ++i) v.v[i] -= toolOffset[i];
  std::swap(v.v[2], v.v[toolAxis]);
}

void MachineState::ReverseToolOffset(Coordinates& v) const {
  if (!toolOffsetEnabled) return;
  std::swap(v.v[2], v.v[toolAxis]);
  for (int i = 0; i < 3; ++i) v.v[i] += toolOffset[i];
}

void MachineState::SwapToolAxis(Coordinates& v) const {
  if (!toolOffsetEnabled) return;
  std::swap(v.v[2], v.v[toolAxis]);
}

// ---------------------------------------------------------------------------
// Soft limits

namespace {

int LimitSource(int axis, bool enabled, int toolAxis) {
  if (!enabled) return axis;
  if (axis == 2) return toolAxis;
  if (axis == toolAxis) return 2;
  return axis;
}

}  // namespace

double MachineState::GetLowerLimit(int axis) const {
  if (!QASSERT(axis >= 0 && axis < kAxisCount, "ix >= 0 && ix < 9")) return 0.0;
  double v = GetMachineConfig().axis[LimitSource(axis, toolOffsetEnabled, toolAxis)].minPosition;
  if (toolOffsetEnabled && axis < 3) v += toolOffset[axis];
  return v;
}

double MachineState::GetUpperLimit(int axis) const {
  if (!QASSERT(axis >= 0 && axis < kAxisCount, "ix >= 0 && ix < 9")) return 0.0;
  double v = GetMachineConfig().axis[LimitSource(axis, toolOffsetEnabled, toolAxis)].maxPosition;
  if (toolOffsetEnabled && axis < 3) v += toolOffset[axis];
  return v;
}

void MachineState::FitToAxisLimits(int axis, double& value) const {
  value = FitToLimits(GetLowerLimit(axis), value, GetUpperLimit(axis));
}

// ---------------------------------------------------------------------------
// State as a whole

void MachineState::Merge(const MachineState& src) {
  progPos = src.progPos;
  for (int i = 0; i < 3; ++i) startPos[i] = src.startPos[i];
  currTrans = src.currTrans;
  LogMessage(66, "Merge() target=%s from=%s start=(%f,%f,%f)", view.c_str(), src.view.c_str(), startPos[0],
             startPos[1], startPos[2]);
  transformation = Equivalent(src);
  currTool = src.currTool;
  currToolVariant = src.currToolVariant;
  toolLength = src.toolLength;
  stateFlags = src.stateFlags;
  LogMessage(68, "Backlash Merge old %x", backlashSigns);
  if (backlashSigns != src.backlashSigns) LogMessage(68, "Backlash Merge Change!!!");
  backlashSigns = src.backlashSigns;
  LogMessage(68, "Backlash Merge new %x", backlashSigns);
  toolOffsetEnabled = src.toolOffsetEnabled;
  for (int i = 0; i < 3; ++i) toolOffset[i] = src.toolOffset[i];
  toolAxis = src.toolAxis;
  changedSystems |= src.changedSystems;
  stateChanged = stateChanged || src.stateChanged;
  CopyVars(src, MinGlobal, MinGlobal);
}

void MachineState::SaveStateToVarFile() {
  LogMessage(LOG_STATE, "SaveStateToVarFile G%d T%d", currTrans + 53, currTool);
  const Coordinates& g92 = StoredOffset(kOffsetRowG92);
  for (int i = 0; i < kAxisCount; ++i) SetVar(910 + i, g92.v[i]);
  WriteVars();
}

void MachineState::SaveCurrentState() {
  SetVar(909, currTrans);
  SetVar(920, currTool);
  SetVar(921, currToolVariant);
  SaveStateToVarFile();
}

void MachineState::LoadStateFromVarFile() {
  Coordinates& g92 = StoredOffset(kOffsetRowG92);
  const AxisAssignment& axes = GetAxisAssignment();
  for (int i = 0; i < kAxisCount; ++i)
    if (axes.IsEnabled(i)) g92.v[i] = GetVar(910 + i);
  currTool = ToInt(GetVar(920));
  currToolVariant = ToInt(GetVar(921));
  toolLength = GetVar(925);
  const double stored = std::trunc(GetVar(909));
  int index = stored >= 0.0 && stored <= 6.0 ? static_cast<int>(stored) : -1;
  if (index < 0) {
    // A damaged variable file must not select a system that does not exist.
    SetVar(909, 0.0);
    index = 0;
  }
  SetCurrOffsetFromFile(index);
  UpdateToolOffset();
  SetLetter('T', currTool);
  LogMessage(LOG_STATE, "LoadStateFromVarFile G%d T%d", index + 53, currTool);
}
