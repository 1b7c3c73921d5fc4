// Client drivers of TXR: registration through the callback object, channel availability and
// allocation, refusals, and clients that arrive at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <type_traits>
#include <vector>

#include "booted_txr.h"
#include "mc_alloc.h"

namespace {

using txr_testing::BootedTxr;

constexpr NTSTATUS kInsufficientResources = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS kDriverInternalError = static_cast<NTSTATUS>(0xC0000183);

// A client driver as it would be written: a record of its own, a notification that keeps
// what TXR answered, registration by notifying the callback object.
struct ClientDriver {
  TXR_CLIENT_RECORD record{};  // first: see Notify
  TXR_CLIENT_CALLBACKS callbacks{};
  std::atomic<int> notified{0};
  std::atomic<ULONG> failed{~0u};

  explicit ClientDriver(const GUID& type, ULONG version = 1) {
    record.Version = version;
    record.Callbacks = &callbacks;
    record.ClientType = type;
    record.ClientHandle = this;
    callbacks.RegistrationNotify = &ClientDriver::Notify;
  }

  // The record is the client's first member: the notification finds its client from it,
  // whatever the record's handle says.
  static VOID Notify(PTXR_CLIENT_RECORD record, ULONG failedFlag) {
    auto* self = reinterpret_cast<ClientDriver*>(record);
    self->failed = failedFlag;
    ++self->notified;
  }

  NTSTATUS Register() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, TXR_XIF_CALLBACK_OBJECT_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    const NTSTATUS status = ExCreateCallback(&object, &attributes, FALSE, TRUE);
    if (!NT_SUCCESS(status)) return status;
    ExNotifyCallback(object, &record, nullptr);
    ObDereferenceObject(object);
    return STATUS_SUCCESS;
  }

  NTSTATUS Available(std::vector<UCHAR>& block) { return record.Requests->TxrRequestMCAvailable(&record, block.data()); }
  NTSTATUS Allocate(std::vector<UCHAR> request) { return record.Requests->TxrRequestMCAllocate(&record, request.data()); }
  const MCALLOC_CLIENT_NODE* Node() const {
    static_assert(std::is_standard_layout_v<ClientDriver>);
    PFDO_DATA fdoData = QLXFdoGetData(static_cast<WDFDEVICE>(record.Device));
    return MCAlloc_FindClientAllocInfo(record.ClientHandle,
                                       MCAlloc_FindClientType(&record.ClientType, fdoData->ClientTypes)->Clients);
  }
};

class ClientInterface : public BootedTxr {
 protected:
  void SetUp() override {
    BootedTxr::SetUp();
    ASSERT_EQ(boot().status, 0);
  }
};

TEST_F(ClientInterface, ATrustedClientIsRegisteredAndToldSo) {
  ClientDriver client(TXR_CLIENT_TYPE_1);
  ASSERT_EQ(client.Register(), STATUS_SUCCESS);
  EXPECT_EQ(client.notified, 1);
  EXPECT_EQ(client.failed, 0u);
  EXPECT_EQ(client.record.Registered, 1u);
  ASSERT_NE(client.record.Requests, nullptr);
  EXPECT_NE(client.record.Device, nullptr);
}

TEST_F(ClientInterface, AnInfoBlockTooSmallGetsTheSizeItNeeds) {
  ClientDriver client(TXR_CLIENT_TYPE_1);
  ASSERT_EQ(client.Register(), STATUS_SUCCESS);
  std::vector<UCHAR> block = {3, 0, 0};
  EXPECT_EQ(client.Available(block), kInsufficientResources);
  EXPECT_EQ(block[0], 5);
  std::vector<UCHAR> tiny = {2, 0};
  EXPECT_EQ(client.Available(tiny), kInsufficientResources);
  EXPECT_EQ(tiny[0], 2);

  std::vector<UCHAR> enough = {8, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(client.Available(enough), STATUS_SUCCESS);
  EXPECT_EQ(enough, (std::vector<UCHAR>{5, 3, 50, 50, 20, 0, 0, 0}));
}

TEST_F(ClientInterface, AllocationTakesChannelsOnceAndRefusesTheSameRequestAgain) {
  ClientDriver client(TXR_CLIENT_TYPE_1);
  ASSERT_EQ(client.Register(), STATUS_SUCCESS);
  ASSERT_EQ(client.Allocate({5, 0, 50, 35, 20}), STATUS_SUCCESS);
  const MCALLOC_CLIENT_NODE* node = client.Node();
  EXPECT_EQ(node->Pairs[0].Allocated, 50);
  EXPECT_EQ(node->Pairs[0].FirstChannel, 50);
  EXPECT_EQ(node->Pairs[1].Allocated, 35);
  EXPECT_EQ(node->Pairs[1].FirstChannel, 35);
  EXPECT_EQ(node->Pairs[2].Allocated, 20);
  EXPECT_EQ(node->Pairs[2].FirstChannel, 0);

  EXPECT_EQ(client.Allocate({5, 0, 50, 35, 20}), kDriverInternalError);
  std::vector<UCHAR> block = {5, 0, 0, 0, 0};
  ASSERT_EQ(client.Available(block), STATUS_SUCCESS);
  EXPECT_EQ(block, (std::vector<UCHAR>{5, 3, 0, 15, 0}));
}

TEST_F(ClientInterface, ARefusedAllocationChangesNothing) {
  ClientDriver client(TXR_CLIENT_TYPE_1);
  ASSERT_EQ(client.Register(), STATUS_SUCCESS);
  EXPECT_EQ(client.Allocate({5, 0, 10, 10, 21}), kDriverInternalError);  // block 2 holds 20
  EXPECT_EQ(client.Allocate({4, 0, 10, 10}), kInsufficientResources);   // not n + 2
  EXPECT_EQ(client.Allocate({6, 0, 10, 10, 10, 0}), kInsufficientResources);
  std::vector<UCHAR> block = {5, 0, 0, 0, 0};
  ASSERT_EQ(client.Available(block), STATUS_SUCCESS);
  EXPECT_EQ(block, (std::vector<UCHAR>{5, 3, 50, 50, 20}));
  // A second allocation by the same client takes further channels after the first.
  ASSERT_EQ(client.Allocate({5, 0, 10, 0, 0}), STATUS_SUCCESS);
  ASSERT_EQ(client.Allocate({5, 0, 5, 0, 0}), STATUS_SUCCESS);
  EXPECT_EQ(client.Node()->Pairs[0].FirstChannel, 60);
  EXPECT_EQ(client.Node()->Pairs[0].Allocated, 5);
}

TEST_F(ClientInterface, TheWriteRequestAnswersOnlyForChannelsTheClientHolds) {
  ClientDriver client(TXR_CLIENT_TYPE_2);
  ASSERT_EQ(client.Register(), STATUS_SUCCESS);
  ASSERT_EQ(client.Allocate({3, 0, 10}), STATUS_SUCCESS);
  USHORT result = 0xFFFF;
  const auto write = client.record.Requests->TxrRequestWriteTraceData;
  EXPECT_EQ(write(&client.record, nullptr, 0x1234, nullptr, 0, 10, &result), STATUS_SUCCESS);
  EXPECT_EQ(result, 0x1234);
  EXPECT_EQ(write(&client.record, nullptr, 0x1234, nullptr, 0, 11, &result), kDriverInternalError);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(write(&client.record, nullptr, 0x1234, nullptr, 1, 0, &result), kDriverInternalError);
  EXPECT_EQ(client.record.Requests->TxrClientNotifyStatus(&client.record, STATUS_SUCCESS), STATUS_SUCCESS);
}

TEST_F(ClientInterface, UntrustedDuplicateAndNewerClientsAreRefused) {
  const GUID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  ClientDriver stranger(unknown);
  ASSERT_EQ(stranger.Register(), STATUS_SUCCESS);
  EXPECT_EQ(stranger.notified, 1);
  EXPECT_EQ(stranger.failed, 1u);
  EXPECT_EQ(stranger.record.Registered, 0u);

  ClientDriver twice(TXR_CLIENT_TYPE_1);
  ASSERT_EQ(twice.Register(), STATUS_SUCCESS);
  EXPECT_EQ(twice.failed, 0u);
  ASSERT_EQ(twice.Register(), STATUS_SUCCESS);
  EXPECT_EQ(twice.notified, 2);
  EXPECT_EQ(twice.failed, 1u);

  ClientDriver newer(TXR_CLIENT_TYPE_1, 2);
  ASSERT_EQ(newer.Register(), STATUS_SUCCESS);
  EXPECT_EQ(newer.failed, 1u);
  EXPECT_EQ(newer.record.Registered, 0u);

  ClientDriver anonymous(TXR_CLIENT_TYPE_1);
  anonymous.record.ClientHandle = nullptr;
  ASSERT_EQ(anonymous.Register(), STATUS_SUCCESS);
  EXPECT_EQ(anonymous.failed, 1u);
  EXPECT_EQ(anonymous.record.Registered, 0u);

  ClientDriver deaf(TXR_CLIENT_TYPE_1);
  deaf.callbacks.RegistrationNotify = nullptr;  // nothing to tell it with: refused, untold
  ASSERT_EQ(deaf.Register(), STATUS_SUCCESS);
  EXPECT_EQ(deaf.notified, 0);
  EXPECT_EQ(deaf.record.Registered, 0u);
}

TEST_F(ClientInterface, ClientsRegisteringAndAllocatingAtOnceShareTheChannelsExactly) {
  constexpr int kClients = 8;
  std::vector<std::unique_ptr<ClientDriver>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<ClientDriver>(TXR_CLIENT_TYPE_2));
  std::atomic<int> granted{0};
  std::vector<std::thread> threads;
  for (auto& client : clients) {
    threads.emplace_back([&client, &granted] {
      if (client->Register() != STATUS_SUCCESS || client->failed != 0) return;
      // 8 clients × 15 channels against 100: six get theirs, two are refused.
      if (client->Allocate({3, 0, 15}) == STATUS_SUCCESS) ++granted;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(granted, 6);
  std::vector<UCHAR> block = {3, 0, 0};
  ASSERT_EQ(clients[0]->Available(block), STATUS_SUCCESS);
  EXPECT_EQ(block[2], 10);
}

}  // namespace
