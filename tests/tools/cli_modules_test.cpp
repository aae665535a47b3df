// quorvane-cli modules on the veth lab: what an integrator sees first.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/netlab.h"
#include "common/testsupport.h"

namespace {

TEST(CliModulesTest, ListsEveryModuleOnTheWireWithItsIdentity) {
  std::unique_ptr<netlab::Lab> lab;
  try {
    lab = std::make_unique<netlab::Lab>();
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  netlab::ModSim sim(*lab, {"--mac", netlab::ModuleMacText(2), "--name", "Axis controller 4", "--hw", "Hw V2.1",
                            "--mac", netlab::ModuleMacText(1), "--name", "IO-Ext", "--sw", "Sw V1.31"});
  const std::string dir = testsupport::MakeTempDir("climodules");
  const auto r = testsupport::RunCommand(std::string(QUORVANE_CLI) + " modules --scan-ms 1200 2>" + dir + "/err.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.text,
            "#56000001\tIO-Ext\tHw V1.0\tSw V1.31\t02:51:56:00:00:01\tfree\tqvhost\n"
            "#56000002\tAxis controller 4\tHw V2.1\tSw V1.40\t02:51:56:00:00:02\tfree\tqvhost\n"
            "2 modules on 1 adapter\n");
  const std::string progress = testsupport::ReadFile(dir + "/err.txt");
  EXPECT_NE(progress.find("scan 1: 2 modules after "), std::string::npos) << progress;
  EXPECT_NE(progress.find("scan 2: 2 modules after "), std::string::npos) << "--scan-ms asks for a second scan";

  sim.Stop();
  const auto none = testsupport::RunCommand(std::string(QUORVANE_CLI) + " modules 2>/dev/null");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.text, "0 modules on 1 adapter\n");
}

}  // namespace
