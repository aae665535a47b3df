#include "common/testsupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <sys/wait.h>

#include "base/assertion.h"
#include "base/folders.h"

namespace testsupport {
namespace {
std::mutex g_mutex;
std::vector<std::string> g_messages;
int g_counter = 0;

void Capture(const char*, const char* message, const char*, int) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_messages.push_back(message ? message : "");
}
}  // namespace

const std::string& ScratchDir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/quorvane-test-XXXXXX";
    const char* d = mkdtemp(tmpl);
    if (!d) throw std::runtime_error("mkdtemp failed");
    return std::string(d);
  }();
  return dir;
}

void UseScratchFolders() {
  const std::string scratch = ScratchDir();
  for (const char* sub : {"/params", "/macros", "/log"}) mkdir((scratch + sub).c_str(), 0755);
  setenv("QUORVANE_PARAM_DIR", (scratch + "/params").c_str(), 1);
  setenv("QUORVANE_MACRO_DIR", (scratch + "/macros").c_str(), 1);
  setenv("QUORVANE_LOG_DIR", (scratch + "/log").c_str(), 1);
  // Settings of other programs the system looks for (keyboard emulators).
  mkdir((scratch + "/config").c_str(), 0755);
  setenv("XDG_CONFIG_HOME", (scratch + "/config").c_str(), 1);
  Folders::SetParameters(scratch + "/params");
  Folders::SetMacros(scratch + "/macros");
  Folders::SetLogs(scratch + "/log");
}

int RemoveScratch(int rc) {
  if (std::getenv("QUORVANE_KEEP_SCRATCH")) return rc;
  const std::string cmd = "rm -rf '" + ScratchDir() + "'";
  if (std::system(cmd.c_str()) != 0) return rc ? rc : 1;
  return rc;
}

std::string MakeTempDir(const std::string& tag) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string dir = ScratchDir() + "/" + tag + "-" + std::to_string(++g_counter);
  mkdir(dir.c_str(), 0755);
  return dir;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

CommandOutput RunCommand(const std::string& command) {
  CommandOutput out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) out.text += buf;
  const int rc = pclose(p);
  out.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

AssertionCapture::AssertionCapture() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_messages.clear();
  SetAssertionHandler(&Capture);
}

AssertionCapture::~AssertionCapture() { SetAssertionHandler(nullptr); }

const std::vector<std::string>& AssertionCapture::Messages() const { return g_messages; }

bool AssertionCapture::Saw(const std::string& message) const {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const auto& m : g_messages)
    if (m == message) return true;
  return false;
}

}  // namespace testsupport
