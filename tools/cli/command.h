// quorvane-cli commands: each lives in its own file and registers itself.
#pragma once

#include <string>
#include <vector>

struct CliCommand {
  const char* name;
  const char* usage;    // one line: arguments
  const char* summary;  // one line: what it does
  int (*run)(const std::vector<std::string>& args);  // args after the command name; returns exit status
};

// Registers a command at static-initialisation time.
struct CliRegistrar {
  explicit CliRegistrar(const CliCommand& command);
};

const std::vector<CliCommand>& CliCommands();
