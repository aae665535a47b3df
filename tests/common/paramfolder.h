// Fixture and log capture for tests that work on parameter files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <wx/log.h>

#include "base/folders.h"
#include "params/parafile.h"
#include "common/testsupport.h"

namespace testsupport {

// Collects wx log lines while it lives.
class WxLogCapture : public wxLog {
 public:
  WxLogCapture() : old_(wxLog::SetActiveTarget(this)) {}
  ~WxLogCapture() override { wxLog::SetActiveTarget(old_); }
  bool Saw(const std::string& text) const {
    for (const auto& l : lines_)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

 protected:
  void DoLogRecord(wxLogLevel, const wxString& msg, const wxLogRecordInfo&) override {
    lines_.push_back(msg.utf8_string());
  }

 private:
  wxLog* old_;
  std::vector<std::string> lines_;
};

// Each test runs like a fresh process on its own empty parameter folder.
class ParamFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetParameterFilesForTest();
    dir = MakeTempDir("params");
    Folders::SetParameters(dir);
  }
  void TearDown() override {
    ResetParameterFilesForTest();
    Folders::SetParameters(ScratchDir() + "/params");
  }
  std::string Path(const std::string& name) const { return Folders::Join(dir, name); }
  void Write(const std::string& name, const std::string& content) const { WriteFile(Path(name), content); }
  std::string Read(const std::string& name) const { return ReadFile(Path(name)); }
  // Opens name after writing content into it.
  void OpenWith(ParaFile& f, const std::string& name, const std::string& content) const {
    Write(name, content);
    ASSERT_TRUE(f.Open(name));
  }
  // The folder of the delivered default set.
  const std::string delivered = std::string(QUORVANE_SOURCE_DIR) + "/examples/params/";
  std::string dir;
};

}  // namespace testsupport
