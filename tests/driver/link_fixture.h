// The link on the veth lab: a network namespace of the test's own with soft
// modules (or a module the test plays itself) on the far end, the driver on
// the near one, and the driver's trace captured.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/logcapture.h"
#include "common/netlab.h"
#include "common/testsupport.h"
#include "driver/src/quorvdriver.h"
#include "driver/src/quorvinternal.h"

class LinkLab : public ::testing::Test {
 protected:
  // Without the rights for a namespace the test fails here, loudly.
  void SetUp() override {
    try {
      lab = std::make_unique<netlab::Lab>(withVeth);
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
  }
  void TearDown() override {
    driver.reset();  // first: its threads live in the lab
    peer.reset();
    sims.clear();
    lab.reset();
  }

  netlab::ModSim& StartModSim(const std::vector<std::string>& args) {
    sims.push_back(std::make_unique<netlab::ModSim>(*lab, args));
    return *sims.back();
  }
  QuorvDriver& StartDriver() {
    driver = std::make_unique<QuorvDriver>(log.Name());
    return *driver;
  }
  // The record file of module n.
  std::string Record(int n) { return dir + "/module" + std::to_string(n) + ".rec"; }
  // Module n with a record, executing everything as it arrives.
  std::vector<std::string> Module(int n, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--mac", netlab::ModuleMacText(n), "--rate", "0", "--record", Record(n)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // Scan, then open the first module found.
  uint32_t OpenFirst(bool quiet = true) {
    const uint32_t key = driver->FindFirstModule();
    EXPECT_NE(key, 0u) << "no module found";
    EXPECT_TRUE(driver->OpenModule(key, quiet));
    return key;
  }
  int32_t State(uint32_t key) {
    QuorvModuleRecord r{};
    return driver->GetModuleInfo(key, &r, sizeof r) ? r.state : -100;
  }
  QuorvErrorRecord TakeError(uint32_t key) {
    QuorvErrorRecord r{};
    driver->GetError(key, &r, sizeof r);
    return r;
  }
  // The connection of an open module (the test holds the driver alive).
  ModuleInfo* Connection(uint32_t key) {
    ModuleInfo* m = driver->Internal()->Pin(key);
    QuorvInternal::Unpin(m);
    return m;
  }
  template <typename Pred>
  static bool WaitUntil(Pred done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  static double SecondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  }

  bool withVeth = true;
  std::string dir = testsupport::MakeTempDir("link");
  std::unique_ptr<netlab::Lab> lab;
  std::vector<std::unique_ptr<netlab::ModSim>> sims;
  std::unique_ptr<netlab::RawPeer> peer;
  testsupport::DriverLogCapture log;
  std::unique_ptr<QuorvDriver> driver;
};
