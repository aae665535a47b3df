// quorvane-cli: the system without a screen.
#include <cstdio>
#include <cstring>

#include <cstdlib>

#include <wx/init.h>
#include <wx/log.h>

#include "base/logging.h"

#include "command.h"

namespace {
// Without a log folder named for it, the command line keeps its diagnostics
// out of the operator's terminal and out of the user's folders.
class DiscardLog : public wxLog {
 protected:
  void DoLogRecord(wxLogLevel, const wxString&, const wxLogRecordInfo&) override {}
};

std::vector<CliCommand>& Registry() {
  static std::vector<CliCommand> commands;
  return commands;
}

int Usage(FILE* out) {
  std::fprintf(out, "usage: quorvane-cli COMMAND [options] ...\n\n"
                    "Log lines go to log.txt in $QUORVANE_LOG_DIR when it is set, else nowhere.\n\ncommands:\n");
  for (const CliCommand& c : Registry()) std::fprintf(out, "  %-6s %s\n         %s\n", c.name, c.usage, c.summary);
  return out == stderr ? 2 : 0;
}
}  // namespace

CliRegistrar::CliRegistrar(const CliCommand& command) { Registry().push_back(command); }
const std::vector<CliCommand>& CliCommands() { return Registry(); }

int main(int argc, char** argv) {
  if (argc < 2) return Usage(stderr);
  if (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "help"))
    return Usage(stdout);
  wxInitializer wx;
  if (!wx.IsOk()) {
    std::fprintf(stderr, "quorvane-cli: cannot initialise wxWidgets\n");
    return 1;
  }
  const char* logDir = std::getenv("QUORVANE_LOG_DIR");
  if (!(logDir && *logDir && OpenLogFile(logDir))) delete wxLog::SetActiveTarget(new DiscardLog);
  for (const CliCommand& c : Registry()) {
    if (std::strcmp(c.name, argv[1]) == 0) {
      const int rc = c.run(std::vector<std::string>(argv + 2, argv + argc));
      CloseLogFile();
      // Process-wide objects still log while they are destroyed after main.
      delete wxLog::SetActiveTarget(new DiscardLog);
      wxLog::DontCreateOnDemand();
      return rc;
    }
  }
  std::fprintf(stderr, "quorvane-cli: unknown command '%s'\n", argv[1]);
  return Usage(stderr);
}
