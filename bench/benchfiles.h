// Generated input files for the benchmarks, removed when the program ends.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

namespace benchfiles {

// Opens /tmp/quorvane_bench_<pid>_<name> for writing and registers it for
// removal at exit; the caller writes and closes it. Sets `path`.
inline std::FILE* Create(const std::string& name, std::string& path) {
  static struct Registry {
    ~Registry() {
      for (const std::string& p : files) std::remove(p.c_str());
    }
    std::vector<std::string> files;
  } registry;
  path = "/tmp/quorvane_bench_" + std::to_string(getpid()) + "_" + name;
  registry.files.push_back(path);
  return std::fopen(path.c_str(), "wb");
}

}  // namespace benchfiles
