// A fresh, open parameter folder and freshly reset process-wide machine state
// for every test, as if each test started a new process.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/folders.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "params/parafile.h"
#include "machine/surfacemapping.h"
#include "common/testsupport.h"
#include "machine/tooltable.h"

namespace testsupport {

class FreshParametersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreshParametersTest::TearDown();  // the same clean slate every test leaves behind
    Folders::SetParameters(paramDir = MakeTempDir("params"));
    OpenParameterFiles();
  }
  void TearDown() override {
    GetSurfaceMapping().SetBoundaries(0, 0, 0, 0, 0, 0);  // also switches it off
    ResetParameterFilesForTest();
    GetMachineConfig() = MachineConfig();
    GetToolTable().Clear();
    ResetMachineStateForTest();
    Folders::SetParameters(ScratchDir() + "/params");
  }
  std::string ParamPath(const std::string& name) const { return Folders::Join(paramDir, name); }

  std::string paramDir;
};

}  // namespace testsupport
