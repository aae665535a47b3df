// HPGL import: command reader, stroke collection and the G-code writer.
#include "import/hpgl_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "base/logging.h"

namespace {

constexpr int32_t LOG_CAT_IMPORT = 0x0800;
constexpr int32_t LOG_IMPORT_ERROR = LOG_CAT_IMPORT | 6;
constexpr int32_t LOG_IMPORT_INFO = LOG_CAT_IMPORT | 4;

constexpr double kUnitMm = HPGL_Parser::kMmPerUnit;
constexpr double kCorelFactor = 1.016;
constexpr int kMaxPen = 255;
constexpr double kPi = 3.14159265358979323846;

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// A pen number from a parameter; -1 when it is not a usable pen.
int PenNumber(double v) {
  if (!(v >= 0 && v <= kMaxPen)) return -1;
  return static_cast<int>(v);
}

void AppendFormat(std::string& s, const char* fmt, double v) {
  char buf[400];
  const int n = std::snprintf(buf, sizeof buf, fmt, v);
  if (n > 0) s.append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

}  // namespace

std::string HpglFormatNumber(double v) {
  if (!std::isfinite(v)) return "0";
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
  if (res.ec != std::errc()) return "0";
  std::string s(buf, res.ptr);
  const size_t dot = s.find('.');
  if (dot != std::string::npos) {
    size_t end = s.size();
    while (end > dot + 1 && s[end - 1] == '0') --end;
    if (end == dot + 1) end = dot;
    s.resize(end);
  }
  if (s == "-0") s = "0";
  return s;
}

HPGL_Parser::HPGL_Parser() { Reset(); }

void HPGL_Parser::Reset() {
  penUp = true;
  newPath = true;
  absolute = true;
  position[0] = position[1] = 0;
  currentPen = 0;
  penSelected = false;
  globalVelocity = 0;
  widthUnit = 1.0;
  scaleType = 0;
  scale[0] = scale[1] = kUnitMm;
  userFactor[0] = userFactor[1] = 1;
  userOrigin[0] = userOrigin[1] = 0;
  p1[0] = p1[1] = 0;
  p2[0] = 10000;
  p2[1] = 7500;
  scalingOn = false;
  boxValid = false;
  pens.clear();
  paths.clear();
  parameters.clear();
  unsupported = false;
  unsupportedSeen.clear();
  report.clear();
  readReport.clear();
  message.clear();
  applied = false;
}

HpglPen* HPGL_Parser::FindPen(int number) {
  auto it = std::lower_bound(pens.begin(), pens.end(), number,
                             [](const HpglPen& p, int n) { return p.number < n; });
  return (it != pens.end() && it->number == number) ? &*it : nullptr;
}

HpglPen& HPGL_Parser::PenRecord(int number) {
  auto it = std::lower_bound(pens.begin(), pens.end(), number,
                             [](const HpglPen& p, int n) { return p.number < n; });
  if (it != pens.end() && it->number == number) return *it;
  HpglPen pen;
  pen.number = number;
  return *pens.insert(it, pen);
}

size_t HPGL_Parser::PointCount() const {
  size_t n = 0;
  for (const HpglPath& p : paths) n += p.elements.size();
  return n;
}

bool HPGL_Parser::ReadHpglFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) {
    Reset();
    message = "Could not open file " + fileName;
    LogMessage(LOG_IMPORT_ERROR, "HPGL_Parser:: Could not open %s", fileName.c_str());
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    Reset();
    message = "Could not read file " + fileName;
    LogMessage(LOG_IMPORT_ERROR, "HPGL_Parser:: Could not read %s", fileName.c_str());
    return false;
  }
  ReadHpglText(text);
  sourceName = fileName;
  return true;
}

void HPGL_Parser::ReadHpglText(const std::string& text) {
  Reset();
  sourceName.clear();
  const size_t n = text.size();
  size_t i = 0;
  size_t nextProgress = 1 << 20;
  char terminator = 3;  // label terminator, ETX unless DT changed it

  while (i < n) {
    if (progressFn && i >= nextProgress) {
      progressFn(i, n);
      nextProgress = i + (1 << 20);
    }
    const char c = text[i];
    if (c == 27) {  // device-control escape
      ++i;
      if (i < n && text[i] == '.') {
        i += 2;  // '.' and the command letter
        while (i < n && (IsDigit(text[i]) || text[i] == ';' || text[i] == ',' || text[i] == ' ')) ++i;
        if (i < n && text[i] == ':') ++i;
      } else if (i < n && text[i] == '%') {
        ++i;
        while (i < n && (IsDigit(text[i]) || text[i] == '-' || text[i] == '+')) ++i;
        if (i < n && IsLetter(text[i])) ++i;
      }
      continue;
    }
    if (c == '@') {  // job-language line in front of the plot
      while (i < n && text[i] != '\n') ++i;
      continue;
    }
    if (c == '"') {  // quoted comment text
      ++i;
      while (i < n && text[i] != '"') ++i;
      if (i < n) ++i;
      continue;
    }
    if (!IsLetter(c)) {
      ++i;
      continue;
    }
    char m[3] = {Upper(c), 0, 0};
    ++i;
    if (i < n && IsLetter(text[i])) m[1] = Upper(text[i++]);

    // Commands whose arguments are text, not numbers.
    if (!std::strcmp(m, "LB") || !std::strcmp(m, "WD") || !std::strcmp(m, "BL")) {
      while (i < n && text[i] != terminator) ++i;
      if (i < n) ++i;
      NotSupported(m);
      continue;
    }
    if (!std::strcmp(m, "DT")) {
      terminator = 3;
      if (i < n && text[i] != ';' && text[i] != '\n' && text[i] != '\r' && text[i] != 0 && text[i] != 27)
        terminator = text[i++];
    } else if (!std::strcmp(m, "SM")) {
      if (i < n && text[i] != ';') ++i;
    } else if (!std::strcmp(m, "PE")) {
      while (i < n && text[i] != ';') ++i;
    }

    parameters.clear();
    while (i < n && !IsLetter(text[i]) && text[i] != 27 && text[i] != '"' && text[i] != '@') {
      const char d = text[i];
      if (IsDigit(d) || d == '-' || d == '+' || d == '.') {
        bool negative = false;
        if (d == '-' || d == '+') {
          negative = d == '-';
          ++i;
        }
        const size_t start = i;
        while (i < n && (IsDigit(text[i]) || text[i] == '.')) ++i;
        if (i == start) continue;  // a lone sign
        double v = 0;
        auto res = std::from_chars(text.data() + start, text.data() + i, v, std::chars_format::fixed);
        if (res.ec != std::errc() || res.ptr == text.data() + start) continue;
        i = static_cast<size_t>(res.ptr - text.data());
        if (!std::isfinite(v)) continue;
        parameters.push_back(negative ? -v : v);
      } else {
        ++i;
      }
    }
    Execute(m);
  }
  // Close an open stroke.
  parameters.clear();
  Execute("PU");
  readReport = report;
  if (progressFn) progressFn(n, n);
}

void HPGL_Parser::NotSupported(const char* mnemonic) {
  unsupported = true;
  message = "Command not supported";
  if (std::find(unsupportedSeen.begin(), unsupportedSeen.end(), mnemonic) != unsupportedSeen.end()) return;
  unsupportedSeen.emplace_back(mnemonic);
  report += "Command not supported: ";
  report += mnemonic;
  report += "\n";
}

void HPGL_Parser::Initialise(bool full) {
  absolute = true;
  widthUnit = 1.0;
  scalingOn = false;
  SetScaling();
  if (full) {
    PenUp();
    p1[0] = p1[1] = 0;
    p2[0] = 10000;
    p2[1] = 7500;
    globalVelocity = 0;
  }
}

void HPGL_Parser::Execute(const char mn[3]) {
  const size_t np = parameters.size();
  const double* p = parameters.data();
  const auto is = [mn](const char* s) { return mn[0] == s[0] && mn[1] == s[1]; };

  if (is("IN")) {
    Initialise(true);
  } else if (is("DF")) {
    Initialise(false);
  } else if (is("IP")) {
    if (np == 0) {
      p1[0] = p1[1] = 0;
      p2[0] = 10000;
      p2[1] = 7500;
    } else if (np >= 4) {
      p1[0] = p[0];
      p1[1] = p[1];
      p2[0] = p[2];
      p2[1] = p[3];
    } else if (np >= 2) {
      const double dx = p2[0] - p1[0], dy = p2[1] - p1[1];
      p1[0] = p[0];
      p1[1] = p[1];
      p2[0] = p[0] + dx;
      p2[1] = p[1] + dy;
    }
    SetScaling();
  } else if (is("SC")) {
    if (np == 0) {
      scalingOn = false;
      SetScaling();
    } else if (np >= 4) {
      // Range checked as a number first: a huge fifth number has no int value.
      const double typeNumber = np >= 5 ? p[4] : 0;
      if (typeNumber > -1 && typeNumber < 3) {
        const int type = static_cast<int>(typeNumber);
        const bool wasOn = scalingOn;
        const int oldType = scaleType;
        double old[6];
        std::copy(std::begin(scParams), std::end(scParams), old);
        scaleType = type;
        for (int k = 0; k < 4; ++k) scParams[k] = p[k];
        scParams[4] = (type == 1 && np >= 6) ? p[5] : 50;
        scParams[5] = (type == 1 && np >= 7) ? p[6] : 50;
        scalingOn = true;
        if (!SetScaling()) {  // invalid range: the command is ignored
          scalingOn = wasOn;
          scaleType = oldType;
          std::copy(std::begin(old), std::end(old), scParams);
          SetScaling();
        }
      }
    }
  } else if (is("VS")) {
    if (np == 1) {
      globalVelocity = p[0];
    } else if (np >= 2) {
      const int pen = PenNumber(p[1]);
      if (pen >= 0) PenRecord(pen).velocity = p[0];
    }
  } else if (is("WU")) {
    if (np == 0 || p[0] == 0) {
      widthUnit = 1.0;
    } else {
      report += "Einheit kann nicht gesetzt werden.\n";
    }
  } else if (is("PW")) {
    if (np >= 2) {
      const int pen = PenNumber(p[1]);
      if (pen >= 0) PenRecord(pen).width = p[0] * widthUnit;
    } else if (np == 1) {
      for (HpglPen& pen : pens) pen.width = p[0] * widthUnit;
    }
  } else if (is("SP")) {
    newPath = true;
    penSelected = true;
    const int pen = np >= 1 ? PenNumber(p[0]) : 0;
    if (pen > 0) {
      currentPen = pen;
      PenRecord(pen).used = true;
    } else if (pen == 0) {
      currentPen = 0;
    }
  } else if (is("PU")) {
    PenUp();
    AddPoints();
  } else if (is("PD")) {
    if (penUp) {
      newPath = true;
      penUp = false;
    }
    AddPoints();
  } else if (is("PA") || is("PR")) {
    absolute = mn[1] == 'A';
    AddPoints();
  } else if (is("AA") || is("AR")) {
    absolute = mn[1] == 'A';
    if (np >= 3) AddArc();
  } else if (is("LT")) {
    // line types have no meaning for a cutter
  } else {
    NotSupported(mn);
  }
}

void HPGL_Parser::PenUp() {
  if (!penUp) {
    newPath = true;
    penUp = true;
  }
}

bool HPGL_Parser::SetScaling() {
  if (!scalingOn) {
    scale[0] = scale[1] = kUnitMm;
    userFactor[0] = userFactor[1] = 1;
    userOrigin[0] = userOrigin[1] = 0;
    return true;
  }
  double fx, fy, ox, oy;
  if (scaleType == 2) {
    fx = scParams[1];
    fy = scParams[3];
    ox = p1[0] - scParams[0] * fx;
    oy = p1[1] - scParams[2] * fy;
  } else {
    const double dxu = scParams[1] - scParams[0];
    const double dyu = scParams[3] - scParams[2];
    if (dxu == 0 || dyu == 0) return false;
    fx = (p2[0] - p1[0]) / dxu;
    fy = (p2[1] - p1[1]) / dyu;
    if (scaleType == 1) {
      const double f = std::min(std::fabs(fx), std::fabs(fy));
      fx = std::copysign(f, fx);
      fy = std::copysign(f, fy);
      ox = p1[0] - scParams[0] * fx + ((p2[0] - p1[0]) - dxu * fx) * scParams[4] / 100.0;
      oy = p1[1] - scParams[2] * fy + ((p2[1] - p1[1]) - dyu * fy) * scParams[5] / 100.0;
    } else {
      ox = p1[0] - scParams[0] * fx;
      oy = p1[1] - scParams[2] * fy;
    }
  }
  if (fx == 0 || fy == 0 || !std::isfinite(fx) || !std::isfinite(fy) || !std::isfinite(ox) || !std::isfinite(oy))
    return false;
  scale[0] = fx * kUnitMm;
  scale[1] = fy * kUnitMm;
  userFactor[0] = fx;
  userFactor[1] = fy;
  userOrigin[0] = ox;
  userOrigin[1] = oy;
  return true;
}

void HPGL_Parser::StartPathIfNeeded() {
  if (!newPath) return;
  if (currentPen == 0 && !penSelected) {
    currentPen = 1;
    PenRecord(1).used = true;
  }
  HpglPath path;
  path.pen = currentPen;
  path.penUp = penUp;
  path.startX = position[0];
  path.startY = position[1];
  paths.push_back(std::move(path));
  newPath = false;
  if (!penUp) ExtendBox(position[0], position[1]);
}

void HPGL_Parser::ExtendBox(double x, double y) {
  if (!boxValid) {
    box[0] = box[2] = x;
    box[1] = box[3] = y;
    boxValid = true;
    return;
  }
  box[0] = std::min(box[0], x);
  box[1] = std::min(box[1], y);
  box[2] = std::max(box[2], x);
  box[3] = std::max(box[3], y);
}

void HPGL_Parser::AddPoints() {
  const size_t np = parameters.size() & ~size_t(1);
  for (size_t k = 0; k < np; k += 2) {
    const double u = parameters[k], v = parameters[k + 1];
    if (absolute)
      AddPoint(PlotterX(u), PlotterY(v));
    else
      AddPoint(position[0] + u * userFactor[0], position[1] + v * userFactor[1]);
  }
}

void HPGL_Parser::AddPoint(double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  StartPathIfNeeded();
  HpglElement e;
  e.kind = HPGL_POINT;
  e.x = x;
  e.y = y;
  paths.back().elements.push_back(e);
  position[0] = x;
  position[1] = y;
  if (!penUp) ExtendBox(x, y);
}

void HPGL_Parser::AddArc() {
  const double u = parameters[0], v = parameters[1];
  const double cx = absolute ? PlotterX(u) : position[0] + u * userFactor[0];
  const double cy = absolute ? PlotterY(v) : position[1] + v * userFactor[1];
  double angle = std::clamp(parameters[2], -360.0, 360.0);
  const double rx = position[0] - cx, ry = position[1] - cy;
  const double radius = std::hypot(rx, ry);
  if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(radius)) return;
  if (radius == 0 || angle == 0) {
    AddPoint(position[0], position[1]);
    return;
  }
  const double fx = std::fabs(userFactor[0]), fy = std::fabs(userFactor[1]);
  if (std::fabs(fx - fy) > 1e-9 * std::max(fx, fy)) {
    AddChords(cx, cy, angle);
    return;
  }
  // A mirrored axis turns the sweep round.
  if ((userFactor[0] < 0) != (userFactor[1] < 0)) angle = -angle;
  const double a = angle * kPi / 180.0;
  const double ca = std::cos(a), sa = std::sin(a);
  HpglElement e;
  e.kind = HPGL_ARC;
  e.cx = cx;
  e.cy = cy;
  e.x = cx + rx * ca - ry * sa;
  e.y = cy + rx * sa + ry * ca;
  e.angle = angle;
  e.clockwise = angle < 0;
  if (!std::isfinite(e.x) || !std::isfinite(e.y)) return;
  StartPathIfNeeded();
  paths.back().elements.push_back(e);
  if (!penUp) {
    // The box holds the arc's extreme points, not only its end.
    const double a0 = std::atan2(ry, rx) * 180.0 / kPi;
    const double lo = std::min(a0, a0 + angle), hi = std::max(a0, a0 + angle);
    for (double q = std::ceil(lo / 90.0) * 90.0; q <= hi; q += 90.0) {
      const double qr = q * kPi / 180.0;
      ExtendBox(cx + radius * std::cos(qr), cy + radius * std::sin(qr));
    }
    ExtendBox(e.x, e.y);
  }
  position[0] = e.x;
  position[1] = e.y;
}

// An arc in user units under different X and Y factors is an ellipse on the
// paper; G-code has no such move, so it becomes chords.
void HPGL_Parser::AddChords(double cx, double cy, double angleDeg) {
  constexpr double kToleranceUnits = 0.01 / kUnitMm;
  constexpr int kMaxChords = 720;
  // The start as a radius in user units.
  const double ru = (position[0] - cx) / userFactor[0], rv = (position[1] - cy) / userFactor[1];
  const double reach = std::hypot(ru, rv) * std::max(std::fabs(userFactor[0]), std::fabs(userFactor[1]));
  const double a = angleDeg * kPi / 180.0;
  const double step = reach > kToleranceUnits ? 2 * std::acos(1 - kToleranceUnits / reach) : 2 * kPi;
  const int n = static_cast<int>(std::clamp(std::ceil(std::fabs(a) / step), 1.0, double(kMaxChords)));
  for (int k = 1; k <= n; ++k) {
    const double t = a * k / n, ct = std::cos(t), st = std::sin(t);
    AddPoint(cx + (ru * ct - rv * st) * userFactor[0], cy + (ru * st + rv * ct) * userFactor[1]);
  }
}

void HPGL_Parser::ApplySettings(const HpglSettings& s, const std::vector<HpglPenSettings>& penTable) {
  settings = s;
  report = readReport;
  applied = true;
  char buf[128];
  const auto note = [&](const char* fmt, int pen) {
    std::snprintf(buf, sizeof buf, fmt, pen);
    report += buf;
  };
  for (HpglPen& pen : pens) {
    const HpglPenSettings row =
        (pen.number >= 0 && static_cast<size_t>(pen.number) < penTable.size()) ? penTable[pen.number]
                                                                                 : HpglPenSettings{};
    pen.active = row.active;
    if (s.zSel == 1) {
      pen.zDepth = row.zDepth;
      pen.zFeed = row.zFeed;
      if (pen.zFeed <= 0) {
        note("ZFeedrate is 0, changed to global value. Pen= %i\n", pen.number);
        pen.zFeed = s.zFeed;
      }
    } else {
      pen.zDepth = s.zDepth;
      pen.zFeed = s.zFeed;
    }
    if (s.feedSel == 1) {
      pen.feed = row.feed;
      if (pen.feed <= 0) {
        note("Feedrate is 0, changed to global value. Pen= %i\n", pen.number);
        pen.feed = s.feedrate;
      }
    } else if (s.feedSel == 2) {
      double v = pen.velocity > 0 ? pen.velocity : globalVelocity > 0 ? globalVelocity : row.velocity;
      if (v <= 0) {
        note("Pen velocity is 0, changed to global value. Pen= %i\n", pen.number);
        pen.feed = s.feedrate;
      } else {
        pen.feed = v * 600.0;  // cm/s to mm/min
      }
    } else {
      pen.feed = s.feedrate;
    }
    if (s.toolSel == 1) {
      pen.tool = row.tool;
      if (pen.tool <= 0) {
        note("Tool is not assigned, changed to global value. Pen= %i\n", pen.number);
        pen.tool = s.tool;
      }
      pen.spindleSpeed = row.spindleSpeed;
      if (pen.spindleSpeed <= 0) {
        note("Spindle Speed is 0, changed to global value. Pen= %i\n", pen.number);
        pen.spindleSpeed = s.spindleSpeed;
      }
    } else {
      pen.tool = s.tool;
      pen.spindleSpeed = s.spindleSpeed;
    }
  }
}

// ---- writer ----

void HPGL_Parser::Line(const std::string& text) {
  std::string line;
  if (settings.withLineNumbers) {
    lineNumber += 10;
    line = "N" + std::to_string(lineNumber) + " ";
  }
  line += text;
  std::replace(line.begin(), line.end(), ',', '.');
  out += line;
  out += '\n';
}

void HPGL_Parser::AppendFeed(std::string& line, double feed) {
  if (feed == lastFeed) return;
  line += " F";
  line += HpglFormatNumber(feed);
  lastFeed = feed;
}

void HPGL_Parser::WriteSafeZ() {
  std::string line = "G0 Z";
  AppendFormat(line, "%0.f", settings.topMat + settings.zSafe);
  Line(line);
  safeUp = true;
}

void HPGL_Parser::WriteXY(const char* g, double x, double y, bool force, double feed, bool withFeed) {
  std::string line = g;
  bool any = false;
  if (force || firstMove || x != lastX) {
    line += " X";
    line += HpglFormatNumber(OutX(x));
    lastX = x;
    any = true;
  }
  if (force || firstMove || y != lastY) {
    line += " Y";
    line += HpglFormatNumber(OutY(y));
    lastY = y;
    any = true;
  }
  firstMove = false;
  if (!any) return;  // no motion: nothing to write
  if (withFeed) AppendFeed(line, feed);
  Line(line);
}

void HPGL_Parser::WriteArc(const HpglElement& e, double feed) {
  double i, j;
  if (settings.centerAbs) {
    i = OutX(e.cx);
    j = OutY(e.cy);
  } else {
    i = (e.cx - lastX) * outScale[0];
    j = (e.cy - lastY) * outScale[1];
  }
  std::string line = e.clockwise ? "G2" : "G3";
  AppendFormat(line, " X%0.3f", OutX(e.x));
  AppendFormat(line, " Y%0.3f", OutY(e.y));
  AppendFormat(line, " I%0.3f", i);
  AppendFormat(line, " J%0.3f", j);
  AppendFeed(line, feed);
  Line(line);
  lastX = e.x;
  lastY = e.y;
  firstMove = false;
}

bool HPGL_Parser::WriteGCode(const std::string& fileName) {
  if (!applied) ApplySettings(settings, {});
  const std::string ncName = fileName + ".nc";
  FILE* f = std::fopen(ncName.c_str(), "wb");
  if (!f) {
    LogMessage(LOG_IMPORT_ERROR, "HPGL_Parser:: Could not write NC File");
    message = "Could not write NC File";
    return false;
  }
  out.clear();
  lineNumber = 0;
  lastX = lastY = 0;
  lastFeed = -1;
  safeUp = true;
  firstMove = true;
  const double unit = settings.corel ? kCorelFactor : 1.0;
  outScale[0] = outScale[1] = kUnitMm * unit;
  if (settings.offsetSel == 1 && boxValid) {
    offset[0] = -box[0];
    offset[1] = -box[1];
  } else if (settings.offsetSel == 2 && boxValid) {
    offset[0] = -(box[0] + (box[2] - box[0]) / 2);
    offset[1] = -(box[1] + (box[3] - box[1]) / 2);
  } else {
    offset[0] = offset[1] = 0;
  }

  out += "(" + settings.appName + " HPGL Import Filter)\n";
  out += "(Filter Version: " + version + ")\n";
  out += "(converted from: " + (sourceName.empty() ? fileName : sourceName) + " )\n";
  out += settings.centerAbs ? "(circle mode JK absolute)\n" : "(circle mode JK relative)\n";
  out += "%\n\n";
  Line(settings.constVel ? "G64 (constant velocity mode)" : "G61 (exact stop mode)");
  Line("G21 (Metrisch)");
  Line("G90");
  bool ok = true;
  if (paths.empty()) {
    LogMessage(LOG_IMPORT_ERROR, "HPGL_Parser:: No NC Data in HPGL File");
    message = "No NC Data in HPGL File";
    ok = false;
  } else {
    std::string z = "G0 Z";
    AppendFormat(z, "%0.f", settings.topMat + settings.zSafe);
    Line(z + " (move to secure Z-hight)");
    out += '\n';
    safeUp = true;

    int prevPen = -1;
    bool firstToolChange = true;
    for (const HpglPath& path : paths) {
      HpglPen* pen = FindPen(path.pen);
      if (!pen || !pen->active) continue;
      if (path.pen != prevPen) {
        out += '\n';
        Line("(Tool Change)");
        if (!safeUp) WriteSafeZ();
        Line("M6 T" + std::to_string(pen->tool));
        std::string s = "M3 S";
        AppendFormat(s, "%0.f", pen->spindleSpeed);
        Line(s);
        WriteSafeZ();
        prevPen = path.pen;
        if (firstToolChange) {
          WriteXY("G0", path.startX, path.startY, true, 0, false);
          firstToolChange = false;
        }
      }
      if (path.penUp) {
        if (!safeUp) WriteSafeZ();
      } else {
        if (firstMove || path.startX != lastX || path.startY != lastY) {
          if (!safeUp) WriteSafeZ();
          WriteXY("G0", path.startX, path.startY, false, 0, false);
        }
        std::string line = "G1 Z" + HpglFormatNumber(settings.topMat + pen->zDepth);
        AppendFeed(line, pen->zFeed);
        Line(line);
        safeUp = false;
      }
      for (const HpglElement& e : path.elements) {
        if (e.kind == HPGL_POINT) {
          if (path.penUp)
            WriteXY("G0", e.x, e.y, false, 0, false);
          else
            WriteXY("G1", e.x, e.y, false, pen->feed, true);
        } else if (e.kind == HPGL_ARC) {
          if (path.penUp)
            WriteXY("G0", e.x, e.y, false, 0, false);  // a lifted pen only travels
          else
            WriteArc(e, pen->feed);
        } else {
          Line("(AT still not supported )");
        }
        firstMove = false;
      }
    }
    WriteSafeZ();
    Line("M5");
    Line("M30");
    out += "%\n";
    LogMessage(LOG_IMPORT_INFO, "HPGL_Parser:: %zu paths written to %s", paths.size(), ncName.c_str());
  }
  const bool written = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    LogMessage(LOG_IMPORT_ERROR, "HPGL_Parser:: Could not write NC File");
    message = "Could not write NC File";
    return false;
  }
  return ok;
}
