// The machine parameter table ("ParameterTable.txt"): axes, motion limits,
// spindle, torch-height control, handwheel, maintenance and the stored work
// offsets.
//
// Defaults (a fresh installation): a three-axis router with X 0..600 mm,
// Y 0..400 mm, Z -100..0 mm; A..W configured but not displayed.
//  - Resolution is millimetres (degrees for rotary axes) per motor step:
//    0.0025 (a 5 mm screw, 2000 steps per turn); rotary 0.01 degrees.
//  - Velocities in mm/s, accelerations in mm/s^2, times in seconds, feeds
//    (DefaultFeed, ReplaceFby) in mm/min, spindle speeds in rpm.
//  - MaxVelocity X/Y 100, Z 50, rotary 90; RefVelocity 20; RefInching 1;
//    StopAcceler 2000; WorkAcceler 1000; MaxJumpVel 5; RefTolerance 0.5.
//  - JogSpeed presets 1, 5, 20, 50, 100 mm/s; JogStep presets 0.001, 0.01,
//    0.1, 1, 10 mm.
//  - SafeZLevel 10, CenterTolerance 0.01, DefaultFeed 1000, DefaultRPM
//    10000, MaxS 24000, SpindleDelay 3, SpindleRamp 3, BrakeDelay 0.2.
//  - Path planning: TrajectTol 0.02 mm (the corner deviation of smoothing
//    mode; the module filters over sqrt(8 TrajectTol / WorkAcceler), 13 ms);
//    CvAcceler 1000, no more than the smallest WorkAcceler of X, Y and Z, or
//    corners leave the tolerance; MaxBendAngle 45 degrees (sharper turns
//    stop exactly: at router feeds a stop costs less time than running the
//    cut-off pieces at the corner velocity the tolerance allows);
//    MaxStopAngle 10 degrees (G61 passes only nearly straight joins without
//    stopping); MaxJumpVel 5 mm/s = WorkAcceler x 5 ms, a velocity step the
//    axis makes within one sample at its acceleration.
//  - Soft limits enforced, stop on error, F and S displayed, DisplayPrecision 3.
//  - Everything else 0 / false / empty.
#pragma once

#include <string>

#include "base/coordinates.h"

class ParaFile;

struct AxisParams {
  double resolution = 0.0025;
  double maxVelocity = 100.0;
  double refVelocity = 20.0;
  double refInching = 1.0;
  double stopAcceler = 2000.0;
  double workAcceler = 1000.0;
  double maxJumpVel = 5.0;
  double minPosition = 0.0;
  double maxPosition = 0.0;
  double refOffset = 0.0;
  double slaveOffset = 0.0;
  double refTolerance = 0.5;
  double homePosition = 0.0;
  double backlash = 0.0;
  bool displayAxis = false;
  bool handwheelAxis = false;
  bool dirInverted = false;
  bool slaveInverted = false;
  bool homeExclude = false;
  int homeSwitchMode = 0;
  int signalType = 0;
};

constexpr int kJogPresets = 5;
constexpr int kOffsetRows = 7;      // G54..G59, then G92
constexpr int kWorkSystems = 6;     // G54..G59
constexpr int kOffsetRowG92 = 6;

class MachineConfig {
 public:
  MachineConfig();

  AxisParams axis[kAxisCount];
  Coordinates parkPos;
  double jogSpeed[kJogPresets] = {1, 5, 20, 50, 100};
  double jogStep[kJogPresets] = {0.001, 0.01, 0.1, 1, 10};
  double atcKeepoutMin[3] = {0, 0, 0};
  double atcKeepoutMax[3] = {0, 0, 0};
  Coordinates offsets[kOffsetRows];  // rows 0..5 G54..G59, row 6 G92
  std::string offsetComments[kWorkSystems];

  double safeZLevel = 10.0;
  double trajectTol = 0.02;
  double maxBendAngle = 45.0;
  double maxStopAngle = 10.0;
  double cvAcceler = 1000.0;
  double centerTolerance = 0.01;
  double defaultRotDia = 50.0;
  double defaultFeed = 1000.0;
  double defaultRPM = 10000.0;
  double minS = 0.0;
  double maxS = 24000.0;
  double spindleDelay = 3.0;
  double spindleRamp = 3.0;
  double coolantDelay = 0.0;
  double thcDivider = 50.0;
  double thcGain = 1.0;
  double thcMinVolt = 50.0;
  double thcMaxVolt = 200.0;
  double thcDeadband = 1.0;
  double thcJogSpeed = 5.0;
  double pwmFreq = 1000.0;
  double minPwmDuty = 0.0;
  double maxPwmDuty = 100.0;
  double maxPwmVolt = 10.0;
  double tanStopAngle = 10.0;
  double tanSkipAngle = 1.0;
  double foamWireLen = 1000.0;
  double reducedSpeed = 10.0;
  double replaceFby = 1000.0;
  double replaceSby = 10000.0;
  double drumPosX = 0.0;
  double drumPosY = 0.0;
  double drumPosZ = 0.0;
  double laserBias = 0.0;
  double brakeDelay = 0.2;
  double wheelLinSpeed1v = 10.0;
  double wheelLinSpeed2v = 50.0;
  double wheelRotSpeed1v = 10.0;
  double wheelRotSpeed2v = 50.0;
  double wheelLinStep1v = 0.01;
  double wheelLinStep2v = 0.1;
  double wheelRotStep1v = 0.01;
  double wheelRotStep2v = 0.1;
  double wheelAccFactor = 1.0;
  double maintOpHours = 0.0;
  double maintTotDays = 0.0;
  double lubeOpMins = 0.0;
  double lubeTotMins = 0.0;
  double lubeDistM = 0.0;
  double lubePulsSecs = 0.0;

  int homingOrder = 0;
  int orientXY = 0;
  int axisConfig = 0;
  int gantryConfig = 0;
  int jogFastLin = 0;
  int jogSlowLin = 0;
  int jogFastRot = 0;
  int jogSlowRot = 0;
  int backlashEna = 0;
  int machineType = 0;
  int toolChangeMode = 0;
  int thcAutoMode = 0;
  int displayPrecision = 3;
  int demoMode = 0;
  int homeAfterStop = 0;
  int redundantCircuit = 0;
  int safetyDoorMode = 0;
  int warnHomeMode = 0;
  int drumAxis = 0;
  int watchFileMode = 0;
  int restoreTransformation = 0;
  int atcKeepoutMask = 0;
  int wheelLinSpeed1 = 0;
  int wheelLinSpeed2 = 0;
  int wheelRotSpeed1 = 0;
  int wheelRotSpeed2 = 0;
  int wheelLinStep1 = 0;
  int wheelLinStep2 = 0;
  int wheelRotStep1 = 0;
  int wheelRotStep2 = 0;
  int wheelFilterTime = 0;
  int modalG53 = 0;
  int mistNozzles = 0;

  bool gantryHomeMode = false;
  bool jogRapid = false;
  bool runFromRapid = false;
  bool multithread = false;
  bool remoteMode = false;
  bool cvAccLimited = false;
  bool centerAbs = false;
  bool thcUseLimits = false;
  bool displayF = true;
  bool displayOvr = false;
  bool displayS = true;
  bool displayM4 = false;
  bool displayM7 = false;
  bool invertPwm = false;
  bool retractZ = false;
  bool treatWasZ = false;
  bool saveZReset = false;
  bool spindleOff = false;
  bool coolantOff = false;
  bool defaultCv = false;
  bool ignoreD = false;
  bool enablePermanent = false;
  bool enforceSoftLimits = true;
  bool startupOnEsRel = false;
  bool doReplaceF = false;
  bool doReplaceS = false;
  bool replacePerm = false;
  bool stopOnError = true;
  bool ignoreZPreview = false;
  bool drumEngraving = false;
  bool autoDrumPos = false;
  bool displayInch = false;
  bool atcHasKeepout = false;
  bool saveJogSettings = false;
  bool wheelVelMode = false;
  bool wheelPitch4Steps = false;
  bool wheelFovrOnStart = false;
  bool wheelEnaAlways = false;
  bool wheelHideIo = false;
  bool loadLastJob = false;
  bool maintDsiplayPdf = false;
  bool alwaysG79 = false;
  bool tangentialMode = false;

  std::string language = "en";
  std::string machineDescr = "3-axis router";
  std::string controllerAdr;
  std::string macroDir;
  std::string iconDir;
  std::string watchFileDir;
  std::string maintPdfName;
  std::string version = "1";
  std::string appName = "Quorvane";

  // Reads every key present in file (absent keys keep their value). Returns
  // the number of key names (indexed keys count once per index) found.
  int Load(const ParaFile& file);
  // Writes every key, then the offsets and the configured transformations.
  void Save(ParaFile& file) const;
  // Writes the machine parameter keys alone (the export's own section).
  void SaveKeys(ParaFile& file) const;
  // The offset part: per G54..G59 its comment and nine offsets, the G92
  // offsets, the configured transformations, ParkPos and SafeZLevel.
  void WriteOffsets(ParaFile& file) const;
  // Reads only the offsets, comments and configured transformations;
  // returns the number of offset and comment keys found.
  int ReadOffsets(const ParaFile& file);

  // Every key except the offsets: v.Double/Int/Bool/String(name, ref) for
  // plain keys and (name, index, ref) for indexed ones.
  template <class V>
  void VisitKeys(V& v);
  template <class V>
  void VisitKeys(V& v) const {
    const_cast<MachineConfig*>(this)->VisitKeys(v);
  }
  // The offset keys in file order (comment, then nine offsets per system).
  template <class V>
  void VisitOffsets(V& v);

  static std::string OffsetKey(int row);   // "OffsetG54".."OffsetG59", "OffsetG92"
  static std::string CommentKey(int row);  // "CommentG54".."CommentG59"
  static std::string TransformationPrefix(int row);  // "G54".."G59"

 private:
  void WriteOffsetRows(ParaFile& file) const;
};

// The configured transformations of G54..G59 are stored with the prefixes
// "G54".."G59" by their owner; the configuration calls this store when it
// reads (write = false) or writes the table.
using TransformationStore = void (*)(ParaFile& file, int row, const std::string& prefix, bool write);
TransformationStore SetTransformationStore(TransformationStore store);

// The process-wide configuration.
MachineConfig& GetMachineConfig();
// Reads it from the open "ParameterTable.txt".
int LoadMachineConfig();
// Saves it into "ParameterTable.txt" and writes the file.
bool SaveMachineConfig();

template <class V>
void MachineConfig::VisitKeys(V& v) {
  static const char* const kAxisDoubles[] = {
      "Resolution", "MaxVelocity", "RefVelocity", "RefInching", "StopAcceler", "WorkAcceler", "MaxJumpVel",
      "MinPosition", "MaxPosition", "RefOffset", "SlaveOffset", "RefTolerance", "HomePosition", "Backlash"};
  double AxisParams::*const axisDoubles[] = {
      &AxisParams::resolution, &AxisParams::maxVelocity, &AxisParams::refVelocity, &AxisParams::refInching,
      &AxisParams::stopAcceler, &AxisParams::workAcceler, &AxisParams::maxJumpVel, &AxisParams::minPosition,
      &AxisParams::maxPosition, &AxisParams::refOffset, &AxisParams::slaveOffset, &AxisParams::refTolerance,
      &AxisParams::homePosition, &AxisParams::backlash};
  for (int k = 0; k < 14; ++k)
    for (int i = 0; i < kAxisCount; ++i) v.Double(kAxisDoubles[k], i, axis[i].*axisDoubles[k]);
  for (int i = 0; i < kAxisCount; ++i) v.Double("ParkPos", i, parkPos.v[i]);
  for (int i = 0; i < kJogPresets; ++i) v.Double("JogSpeed", i, jogSpeed[i]);
  for (int i = 0; i < kJogPresets; ++i) v.Double("JogStep", i, jogStep[i]);
  for (int i = 0; i < 3; ++i) v.Double("AtcKeepoutMin", i, atcKeepoutMin[i]);
  for (int i = 0; i < 3; ++i) v.Double("AtcKeepoutMax", i, atcKeepoutMax[i]);

  static const char* const kAxisBools[] = {"DisplayAxis", "HandwheelAxis", "DirInverted", "SlaveInverted",
                                           "HomeExclude"};
  bool AxisParams::*const axisBools[] = {&AxisParams::displayAxis, &AxisParams::handwheelAxis,
                                         &AxisParams::dirInverted, &AxisParams::slaveInverted,
                                         &AxisParams::homeExclude};
  for (int k = 0; k < 5; ++k)
    for (int i = 0; i < kAxisCount; ++i) v.Bool(kAxisBools[k], i, axis[i].*axisBools[k]);
  for (int i = 0; i < kAxisCount; ++i) v.Int("HomeSwitchMode", i, axis[i].homeSwitchMode);
  for (int i = 0; i < kAxisCount; ++i) v.Int("SignalType", i, axis[i].signalType);

  v.Double("SafeZLevel", safeZLevel);
  v.Double("TrajectTol", trajectTol);
  v.Double("MaxBendAngle", maxBendAngle);
  v.Double("MaxStopAngle", maxStopAngle);
  v.Double("CvAcceler", cvAcceler);
  v.Double("CenterTolerance", centerTolerance);
  v.Double("DefaultRotDia", defaultRotDia);
  v.Double("DefaultFeed", defaultFeed);
  v.Double("DefaultRPM", defaultRPM);
  v.Double("MinS", minS);
  v.Double("MaxS", maxS);
  v.Double("SpindleDelay", spindleDelay);
  v.Double("SpindleRamp", spindleRamp);
  v.Double("CoolantDelay", coolantDelay);
  v.Double("ThcDivider", thcDivider);
  v.Double("ThcGain", thcGain);
  v.Double("ThcMinVolt", thcMinVolt);
  v.Double("ThcMaxVolt", thcMaxVolt);
  v.Double("ThcDeadband", thcDeadband);
  v.Double("ThcJogSpeed", thcJogSpeed);
  v.Double("PwmFreq", pwmFreq);
  v.Double("MinPwmDuty", minPwmDuty);
  v.Double("MaxPwmDuty", maxPwmDuty);
  v.Double("MaxPwmVolt", maxPwmVolt);
  v.Double("TanStopAngle", tanStopAngle);
  v.Double("TanSkipAngle", tanSkipAngle);
  v.Double("FoamWireLen", foamWireLen);
  v.Double("ReducedSpeed", reducedSpeed);
  v.Double("ReplaceFby", replaceFby);
  v.Double("ReplaceSby", replaceSby);
  v.Double("DrumPosX", drumPosX);
  v.Double("DrumPosY", drumPosY);
  v.Double("DrumPosZ", drumPosZ);
  v.Double("LaserBias", laserBias);
  v.Double("BrakeDelay", brakeDelay);
  v.Double("WheelLinSpeed1v", wheelLinSpeed1v);
  v.Double("WheelLinSpeed2v", wheelLinSpeed2v);
  v.Double("WheelRotSpeed1v", wheelRotSpeed1v);
  v.Double("WheelRotSpeed2v", wheelRotSpeed2v);
  v.Double("WheelLinStep1v", wheelLinStep1v);
  v.Double("WheelLinStep2v", wheelLinStep2v);
  v.Double("WheelRotStep1v", wheelRotStep1v);
  v.Double("WheelRotStep2v", wheelRotStep2v);
  v.Double("WheelAccFactor", wheelAccFactor);
  v.Double("MaintOpHours", maintOpHours);
  v.Double("MaintTotDays", maintTotDays);
  v.Double("LubeOpMins", lubeOpMins);
  v.Double("LubeTotMins", lubeTotMins);
  v.Double("LubeDistM", lubeDistM);
  v.Double("LubePulsSecs", lubePulsSecs);

  v.Int("HomingOrder", homingOrder);
  v.Int("OrientXY", orientXY);
  v.Int("AxisConfig", axisConfig);
  v.Int("GantryConfig", gantryConfig);
  v.Int("JogFastLin", jogFastLin);
  v.Int("JogSlowLin", jogSlowLin);
  v.Int("JogFastRot", jogFastRot);
  v.Int("JogSlowRot", jogSlowRot);
  v.Int("BacklashEna", backlashEna);
  v.Int("MachineType", machineType);
  v.Int("ToolChangeMode", toolChangeMode);
  v.Int("ThcAutoMode", thcAutoMode);
  v.Int("DisplayPrecision", displayPrecision);
  v.Int("DemoMode", demoMode);
  v.Int("HomeAfterStop", homeAfterStop);
  v.Int("RedundantCircuit", redundantCircuit);
  v.Int("SafetyDoorMode", safetyDoorMode);
  v.Int("WarnHomeMode", warnHomeMode);
  v.Int("DrumAxis", drumAxis);
  v.Int("WatchFileMode", watchFileMode);
  v.Int("RestoreTransformation", restoreTransformation);
  v.Int("AtcKeepoutMask", atcKeepoutMask);
  v.Int("WheelLinSpeed1", wheelLinSpeed1);
  v.Int("WheelLinSpeed2", wheelLinSpeed2);
  v.Int("WheelRotSpeed1", wheelRotSpeed1);
  v.Int("WheelRotSpeed2", wheelRotSpeed2);
  v.Int("WheelLinStep1", wheelLinStep1);
  v.Int("WheelLinStep2", wheelLinStep2);
  v.Int("WheelRotStep1", wheelRotStep1);
  v.Int("WheelRotStep2", wheelRotStep2);
  v.Int("WheelFilterTime", wheelFilterTime);
  v.Int("ModalG53", modalG53);
  v.Int("MistNozzles", mistNozzles);

  v.Bool("GantryHomeMode", gantryHomeMode);
  v.Bool("JogRapid", jogRapid);
  v.Bool("RunFromRapid", runFromRapid);
  v.Bool("Multithread", multithread);
  v.Bool("RemoteMode", remoteMode);
  v.Bool("CvAccLimited", cvAccLimited);
  v.Bool("CenterAbs", centerAbs);
  v.Bool("ThcUseLimits", thcUseLimits);
  v.Bool("DisplayF", displayF);
  v.Bool("DisplayOvr", displayOvr);
  v.Bool("DisplayS", displayS);
  v.Bool("DisplayM4", displayM4);
  v.Bool("DisplayM7", displayM7);
  v.Bool("InvertPwm", invertPwm);
  v.Bool("RetractZ", retractZ);
  v.Bool("TreatWasZ", treatWasZ);
  v.Bool("SaveZReset", saveZReset);
  v.Bool("SpindleOff", spindleOff);
  v.Bool("CoolantOff", coolantOff);
  v.Bool("DefaultCv", defaultCv);
  v.Bool("IgnoreD", ignoreD);
  v.Bool("EnablePermanent", enablePermanent);
  v.Bool("EnforceSoftLimits", enforceSoftLimits);
  v.Bool("StartupOnEsRel", startupOnEsRel);
  v.Bool("DoReplaceF", doReplaceF);
  v.Bool("DoReplaceS", doReplaceS);
  v.Bool("ReplacePerm", replacePerm);
  v.Bool("StopOnError", stopOnError);
  v.Bool("ignoreZPreview", ignoreZPreview);
  v.Bool("DrumEngraving", drumEngraving);
  v.Bool("AutoDrumPos", autoDrumPos);
  v.Bool("DisplayInch", displayInch);
  v.Bool("AtcHasKeepout", atcHasKeepout);
  v.Bool("SaveJogSettings", saveJogSettings);
  v.Bool("WheelVelMode", wheelVelMode);
  v.Bool("WheelPitch4Steps", wheelPitch4Steps);
  v.Bool("WheelFovrOnStart", wheelFovrOnStart);
  v.Bool("WheelEnaAlways", wheelEnaAlways);
  v.Bool("WheelHideIo", wheelHideIo);
  v.Bool("LoadLastJob", loadLastJob);
  v.Bool("MaintDsiplayPdf", maintDsiplayPdf);
  v.Bool("AlwaysG79", alwaysG79);
  v.Bool("TangentialMode", tangentialMode);

  v.String("Language", language);
  v.String("MachineDescr", machineDescr);
  v.String("ControllerAdr", controllerAdr);
  v.String("MacroDir", macroDir);
  v.String("IconDir", iconDir);
  v.String("WatchFileDir", watchFileDir);
  v.String("MaintPdfName", maintPdfName);
  v.String("Version", version);
  v.String("AppName", appName);
}

template <class V>
void MachineConfig::VisitOffsets(V& v) {
  for (int row = 0; row < kOffsetRows; ++row) {
    if (row < kWorkSystems) v.String(CommentKey(row).c_str(), offsetComments[row]);
    const std::string key = OffsetKey(row);
    for (int i = 0; i < kAxisCount; ++i) v.Double(key.c_str(), i, offsets[row].v[i]);
  }
}
