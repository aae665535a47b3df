#include "sensors.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace modsim {

namespace {
bool Fail(std::string& error, const std::string& text) {
  error = text;
  return false;
}

bool ParseDouble(const std::string& s, double& v) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  v = std::strtod(s.c_str(), &end);
  return end && *end == 0 && errno == 0 && v == v && v > -1e12 && v < 1e12;
}

bool ParseBit(const std::string& text, size_t& colon, int& bit, std::string& error) {
  colon = text.find(':');
  double b = 0;
  if (colon == std::string::npos || !ParseDouble(text.substr(0, colon), b) || b < 0 || b > 23 ||
      b != static_cast<int>(b))
    return Fail(error, "input bit 0..23 expected before ':' in " + text);
  bit = static_cast<int>(b);
  return true;
}
}  // namespace

bool ParseSwitch(const std::string& text, SwitchSpec& s, std::string& error) {
  size_t colon = 0;
  if (!ParseBit(text, colon, s.bit, error)) return false;
  const std::string rest = text.substr(colon + 1);
  static const std::string kAxes = "XYZABC";
  if (rest.size() < 4 || kAxes.find(rest[0]) == std::string::npos || (rest.compare(1, 2, "<=") && rest.compare(1, 2, ">=")))
    return Fail(error, "AXIS<=STEPS or AXIS>=STEPS expected in " + text);
  s.channel = static_cast<int>(kAxes.find(rest[0]));
  s.below = rest[1] == '<';
  double v = 0;
  if (!ParseDouble(rest.substr(3), v)) return Fail(error, "a step position expected in " + text);
  s.steps = static_cast<int64_t>(v);
  return true;
}

namespace {
std::vector<std::string> SplitColons(const std::string& text, size_t from) {
  std::vector<std::string> parts;
  for (size_t at = from;;) {
    const size_t next = text.find(':', at);
    parts.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    at = next + 1;
  }
  return parts;
}
}  // namespace

bool ParseProbe(const std::string& text, ProbeSpec& p, std::string& error) {
  size_t colon = 0;
  if (!ParseBit(text, colon, p.bit, error)) return false;
  double v[3] = {0, 0, 0};
  const std::vector<std::string> parts = SplitColons(text, colon + 1);
  if (parts.size() != 1 && parts.size() != 3) return Fail(error, "Z0 or Z0:DZDX:DZDY expected in " + text);
  for (size_t k = 0; k < parts.size(); ++k)
    if (!ParseDouble(parts[k], v[k])) return Fail(error, "Z0 or Z0:DZDX:DZDY expected in " + text);
  p.z0 = v[0];
  p.dzdx = v[1];
  p.dzdy = v[2];
  return true;
}

double HeightMap::At(double x, double y) const {
  if (nx <= 0 || ny <= 0) return 0;
  // Grid coordinates, held on the grid: outside it the edge's height.
  const double gx = std::clamp((x - x0) / dx, 0.0, static_cast<double>(nx - 1));
  const double gy = std::clamp((y - y0) / dy, 0.0, static_cast<double>(ny - 1));
  const int i = std::min(static_cast<int>(gx), std::max(nx - 2, 0));
  const int j = std::min(static_cast<int>(gy), std::max(ny - 2, 0));
  const int i1 = std::min(i + 1, nx - 1), j1 = std::min(j + 1, ny - 1);
  const double fx = gx - i, fy = gy - j;
  auto node = [&](int a, int b) { return z[static_cast<size_t>(b) * nx + a]; };
  const double low = node(i, j) + (node(i1, j) - node(i, j)) * fx;
  const double high = node(i, j1) + (node(i1, j1) - node(i, j1)) * fx;
  return low + (high - low) * fy;
}

bool ParseHeightMap(std::istream& in, HeightMap& m, std::string& error) {
  constexpr int kMaxNodes = 1000;
  std::string line;
  int lineNo = 0;
  bool header = false;
  std::vector<double> z;
  auto where = [&] { return "line " + std::to_string(lineNo) + ": "; };
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::istringstream words(line);
    std::vector<double> values;
    std::string word;
    while (words >> word) {
      double v = 0;
      if (!ParseDouble(word, v)) return Fail(error, where() + "not a number: " + word);
      values.push_back(v);
    }
    if (!header) {
      if (values.size() != 6) return Fail(error, where() + "X0 Y0 DX DY NX NY expected");
      const double nx = values[4], ny = values[5];
      if (!(values[2] > 0) || !(values[3] > 0)) return Fail(error, where() + "DX and DY must be above 0");
      if (nx < 1 || ny < 1 || nx > kMaxNodes || ny > kMaxNodes || nx != static_cast<int>(nx) ||
          ny != static_cast<int>(ny))
        return Fail(error, where() + "NX and NY must be whole numbers 1.." + std::to_string(kMaxNodes));
      m.x0 = values[0];
      m.y0 = values[1];
      m.dx = values[2];
      m.dy = values[3];
      m.nx = static_cast<int>(nx);
      m.ny = static_cast<int>(ny);
      header = true;
      continue;
    }
    if (z.size() == static_cast<size_t>(m.nx) * m.ny) return Fail(error, where() + "more than NY rows");
    if (values.size() != static_cast<size_t>(m.nx))
      return Fail(error, where() + std::to_string(m.nx) + " heights expected, " + std::to_string(values.size()) +
                             " found");
    z.insert(z.end(), values.begin(), values.end());
  }
  if (!header) return Fail(error, "empty: X0 Y0 DX DY NX NY expected");
  if (z.size() != static_cast<size_t>(m.nx) * m.ny)
    return Fail(error, std::to_string(m.ny) + " rows expected, " + std::to_string(z.size() / m.nx) + " found");
  m.z = std::move(z);
  return true;
}

bool ParseProbeMap(const std::string& text, ProbeSpec& p, std::string& error) {
  size_t colon = 0;
  int bit = 0;
  if (!ParseBit(text, colon, bit, error)) return false;
  const std::string path = text.substr(colon + 1);
  std::ifstream in(path);
  if (!in) return Fail(error, "cannot read " + path);
  auto map = std::make_shared<HeightMap>();
  std::string why;
  if (!ParseHeightMap(in, *map, why)) return Fail(error, path + ": " + why);
  p.bit = bit;
  p.map = std::move(map);
  return true;
}

bool ParseThcPlate(const std::string& text, ThcPlate& p, std::string& error) {
  const std::vector<std::string> parts = SplitColons(text, 0);
  double v[5] = {};
  const std::string expected = "Z0:DZDX:DZDY:VOLTS:VPERSTEP expected in " + text;
  if (parts.size() != 5) return Fail(error, expected);
  for (size_t k = 0; k < parts.size(); ++k)
    if (!ParseDouble(parts[k], v[k])) return Fail(error, expected);
  if (!(v[4] > 0)) return Fail(error, "VPERSTEP must be above 0 in " + text);
  p = ThcPlate{true, v[0], v[1], v[2], v[3], v[4]};
  return true;
}

uint32_t Sensors::Mask() const {
  uint32_t m = 0;
  for (const SwitchSpec& s : switches_) m |= 1u << s.bit;
  if (probe_.bit >= 0) m |= 1u << probe_.bit;
  return m;
}

uint32_t Sensors::Inputs(const int32_t* counter) const {
  uint32_t in = 0;
  for (const SwitchSpec& s : switches_) {
    const int64_t p = Physical(s.channel, counter[s.channel]);
    if (s.below ? p <= s.steps : p >= s.steps) in |= 1u << s.bit;
  }
  if (probe_.bit >= 0) {
    const double x = static_cast<double>(Physical(0, counter[0]));
    const double y = static_cast<double>(Physical(1, counter[1]));
    const double z = static_cast<double>(Physical(2, counter[2]));
    if (z <= probe_.SurfaceAt(x, y)) in |= 1u << probe_.bit;
  }
  return in;
}

}  // namespace modsim
