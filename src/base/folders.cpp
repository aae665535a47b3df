#include "base/folders.h"

#include <cstdlib>
#include <mutex>

namespace {

std::mutex g_mutex;
std::string g_params, g_macros, g_logs;

std::string FromEnv(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : std::string();
}

std::string UserConfigDir() {
  std::string xdg = FromEnv("XDG_CONFIG_HOME");
  if (!xdg.empty()) return xdg;
  std::string home = FromEnv("HOME");
  return (home.empty() ? std::string(".") : home) + "/.config";
}

}  // namespace

namespace Folders {

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string Parameters() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_params.empty()) return g_params;
  std::string env = FromEnv("QUORVANE_PARAM_DIR");
  return env.empty() ? Join(UserConfigDir(), "quorvane") : env;
}

std::string Macros() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_macros.empty()) return g_macros;
  }
  std::string env = FromEnv("QUORVANE_MACRO_DIR");
  return env.empty() ? Join(Parameters(), "macros") : env;
}

std::string Logs() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_logs.empty()) return g_logs;
  }
  std::string env = FromEnv("QUORVANE_LOG_DIR");
  return env.empty() ? Join(Parameters(), "log") : env;
}

void SetParameters(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_params = dir;
}
void SetMacros(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_macros = dir;
}
void SetLogs(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_logs = dir;
}

}  // namespace Folders
