// Reads arbitrary bytes as the soft module's probe height map. A broken map
// must be refused with a message, never crash or hang; an accepted one has
// every node, and its height anywhere (also far outside the grid) lies
// within the range of its nodes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

// The parser lives in the soft module's program, which is no library.
#include "tools/modsim/sensors.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  modsim::HeightMap map;
  std::string error;
  if (!modsim::ParseHeightMap(in, map, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (map.nx < 1 || map.ny < 1 || map.z.size() != static_cast<size_t>(map.nx) * map.ny) std::abort();
  const auto [lo, hi] = std::minmax_element(map.z.begin(), map.z.end());
  const double slack = 1e-6 * (1 + std::fabs(*lo) + std::fabs(*hi));
  const double span[3] = {-1e9, 0.5, 1e9};
  for (double fx : span)
    for (double fy : span) {
      const double x = map.x0 + fx * map.dx * map.nx, y = map.y0 + fy * map.dy * map.ny;
      const double z = map.At(x, y);
      if (!(z >= *lo - slack && z <= *hi + slack)) std::abort();
    }
  return 0;
}
