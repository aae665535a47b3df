// HPGL import: reads a plotter file into pen strokes and writes them as a
// G-code program (the source name with ".nc" appended).
//
// Reading
// - A command is a two-letter mnemonic (upper or lower case) followed by its
//   numbers up to the next letter. Numbers are a sign, digits and an optional
//   decimal point; commas, blanks, line ends and ';' separate them. Numbers
//   that do not fit a double are dropped.
// - Label text ("LB" up to the terminator, ETX unless "DT" set another one)
//   and device-control escapes (ESC . x ... :, ESC % ... letter) are skipped so
//   that their letters are not taken for commands.
// - Unknown mnemonics are listed once each in the report.
// - Paths started before any SP belong to pen 1 (most plotters start with
//   pen 1 in hand and many programs never select it). After an explicit SP0
//   strokes belong to pen 0, which has no record and is never written.
// - Arc sweeps are limited to +-360 degrees; an arc of radius 0 or sweep 0 is
//   a point.
//
// Scaling (each point is converted to plotter units with the IP/SC in force
// when it is drawn, as a plotter does; later IP, SC, IN or DF commands do not
// reach back over strokes already drawn)
// - IP default after IN: P1 = (0,0), P2 = (10000,7500) plotter units. IP with
//   two numbers moves P1 and keeps P2 - P1. IP changes an SC in force.
// - SC type 0 (anisotropic): user Xmin..Xmax maps onto P1x..P2x, likewise Y.
//   Type 1 (isotropic): the smaller of the two factors for both axes, the
//   drawing placed by the left/bottom percentages (default 50, centred).
//   Type 2 (point factor): Xmin maps onto P1x, one user unit is p1 plotter
//   units. A type outside 0..2 or a degenerate range ignores the command.
// - SC without numbers ends scaling (user units are plotter units again).
// - The pen keeps its place on the paper when the scaling changes; relative
//   moves after it are in the new user units.
// - Arcs are computed in user units; under anisotropic scaling the arc is an
//   ellipse on paper and is stored as chords (at most 0.01 mm off).
// - DF: absolute plotting, scaling off, width unit millimetres.
//   IN: as DF, plus scaling points reset, pen lifted, VS without pen cleared.
//
// Writing (HpglSettings)
// - `corel` switches the 1.016 factor (files written with 1000 units per
//   inch); `metric` is kept for the dialog only: the output is always G21.
// - Z values are measured from the material top: plunge Z = topMat + pen Z
//   depth, safe Z = topMat + zSafe.
// - Selection: zSel, toolSel: 0 = the global value for every pen, 1 = the pen
//   table. feedSel: 0 = global feed, 1 = pen table feed, 2 = the pen's VS
//   velocity (cm/s, from the file or the stored table; x 600 = mm/min).
//   Pen-table values of 0 fall back to the global value with a report line.
// - X, Y, F and Z words on line moves: fixed 4 decimals, trailing zeros
//   removed ("100", "101.6"), locale independent.
// - With line numbers, every non-blank line from "G64/G61" to "M30" is
//   numbered; the header comments and the "%" lines are not.
// - An element kind the writer cannot cut is written as a comment in
//   parentheses so that the program still runs.
// - Before a pen-down path the tool is moved (at safe Z) to the path's start
//   when it is not there, so skipped (inactive) pens do not leave a cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum HpglElementKind { HPGL_POINT = 0, HPGL_ARC = 1, HPGL_UNSUPPORTED = 2 };

// Positions in plotter units (0.025 mm), after the file's own scaling.
struct HpglElement {
  int kind = HPGL_POINT;
  double x = 0, y = 0;    // end point
  double cx = 0, cy = 0;  // arc centre
  double angle = 0;       // sweep in degrees
  bool clockwise = false;
};

struct HpglPath {
  int pen = 0;
  bool penUp = true;
  double startX = 0, startY = 0;  // pen position before the first element
  std::vector<HpglElement> elements;
};

struct HpglPen {
  int number = 0;
  double width = 0;     // mm
  double velocity = 0;  // VS, cm/s
  bool used = false;    // selected by SP
  // Machining values, filled from the settings before writing.
  bool active = true;
  double feed = 0;          // mm/min
  double spindleSpeed = 0;  // rpm
  double zDepth = 0;        // mm below/above material top
  double zFeed = 0;         // mm/min
  int tool = 0;
};

// One row of the stored pen table (per pen number).
struct HpglPenSettings {
  double feed = 0;
  double zFeed = 0;
  double zDepth = 0;
  double spindleSpeed = 0;
  int tool = 0;
  bool active = true;
  double velocity = 0;  // cm/s, used when the file has no VS for the pen
};

// The dialog's global values.
struct HpglSettings {
  int zSel = 0;
  int feedSel = 0;
  int toolSel = 0;
  int offsetSel = 0;  // 0 none, 1 lower left to origin, 2 centre to origin
  bool corel = false;
  bool metric = true;
  bool withLineNumbers = false;
  bool constVel = true;
  double zDepth = -1.0;
  double zFeed = 300.0;
  double spindleSpeed = 10000.0;
  double feedrate = 1000.0;
  int tool = 1;
  double topMat = 0.0;
  double zSafe = 5.0;
  bool centerAbs = false;  // circle centres I/J absolute (machine setting)
  std::string appName = "Quorvane";
};

class HPGL_Parser {
 public:
  HPGL_Parser();

  // Reads and executes a whole file; false when it cannot be read.
  bool ReadHpglFile(const std::string& fileName);
  // Reads HPGL text (the file's content).
  void ReadHpglText(const std::string& text);

  // Fills the pens' machining values from the settings and the stored pen
  // table (indexed by pen number; pens absent there use defaults).
  void ApplySettings(const HpglSettings& settings, const std::vector<HpglPenSettings>& penTable);
  // Only the global values, for a caller that filled the pens itself (a
  // dialog editing Pens()); WriteGCode then uses the pens as they are.
  void SetSettings(const HpglSettings& s) {
    settings = s;
    applied = true;
  }
  // Without ApplySettings or SetSettings, the default settings are applied.
  // Writes fileName + ".nc". False when it cannot be created or has no paths.
  bool WriteGCode(const std::string& fileName);

  // Called now and then while reading: bytes done, bytes total.
  void SetProgress(std::function<void(size_t, size_t)> progress) { progressFn = std::move(progress); }

  const std::string& Version() const { return version; }
  const std::vector<HpglPen>& Pens() const { return pens; }
  std::vector<HpglPen>& Pens() { return pens; }
  HpglPen* FindPen(int number);
  const std::vector<HpglPath>& Paths() const { return paths; }
  const std::string& Report() const { return report; }
  const std::string& Message() const { return message; }
  bool Unsupported() const { return unsupported; }
  const HpglSettings& Settings() const { return settings; }
  static constexpr double kMmPerUnit = 0.025;  // one plotter unit, mm
  // The scaling in force at the end of the file: type and mm per user unit.
  int ScaleType() const { return scaleType; }
  double ScaleX() const { return scale[0]; }
  double ScaleY() const { return scale[1]; }
  bool HasBox() const { return boxValid; }
  const double* Box() const { return box; }  // plotter units: min X, min Y, max X, max Y
  double GlobalVelocity() const { return globalVelocity; }
  size_t PointCount() const;

 private:
  void Reset();
  void Execute(const char mnemonic[3]);
  void Initialise(bool full);
  void PenUp();
  void AddPoints();
  void AddPoint(double x, double y);
  void AddArc();
  void AddChords(double cux, double cuy, double angleDeg);
  // User units to plotter units with the scaling in force.
  double PlotterX(double u) const { return u * userFactor[0] + userOrigin[0]; }
  double PlotterY(double u) const { return u * userFactor[1] + userOrigin[1]; }
  void StartPathIfNeeded();
  void ExtendBox(double x, double y);
  HpglPen& PenRecord(int number);
  bool SetScaling();
  void NotSupported(const char* mnemonic);

  // Writer helpers.
  void Line(const std::string& text);
  void WriteXY(const char* g, double x, double y, bool force, double feed, bool withFeed);
  void WriteArc(const HpglElement& e, double feed);
  void WriteSafeZ();
  void AppendFeed(std::string& line, double feed);
  double OutX(double x) const { return (x + offset[0]) * outScale[0]; }
  double OutY(double y) const { return (y + offset[1]) * outScale[1]; }

  std::string version = "V1.0";
  bool penUp = true;
  bool newPath = true;
  bool absolute = true;
  double position[2] = {0, 0};  // plotter units
  int currentPen = 0;
  bool penSelected = false;  // an SP was met
  double globalVelocity = 0;
  double widthUnit = 1.0;
  int scaleType = 0;
  double scale[2] = {0.025, 0.025};  // mm per user unit
  double userFactor[2] = {1, 1};    // plotter units per user unit
  double userOrigin[2] = {0, 0};    // plotter units of the user origin
  double p1[2] = {0, 0};
  double p2[2] = {10000, 7500};
  bool scalingOn = false;
  double scParams[6] = {0, 0, 0, 0, 50, 50};  // SC numbers, left/bottom %
  double box[4] = {0, 0, 0, 0};
  bool boxValid = false;
  std::vector<HpglPen> pens;
  std::vector<HpglPath> paths;
  std::vector<double> parameters;
  bool unsupported = false;
  std::vector<std::string> unsupportedSeen;
  std::string report;
  std::string readReport;  // the reading part of the report
  bool applied = false;
  std::string message;
  std::string sourceName;
  std::function<void(size_t, size_t)> progressFn;

  // Writer state.
  HpglSettings settings;
  double offset[2] = {0, 0};        // plotter units
  double outScale[2] = {0.025, 0.025};  // mm per plotter unit
  int lineNumber = 0;
  double lastX = 0, lastY = 0, lastFeed = -1;
  bool safeUp = true;
  bool firstMove = true;
  std::string out;
};

// Formats a number for a line-move word: 4 decimals, trailing zeros removed.
std::string HpglFormatNumber(double v);
