#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"
#include "winsock2.h"
#include "ws2tcpip.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace {

sockaddr_in address_of(const char* text, USHORT port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  EXPECT_EQ(inet_pton(AF_INET, text, &address.sin_addr), 1);
  return address;
}

USHORT local_port(SOCKET s) {
  sockaddr_in local{};
  int length = sizeof(local);
  EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&local), &length), 0);
  return ntohs(local.sin_port);
}

// A listener on 127.0.0.1 with a port the kernel picked, so runs never collide.
SOCKET open_listener(USHORT& port) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_NE(listener, INVALID_SOCKET);
  sockaddr_in address = address_of("127.0.0.1", 0);
  EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  EXPECT_EQ(listen(listener, SOMAXCONN), 0);
  port = local_port(listener);
  return listener;
}

SOCKET connect_from(const char* source, USHORT port) {
  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_NE(client, INVALID_SOCKET);
  sockaddr_in from = address_of(source, 0);
  EXPECT_EQ(bind(client, reinterpret_cast<sockaddr*>(&from), sizeof(from)), 0);
  sockaddr_in to = address_of("127.0.0.1", port);
  EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0) << WSAGetLastError();
  return client;
}

// Waits until the thread is asleep in the kernel, which is where a blocking accept waits.
void wait_until_sleeping(pid_t thread_id) {
  std::string path = "/proc/self/task/" + std::to_string(thread_id) + "/stat";
  for (;;) {
    std::ifstream stat(path);
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto end_of_name = text.rfind(')');
    if (end_of_name != std::string::npos && end_of_name + 2 < text.size() && text[end_of_name + 2] == 'S') return;
    std::this_thread::yield();
  }
}

class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { sim::reset(); }
};

struct ConditionRecord {
  sockaddr_in caller{};
  sockaddr_in callee{};
  ULONG caller_length = 0;
  bool caller_data_null = false;
  DWORD_PTR callback_data = 0;
  int verdict = CF_ACCEPT;
};

int CALLBACK RecordingCondition(LPWSABUF callerId, LPWSABUF callerData, LPQOS, LPQOS, LPWSABUF calleeId, LPWSABUF,
                                GROUP*, DWORD_PTR callbackData) {
  auto* record = reinterpret_cast<ConditionRecord*>(callbackData);
  record->caller_length = callerId->len;
  std::memcpy(&record->caller, callerId->buf, sizeof(sockaddr_in));
  std::memcpy(&record->callee, calleeId->buf, sizeof(sockaddr_in));
  record->caller_data_null = callerData == nullptr;
  record->callback_data = callbackData;
  return record->verdict;
}

TEST_F(WinsockTest, StartupNegotiatesVersionAndCountsCleanups) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);
  EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
  EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
  EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), WSAVERNOTSUPPORTED);
  EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), nullptr), WSAEFAULT);

  // Three successful startups (one in SetUp): three cleanups, and the fourth finds none.
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST_F(WinsockTest, CallsBeforeStartupFailWithNotInitialised) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_EQ(WSACleanup(), 0);

  // The last cleanup closed the socket left open.
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  ASSERT_EQ(WSACleanup(), 0);

  EXPECT_EQ(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  addrinfo* result = nullptr;
  EXPECT_EQ(getaddrinfo(nullptr, "20950", nullptr, &result), WSANOTINITIALISED);
  EXPECT_EQ(result, nullptr);
}

TEST_F(WinsockTest, LoopbackRoundTrip) {
  USHORT port = 0;
  SOCKET listener = open_listener(port);
  SOCKET client = connect_from("127.0.0.1", port);

  sockaddr_in peer{};
  int peer_length = sizeof(peer);
  SOCKET server = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_length);
  ASSERT_NE(server, INVALID_SOCKET);
  EXPECT_EQ(peer_length, static_cast<int>(sizeof(sockaddr_in)));
  EXPECT_EQ(peer.sin_addr.S_un.S_un_b.s_b1, 127);
  EXPECT_EQ(ntohs(peer.sin_port), local_port(client));

  ASSERT_EQ(send(client, "ping", 4, 0), 4);
  char buffer[16] = {};
  ASSERT_EQ(recv(server, buffer, sizeof(buffer), 0), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");

  // A large reply arrives whole: send does not stop short on a blocking socket.
  std::vector<char> reply(1 << 20);
  for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<char>(i * 7);
  std::vector<char> received(reply.size());
  auto reader = std::async(std::launch::async, [&] {
    return recv(client, received.data(), static_cast<int>(received.size()), MSG_WAITALL);
  });
  EXPECT_EQ(send(server, reply.data(), static_cast<int>(reply.size()), 0), static_cast<int>(reply.size()));
  EXPECT_EQ(reader.get(), static_cast<int>(reply.size()));
  EXPECT_EQ(received, reply);

  // An orderly close reads as zero bytes.
  ASSERT_EQ(shutdown(client, SD_SEND), 0);
  EXPECT_EQ(recv(server, buffer, sizeof(buffer), 0), 0);
  EXPECT_EQ(closesocket(server), 0);
  EXPECT_EQ(closesocket(client), 0);
  EXPECT_EQ(closesocket(listener), 0);
}

TEST_F(WinsockTest, ConditionFunctionSeesPeerAndLocalAddress) {
  USHORT port = 0;
  SOCKET listener = open_listener(port);
  SOCKET client = connect_from("127.0.0.2", port);

  ConditionRecord record;
  sockaddr_in peer{};
  int peer_length = sizeof(peer);
  SOCKET server = WSAAccept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_length, &RecordingCondition,
                            reinterpret_cast<DWORD_PTR>(&record));
  ASSERT_NE(server, INVALID_SOCKET);
  EXPECT_EQ(record.caller_length, sizeof(sockaddr_in));
  EXPECT_EQ(record.caller.sin_family, AF_INET);
  const auto& octets = record.caller.sin_addr.S_un.S_un_b;
  EXPECT_EQ(octets.s_b1, 127);
  EXPECT_EQ(octets.s_b2, 0);
  EXPECT_EQ(octets.s_b3, 0);
  EXPECT_EQ(octets.s_b4, 2);
  EXPECT_EQ(ntohs(record.caller.sin_port), local_port(client));
  EXPECT_EQ(ntohs(record.callee.sin_port), port);
  EXPECT_TRUE(record.caller_data_null);
  EXPECT_EQ(record.callback_data, reinterpret_cast<DWORD_PTR>(&record));
  EXPECT_EQ(peer.sin_addr.S_un.S_addr, record.caller.sin_addr.S_un.S_addr);
}

TEST_F(WinsockTest, RejectedPeerIsResetAndAcceptAnswersConnectionRefused) {
  USHORT port = 0;
  SOCKET listener = open_listener(port);
  SOCKET refused = connect_from("127.0.0.2", port);

  ConditionRecord record;
  record.verdict = CF_REJECT;
  EXPECT_EQ(WSAAccept(listener, nullptr, nullptr, &RecordingCondition, reinterpret_cast<DWORD_PTR>(&record)),
            INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  char byte = 0;
  EXPECT_EQ(recv(refused, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);

  // The listener goes on accepting.
  SOCKET admitted = connect_from("127.0.0.1", port);
  record.verdict = CF_ACCEPT;
  SOCKET server = WSAAccept(listener, nullptr, nullptr, &RecordingCondition, reinterpret_cast<DWORD_PTR>(&record));
  ASSERT_NE(server, INVALID_SOCKET);
  ASSERT_EQ(send(admitted, "x", 1, 0), 1);
  EXPECT_EQ(recv(server, &byte, 1, 0), 1);
}

TEST_F(WinsockTest, ClosingListenerWakesAcceptBlockedOnAnotherThread) {
  USHORT port = 0;
  SOCKET listener = open_listener(port);
  std::promise<pid_t> accepting;
  auto accepted = std::async(std::launch::async, [&] {
    accepting.set_value(static_cast<pid_t>(::syscall(SYS_gettid)));
    SOCKET result = WSAAccept(listener, nullptr, nullptr, nullptr, 0);
    return std::make_pair(result, WSAGetLastError());
  });
  wait_until_sleeping(accepting.get_future().get());

  EXPECT_EQ(closesocket(listener), 0);
  auto [result, error] = accepted.get();
  EXPECT_EQ(result, INVALID_SOCKET);
  EXPECT_EQ(error, WSAEINTR);
  // The port is free again once the socket is closed.
  SOCKET again = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = address_of("127.0.0.1", port);
  EXPECT_EQ(bind(again, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
}

TEST_F(WinsockTest, PollReportsPendingDataAndUnknownHandles) {
  USHORT port = 0;
  SOCKET listener = open_listener(port);
  SOCKET client = connect_from("127.0.0.1", port);
  SOCKET server = accept(listener, nullptr, nullptr);
  ASSERT_NE(server, INVALID_SOCKET);

  WSAPOLLFD slot{server, POLLRDNORM, 0};
  EXPECT_EQ(WSAPoll(&slot, 1, 0), 0);
  EXPECT_EQ(slot.revents, 0);
  ASSERT_EQ(send(client, "x", 1, 0), 1);
  EXPECT_EQ(WSAPoll(&slot, 1, -1), 1);
  EXPECT_EQ(slot.revents, POLLRDNORM);

  WSAPOLLFD slots[2] = {{server, POLLRDNORM, 0}, {0x7ffffff0, POLLRDNORM, 0}};
  EXPECT_EQ(WSAPoll(slots, 2, -1), 2);
  EXPECT_EQ(slots[1].revents, POLLNVAL);
  slot.events = 0x4000;
  EXPECT_EQ(WSAPoll(&slot, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(WinsockTest, ReportsWindowsErrorCodes) {
  USHORT port = 0;
  SOCKET listener = open_listener(port);

  SOCKET second = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in taken = address_of("127.0.0.1", port);
  EXPECT_EQ(bind(second, reinterpret_cast<sockaddr*>(&taken), sizeof(taken)), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
  EXPECT_EQ(listen(second, SOMAXCONN), SOCKET_ERROR);  // never bound
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(bind(second, nullptr, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(shutdown(listener, SD_SEND), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
  EXPECT_EQ(shutdown(second, 7), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(socket(23, SOCK_STREAM, IPPROTO_TCP), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);

  EXPECT_EQ(closesocket(second), 0);
  EXPECT_EQ(closesocket(second), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(send(second, "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

  SOCKET client = connect_from("127.0.0.1", port);
  SOCKET server = accept(listener, nullptr, nullptr);
  ASSERT_NE(server, INVALID_SOCKET);
  ASSERT_EQ(shutdown(client, SD_BOTH), 0);
  char byte = 0;
  EXPECT_EQ(send(client, "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
  EXPECT_EQ(recv(client, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
  EXPECT_EQ(recv(listener, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);

  // Nobody listens on the port once the listener has gone.
  EXPECT_EQ(closesocket(listener), 0);
  SOCKET late = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in to = address_of("127.0.0.1", port);
  EXPECT_EQ(connect(late, reinterpret_cast<sockaddr*>(&to), sizeof(to)), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);

  // The last error belongs to the thread that set it.
  WSASetLastError(WSAETIMEDOUT);
  std::thread([] { EXPECT_EQ(WSAGetLastError(), 0); }).join();
  EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
}

TEST_F(WinsockTest, GetaddrinfoResolvesPassiveAndNumericAddresses) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* result = nullptr;
  ASSERT_EQ(getaddrinfo(nullptr, "20950", &hints, &result), 0);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->ai_family, AF_INET);
  EXPECT_EQ(result->ai_socktype, SOCK_STREAM);
  EXPECT_EQ(result->ai_protocol, IPPROTO_TCP);
  ASSERT_EQ(result->ai_addrlen, sizeof(sockaddr_in));
  const auto* address = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  EXPECT_EQ(address->sin_addr.S_un.S_addr, INADDR_ANY);
  EXPECT_EQ(ntohs(address->sin_port), 20950);
  freeaddrinfo(result);

  hints.ai_flags = AI_NUMERICHOST;
  ASSERT_EQ(getaddrinfo("169.254.1.2", "80", &hints, &result), 0);
  const auto& octets = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.S_un.S_un_b;
  EXPECT_EQ(octets.s_b1, 169);
  EXPECT_EQ(octets.s_b4, 2);
  freeaddrinfo(result);

  EXPECT_EQ(getaddrinfo("not-an-address", "80", &hints, &result), WSAHOST_NOT_FOUND);
  EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
  hints.ai_flags = AI_PASSIVE;
  EXPECT_EQ(getaddrinfo(nullptr, "no-such-service-name", &hints, &result), WSATYPE_NOT_FOUND);
  hints.ai_family = 23;
  EXPECT_EQ(getaddrinfo(nullptr, "80", &hints, &result), WSAEAFNOSUPPORT);
  EXPECT_EQ(result, nullptr);
}

TEST_F(WinsockTest, InetPtonParsesDottedQuads) {
  in_addr address{};
  EXPECT_EQ(inet_pton(AF_INET, "192.168.0.5", &address), 1);
  EXPECT_EQ(address.S_un.S_un_b.s_b1, 192);
  EXPECT_EQ(address.S_un.S_un_b.s_b4, 5);
  EXPECT_EQ(address.s_addr, htonl(0xC0A80005));
  EXPECT_EQ(inet_pton(AF_INET, "192.168.0", &address), 0);
  EXPECT_EQ(inet_pton(23, "::1", &address), -1);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
}

TEST_F(WinsockTest, InjectedFaultsFailWithTheArmedCode) {
  sim::fail_next("WSAStartup", 1, WSASYSNOTREADY);
  WSADATA data;
  EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), WSASYSNOTREADY);

  sim::fail_next("getaddrinfo", 1, WSATRY_AGAIN);
  addrinfo* result = nullptr;
  EXPECT_EQ(getaddrinfo(nullptr, "80", nullptr, &result), WSATRY_AGAIN);

  sim::fail_next("socket", 1, WSAEMFILE);
  EXPECT_EQ(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEMFILE);

  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = address_of("127.0.0.1", 0);
  sim::fail_next("bind", 1, WSAEACCES);
  EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEACCES);
  EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

  sim::fail_next("listen", 1, WSAENETDOWN);
  EXPECT_EQ(listen(s, SOMAXCONN), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENETDOWN);
  ASSERT_EQ(listen(s, SOMAXCONN), 0);

  sim::fail_next("WSAAccept", 1, WSAECONNABORTED);
  EXPECT_EQ(WSAAccept(s, nullptr, nullptr, nullptr, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAECONNABORTED);

  sim::fail_next("closesocket", 1, WSAENETDOWN);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(closesocket(s), 0);

  // The one startup of SetUp still stands: the failed one was not counted.
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
}

}  // namespace
