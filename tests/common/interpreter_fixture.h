// A fixture for running programs through an interpreter against the
// recording back end, with fresh parameter, macro and program folders.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/folders.h"
#include "interpreter/gcodeparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "interpreter/messagelist.h"
#include "params/parafile.h"
#include "common/recording_backend.h"
#include "common/testsupport.h"
#include "machine/tooltable.h"

namespace testsupport {

// The operator's message list, kept for the test to read.
class CapturedMessages : public MessageList {
 public:
  void Post(const std::string& text) override { lines.push_back(text); }
  void Clear() override { lines.clear(); }
  int Count(const std::string& text) const { return static_cast<int>(std::count(lines.begin(), lines.end(), text)); }
  bool Has(const std::string& text) const { return Count(text) > 0; }
  std::vector<std::string> lines;
};

template <class Parser>
class InterpreterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Machine runs write the variable file at their end: a fresh folder per
    // test keeps a tool or variable of one test out of the next.
    Reset(MakeTempDir("params"));
    OpenParameterFiles();
    SetMessageList(&messages);
    macroDir = MakeTempDir("macros");
    Folders::SetMacros(macroDir);
    workDir = MakeTempDir("programs");
  }
  void TearDown() override {
    parser.reset();
    Reset(ScratchDir() + "/params");
    SetMessageList(nullptr);
  }
  static void Reset(const std::string& params) {
    ResetParameterFilesForTest();
    Folders::SetParameters(params);
    ResetMachineStateForTest();
    GetMachineConfig() = MachineConfig();
    GetToolTable().Clear();
  }

  std::string Program(const std::string& name, const std::string& text) {
    WriteFile(workDir + "/" + name, text);
    return workDir + "/" + name;
  }
  void Macro(const std::string& name, const std::string& text) { WriteFile(macroDir + "/" + name, text); }
  static void AddTool(int n, double length = 0, double maxRpm = 0) {
    ToolRecord t;
    std::tie(t.numT, t.len1, t.maxRpm) = std::tuple(n, length, maxRpm);
    GetToolTable().Insert(t);
  }

  // A parser for `path` on `machine`, not yet run.
  Parser& Load(const std::string& path, std::unique_ptr<RecordingBackEnd> machine) {
    backEnd = std::move(machine);
    backEnd->FrontEnd::SetMachineState(&actState);
    parser = std::make_unique<Parser>(backEnd.get(), &actState);
    EXPECT_NE(0, parser->NewMainFile(path));
    return *parser;
  }
  int32_t RunFile(const std::string& path, int32_t kind = BACKEND_MACHINE) {
    return RunFileOn(std::make_unique<RecordingBackEnd>(kind), path);
  }
  int32_t RunFileOn(std::unique_ptr<RecordingBackEnd> machine, const std::string& path) {
    return Load(path, std::move(machine)).ExecuteProgram(false, 0);
  }
  // Runs "%" + body as a main program; returns runState. The messages are
  // those of this run alone.
  int32_t Run(const std::string& body, int32_t kind = BACKEND_MACHINE) {
    messages.lines.clear();
    return RunFile(Program("prog" + std::to_string(++count) + ".nc", "%\n" + body), kind);
  }

  int32_t Code() const { return parser->errorCode; }
  const std::string& Report() const { return parser->ErrorReportText(); }
  std::vector<RecordedLine> Lines() const { return backEnd->Lines(); }
  // One axis of the end points of the straight moves.
  std::vector<double> Xs(int axis = 0) const {
    std::vector<double> v;
    for (const auto& l : backEnd->Lines()) v.push_back(l.end[axis]);
    return v;
  }
  int CountCmd(char code, int num) const {
    int n = 0;
    for (const auto& c : backEnd->Cmds()) n += c.change.code == code && c.change.num == num;
    return n;
  }
  // The last command `code` numbered lo..hi; a failure when there is none.
  StateChange LastCmd(char code, int lo, int hi) const {
    const auto cmds = backEnd->Cmds();
    for (auto it = cmds.rbegin(); it != cmds.rend(); ++it)
      if (it->change.code == code && it->change.num >= lo && it->change.num <= hi) return it->change;
    ADD_FAILURE() << "no command " << code << lo << ".." << hi;
    return StateChange();
  }
  int IndexOfCall(const std::string& call) const {
    const auto calls = backEnd->Calls();
    const auto it = std::find(calls.begin(), calls.end(), call);
    return it == calls.end() ? -1 : static_cast<int>(it - calls.begin());
  }

  CapturedMessages messages;
  std::string macroDir, workDir;
  int count = 0;
  std::unique_ptr<RecordingBackEnd> backEnd;
  std::unique_ptr<Parser> parser;
};

}  // namespace testsupport
