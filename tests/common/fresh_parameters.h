// A fresh parameter folder and freshly reset process-wide machine state for
// every test, as if each test started a new process.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "folders.h"
#include "machineconfig.h"
#include "machinestate.h"
#include "parafile.h"
#include "surfacemapping.h"
#include "testsupport.h"
#include "tooltable.h"

namespace testsupport {

class FreshParametersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetParameterFilesForTest();
    paramDir = MakeTempDir("params");
    Folders::SetParameters(paramDir);
    ResetAll();
  }
  void TearDown() override {
    GetSurfaceMapping().Enable(false);
    GetSurfaceMapping().SetBoundaries(0, 0, 0, 0, 0, 0);
    ResetParameterFilesForTest();
    ResetAll();
    Folders::SetParameters(ScratchDir() + "/params");
  }
  std::string ParamPath(const std::string& name) const { return Folders::Join(paramDir, name); }

  std::string paramDir;

 private:
  static void ResetAll() {
    GetMachineConfig() = MachineConfig();
    GetToolTable().Clear();
    ResetMachineStateForTest();
  }
};

}  // namespace testsupport
