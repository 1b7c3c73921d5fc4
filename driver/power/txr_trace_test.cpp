// The driver's own provider as a session on the target sees it: which events a session's
// level and keywords let through, and the manifest that decodes them.
#include <gtest/gtest.h>

#include <set>

#include "booted_txr.h"
#include "etw/catalog.h"
#include "sim/providers.h"
#include "txr_events.h"
#include "txr_user_client.h"

namespace {

using txr_testing::BootedTxr;
using txr_testing::TxrEvents;

std::set<std::uint16_t> Ids(const std::vector<txr_testing::TxrEvent>& events) {
  std::set<std::uint16_t> ids;
  for (const auto& event : events) ids.insert(event.id);
  return ids;
}

TEST_F(BootedTxr, ASessionAtLevel2ReceivesOnlyErrors) {
  TxrEvents events(2);
  sim::TesseraDevice device = defaults();
  device.registry.erase(u"TXRVersion");  // one error on the way
  ASSERT_EQ(boot(device).status, 0);
  const auto received = events.events();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(Ids(received), std::set<std::uint16_t>{102});
  EXPECT_EQ(received.front().text(), "QLXDetermineHWVersion failed");
  EXPECT_EQ(received.front().status_after_text(), 0xC0000034u);  // the registry's answer
}

TEST_F(BootedTxr, ASessionWithKeyword0x200ReceivesEntryAndExitButNoD0Events) {
  TxrEvents events(5, 0x200);
  ASSERT_EQ(boot().status, 0);
  const auto ids = Ids(events.events());
  EXPECT_TRUE(ids.count(103));
  EXPECT_TRUE(ids.count(104));
  for (std::uint16_t d0 : {107, 108, 109, 110}) EXPECT_FALSE(ids.count(d0)) << d0;
  EXPECT_FALSE(ids.count(100));
}

TEST_F(BootedTxr, AnEverythingSessionSeesDeviceCreationD0AndTheResources) {
  TxrEvents events(0, ~0ull);
  ASSERT_EQ(boot().status, 0);
  const auto received = events.events();
  const auto ids = Ids(received);
  for (std::uint16_t id : {100, 103, 104, 105, 107, 108, 115}) EXPECT_TRUE(ids.count(id)) << id;
  std::vector<std::string> resources;
  for (const auto& event : received) {
    if (event.id != 115 || event.data.size() < 20) continue;
    txr_testing::TxrEvent name;  // Resource_Name follows the device pointer, address and size
    name.data.assign(event.data.begin() + 20, event.data.end());
    resources.push_back(name.text());
  }
  EXPECT_EQ(resources, (std::vector<std::string>{"CSR Address", "Io Base Address", "PT Base Address",
                                                  "FW Base Address"}));
}

TEST_F(BootedTxr, NothingIsWrittenWithoutASession) {
  ASSERT_EQ(boot().status, 0);
  TxrEvents later;  // enabled only after the driver started
  txr_testing::TxrUserClient client;
  ASSERT_EQ(client.open(), 0u);
  EXPECT_FALSE(later.texts_of(100).empty());  // the create is seen; nothing before it
  for (const auto& text : later.texts_of(100)) {
    EXPECT_EQ(text.find("Inside QLXCreateDevice"), std::string::npos);
  }
}

TEST(TxrManifest, InstallsAndDeclaresTheDriversEvents) {
  sim::reset();
  const etw::InstallResult result = sim::install_provider_manifest(TXR_MANIFEST_PATH);
  ASSERT_TRUE(result.ok()) << result.detail;
  const auto provider = etw::catalog().find_provider("Orvix-Tessera");
  ASSERT_NE(provider, nullptr);
  const auto error = etw::catalog().find_event(txr_testing::kTxrProvider, etw::EventKey{102, 1, 0});
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->event->message, "ERROR: %1. Status=%2.");
  const auto exit = etw::catalog().find_event(txr_testing::kTxrProvider, etw::EventKey{104, 1, 2});
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(exit->event->message, "Leaving function %1 with Status=%2.");
  sim::reset();
}

}  // namespace
