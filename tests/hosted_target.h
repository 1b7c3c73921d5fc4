// A fresh virtual target with Conduit hosted in this process, as the end-to-end tests drive
// it: the machine reset, the demo providers installed as conduit-target installs them, the
// session buffers large enough that a session loses no event on a busy machine, and the
// test's current directory the service's working directory (where the plain file sink and
// the manifest files write). Tests derive from it and add their own members after it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "demo_providers.h"
#include "sim/sim.h"
#include "testing/hosted_conduit.h"
#include "testing/log_file.h"

namespace conduit::testing {

class HostedTarget : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::set_etw_session_buffer(1024, 64);
    m_previous = std::filesystem::current_path();
    std::filesystem::current_path(sim::target_root());
    conduit::target::install_demo_providers(conduit::target::default_manifest_folder());
    m_service = std::make_unique<HostedConduit>();
    ASSERT_TRUE(m_service->Start()) << Log();
  }
  void TearDown() override {
    m_service.reset();
    std::filesystem::current_path(m_previous);
  }

  static std::string Log() { return LogFile(sim::target_root() / "ProgramData" / "Conduit_logs.txt").Read(); }

  std::filesystem::path m_previous;
  std::unique_ptr<HostedConduit> m_service;
};

}  // namespace conduit::testing
