#include "server_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"
#include "stop_flag.h"
#include "testing/free_port.h"
#include "testing/log_file.h"
#include "winsock2.h"
#include "ws2tcpip.h"

namespace {

sockaddr_in address_of(const char* text, USHORT port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, text, &address.sin_addr);
  return address;
}

// Polls for something another thread makes true; bounded so that a fault fails the test
// instead of hanging it.
template <typename Condition>
bool eventually(Condition condition) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

// One host-tool connection from a chosen loopback address.
class Client {
 public:
  Client(USHORT port, const char* source = "127.0.0.1") {
    // The accept thread may still be setting up: a refused connect is tried again.
    connected_ = eventually([&] {
      if (socket_ != INVALID_SOCKET) closesocket(socket_);
      socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
      sockaddr_in from = address_of(source, 0);
      sockaddr_in to = address_of("127.0.0.1", port);
      return bind(socket_, reinterpret_cast<sockaddr*>(&from), sizeof(from)) == 0 &&
             connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
    });
  }
  ~Client() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  SOCKET handle() const { return socket_; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0), static_cast<int>(bytes.size()));
  }
  // Everything up to `length` bytes or the end of the connection.
  std::string Receive(std::size_t length) {
    std::string bytes(length, '\0');
    int received = recv(socket_, bytes.data(), static_cast<int>(length), MSG_WAITALL);
    bytes.resize(received > 0 ? static_cast<std::size_t>(received) : 0);
    return bytes;
  }
  int ReceiveResult() {
    char byte = 0;
    return recv(socket_, &byte, 1, 0);
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  bool connected_ = false;
};

// What the handler saw; shared with the handler so that it outlives any client thread.
struct Calls {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> requests;
  std::vector<std::thread::id> threads;

  void Record(const char* data, int length) {
    std::lock_guard lock(mutex);
    requests.emplace_back(data, static_cast<std::size_t>(length));
    threads.push_back(std::this_thread::get_id());
    changed.notify_all();
  }
  std::size_t Count() {
    std::lock_guard lock(mutex);
    return requests.size();
  }
  // A copy: client threads may still be appending.
  std::vector<std::string> Requests() {
    std::lock_guard lock(mutex);
    return requests;
  }
};

// Answers "reply:" and the request; throws on the empty receive after the peer's close, as
// the dispatcher does when the envelope cannot be decoded.
ServerSocket::RequestHandler EchoHandler(std::shared_ptr<Calls> calls) {
  return [calls](SOCKET connection, const char* data, int length) {
    calls->Record(data, length);
    if (length == 0) throw std::runtime_error("Reading from Stream Failed");
    std::string reply = "reply:" + std::string(data, static_cast<std::size_t>(length));
    ServerSocket::writeClientData(connection, reply.data(), static_cast<int>(reply.size()));
  };
}

// A request as a host tool frames it: the 12-byte header, a parameter stream of
// `parameterBytes` bytes and an empty result stream.
std::string Envelope(std::size_t parameterBytes) {
  auto u32 = [](std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    return bytes;
  };
  std::string parameters(parameterBytes, '\0');
  for (std::size_t i = 0; i < parameters.size(); ++i) parameters[i] = static_cast<char>('a' + i % 26);
  return u32(0) + u32(11) + u32(1) + u32(static_cast<std::uint32_t>(parameterBytes)) + parameters + u32(0);
}

class ServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    // The server reads its own configuration: give it one next to the "executable".
    sim::set_module_path(sim::target_root() / "Conduit.exe");
    std::ofstream(sim::target_root() / "Conduit.exe.config")
        << "<configuration><appSettings><add key=\"LogLevel\" value=\"0\"/></appSettings></configuration>\n";
    log_ = std::make_unique<LogFile>();
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    port_ = conduit::testing::FreeServicePort();
  }

  void StartServer(ServerSocket::RequestHandler handler) {
    server_ = std::make_unique<ServerSocket>();
    server_->SetPortNumber(std::to_string(port_));
    server_->SetRequestHandler(std::move(handler));
    server_->Listen();
  }

  bool LogEventuallyContains(const std::string& line, std::size_t count = 1) {
    return eventually([&] { return log_->Count(line) >= count; });
  }

  std::unique_ptr<LogFile> log_;
  USHORT port_ = 0;
  std::shared_ptr<Calls> calls_ = std::make_shared<Calls>();
  std::unique_ptr<ServerSocket> server_;
};

TEST_F(ServerSocketTest, RequestReachesHandlerAndItsResponseComesBack) {
  StartServer(EchoHandler(calls_));
  Client client(port_);
  ASSERT_TRUE(client.connected());

  client.Send("hello");
  EXPECT_EQ(client.Receive(11), "reply:hello");
  client.Send("again");
  EXPECT_EQ(client.Receive(11), "reply:again");
  ASSERT_EQ(calls_->Count(), 2u);
  EXPECT_EQ(calls_->Requests()[0], "hello");

  EXPECT_TRUE(log_->Contains("INFO # Exiting ServerSocket::SetPortNumber with portNumber " + std::to_string(port_)));
  EXPECT_TRUE(log_->Contains("INFO # ServerSocket::_Listen # Accepted a connection"));
  EXPECT_TRUE(log_->Contains("INFO # Bytes received: 5\n"));
  EXPECT_TRUE(log_->Contains("INFO # send data 11: \n"));
}

TEST_F(ServerSocketTest, AdmissionRuleAdmitsLinkLocalAndExactLoopbackOnly) {
  EXPECT_TRUE(ServerSocket::IsPeerAdmitted(address_of("127.0.0.1", 0)));
  EXPECT_TRUE(ServerSocket::IsPeerAdmitted(address_of("169.254.1.2", 0)));
  EXPECT_TRUE(ServerSocket::IsPeerAdmitted(address_of("169.0.0.0", 0)));
  EXPECT_FALSE(ServerSocket::IsPeerAdmitted(address_of("127.0.0.2", 0)));
  EXPECT_FALSE(ServerSocket::IsPeerAdmitted(address_of("127.1.0.1", 0)));
  EXPECT_FALSE(ServerSocket::IsPeerAdmitted(address_of("192.168.0.5", 0)));
  EXPECT_FALSE(ServerSocket::IsPeerAdmitted(address_of("170.254.1.2", 0)));
  EXPECT_FALSE(ServerSocket::IsPeerAdmitted(address_of("0.0.0.0", 0)));
}

TEST_F(ServerSocketTest, RefusesOtherPeersWithAWarningAndGoesOnAccepting) {
  const std::string denied = "Client Connection is denied from IP : 127.0.0.2";
  const std::string acceptFailed = "ERROR # accept socket failed with error: 10061\n";
  StartServer(EchoHandler(calls_));

  // At threshold 3 the denial is dropped while the accept failure is not: it is a warning.
  SetLogLevel("3");
  {
    Client refused(port_, "127.0.0.2");
    ASSERT_TRUE(refused.connected());
    EXPECT_EQ(refused.ReceiveResult(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    ASSERT_TRUE(LogEventuallyContains(acceptFailed));
    EXPECT_FALSE(log_->Contains(denied));
  }
  SetLogLevel("2");
  {
    Client refused(port_, "127.0.0.2");
    ASSERT_TRUE(LogEventuallyContains(acceptFailed, 2));
    EXPECT_EQ(log_->Count(denied), 1u);
  }

  Client admitted(port_, "127.0.0.1");
  admitted.Send("ok");
  EXPECT_EQ(admitted.Receive(8), "reply:ok");
  EXPECT_EQ(calls_->Count(), 1u);
}

TEST_F(ServerSocketTest, ServesTwoClientsAtOnceOnTwoThreads) {
  struct Meeting {
    bool secondArrived = false;
    bool firstSawSecond = false;
  };
  auto meeting = std::make_shared<Meeting>();
  auto calls = calls_;
  StartServer([calls, meeting](SOCKET connection, const char* data, int length) {
    if (length == 0) throw std::runtime_error("Reading from Stream Failed");
    calls->Record(data, length);
    std::string request(data, static_cast<std::size_t>(length));
    {
      std::unique_lock lock(calls->mutex);
      if (request == "first") {
        // Holds this connection until the other one has been served as well.
        meeting->firstSawSecond =
            calls->changed.wait_for(lock, std::chrono::seconds(20), [&] { return meeting->secondArrived; });
      } else {
        meeting->secondArrived = true;
        calls->changed.notify_all();
      }
    }
    ServerSocket::writeClientData(connection, request.data(), length);
  });

  Client first(port_);
  Client second(port_);
  first.Send("first");
  ASSERT_TRUE(eventually([&] { return calls_->Count() == 1; }));
  second.Send("second");
  EXPECT_EQ(second.Receive(6), "second");
  EXPECT_EQ(first.Receive(5), "first");
  EXPECT_TRUE(meeting->firstSawSecond);
  std::lock_guard lock(calls_->mutex);
  ASSERT_EQ(calls_->threads.size(), 2u);
  EXPECT_NE(calls_->threads[0], calls_->threads[1]);
}

// An answer that cannot be sent ends the connection: the peer learns it at once rather than
// waiting out its time-out for an answer that never comes.
TEST_F(ServerSocketTest, AnAnswerThatCannotBeSentEndsTheConnection) {
  StartServer(EchoHandler(calls_));
  Client client(port_);
  ASSERT_TRUE(client.connected());
  sim::fail_nth("send", 2, WSAECONNRESET);  // the client's request goes, the service's answer fails
  client.Send(Envelope(8));
  // Bounded: a service that keeps the connection open would leave the receive waiting.
  WSAPOLLFD readable{client.handle(), POLLRDNORM, 0};
  ASSERT_EQ(WSAPoll(&readable, 1, 5000), 1) << "the connection stayed open and silent";
  EXPECT_EQ(client.ReceiveResult(), 0);  // an orderly end, not an answer
  ASSERT_TRUE(LogEventuallyContains("ERROR # send failed with error: 10054\n"));
}

TEST_F(ServerSocketTest, HandsAFullBufferRequestOverInOneCall) {
  StartServer(EchoHandler(calls_));
  Client client(port_);
  const std::string request = Envelope(ServerSocket::kReceiveBufferSize - 20);
  ASSERT_EQ(request.size(), 102400u);

  client.Send(request);
  std::string reply = client.Receive(request.size() + 6);
  ASSERT_EQ(calls_->Count(), 1u);
  EXPECT_EQ(calls_->Requests()[0], request);
  EXPECT_EQ(reply, "reply:" + request);
}

TEST_F(ServerSocketTest, RequestArrivingInTwoPiecesIsHandedOverWhole) {
  StartServer(EchoHandler(calls_));
  Client client(port_);
  const std::string request = Envelope(1000);

  client.Send(request.substr(0, 600));
  ASSERT_TRUE(LogEventuallyContains("INFO # Bytes received: 600\n"));
  client.Send(request.substr(600));
  EXPECT_EQ(client.Receive(request.size() + 6), "reply:" + request);
  ASSERT_EQ(calls_->Count(), 1u);
  EXPECT_EQ(calls_->Requests()[0], request);
}

TEST_F(ServerSocketTest, RequestSplitInsideItsHeadIsHandedOverWhole) {
  StartServer(EchoHandler(calls_));
  Client client(port_);
  const std::string request = Envelope(40);

  client.Send(request.substr(0, 10));
  ASSERT_TRUE(LogEventuallyContains("INFO # Bytes received: 10\n"));
  client.Send(request.substr(10));
  EXPECT_EQ(client.Receive(request.size() + 6), "reply:" + request);
  ASSERT_EQ(calls_->Count(), 1u);
  EXPECT_EQ(calls_->Requests()[0], request);
}

TEST_F(ServerSocketTest, TruncatedOrForeignRequestsAreHandedOverAsReceived) {
  StartServer(EchoHandler(calls_));
  Client client(port_);
  // Ends after its parameters, without the length of the result stream.
  const std::string truncated = Envelope(8).substr(0, 24);
  client.Send(truncated);
  EXPECT_EQ(client.Receive(truncated.size() + 6), "reply:" + truncated);
  // Shorter than any request, or declaring more than a receive can hold.
  client.Send("hello");
  EXPECT_EQ(client.Receive(11), "reply:hello");
  std::string oversized = Envelope(8);
  oversized[14] = '\x7f';
  client.Send(oversized);
  EXPECT_EQ(client.Receive(oversized.size() + 6), "reply:" + oversized);
  EXPECT_EQ(calls_->Count(), 3u);
}

TEST_F(ServerSocketTest, PeerCloseReachesHandlerAsEmptyRequestAndEndsTheConnection) {
  StartServer(EchoHandler(calls_));
  Client client(port_);
  client.Send("one");
  EXPECT_EQ(client.Receive(9), "reply:one");

  ASSERT_EQ(shutdown(client.handle(), SD_SEND), 0);
  // The server closes its end: the next receive sees the orderly end.
  EXPECT_EQ(client.ReceiveResult(), 0);
  ASSERT_TRUE(LogEventuallyContains(
      "STANDARD EXCEPTION Fn: ServerSocket::ClientSockProcessThread : Exception: Reading from Stream Failed"));
  ASSERT_EQ(calls_->Count(), 2u);
  EXPECT_EQ(calls_->Requests()[1], "");
}

TEST_F(ServerSocketTest, HandlerThatAcceptsTheEmptyRequestStillEndsTheConnection) {
  auto calls = calls_;
  StartServer([calls](SOCKET, const char* data, int length) { calls->Record(data, length); });
  Client client(port_);
  ASSERT_TRUE(client.connected());
  ASSERT_EQ(shutdown(client.handle(), SD_SEND), 0);

  EXPECT_EQ(client.ReceiveResult(), 0);
  ASSERT_TRUE(LogEventuallyContains("DEBUG #  Exiting function ServerSocket::ClientSockProcessThread"));
  EXPECT_EQ(calls_->Count(), 1u);
}

TEST_F(ServerSocketTest, ShutDownEndsTheAcceptLoopAndFreesThePort) {
  StartServer(EchoHandler(calls_));
  {
    Client client(port_);
    client.Send("x");
    EXPECT_EQ(client.Receive(7), "reply:x");
  }

  server_->shutDown();
  EXPECT_TRUE(ServiceStopRequested().load());
  ASSERT_TRUE(LogEventuallyContains("DEBUG #  Exiting function ServerSocket::_Listen"));
  SOCKET late = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in to = address_of("127.0.0.1", port_);
  EXPECT_EQ(connect(late, reinterpret_cast<sockaddr*>(&to), sizeof(to)), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  closesocket(late);

  // Nothing is left for the destructor to stop.
  server_.reset();
  EXPECT_FALSE(log_->Contains("where SocketId other than 0"));
}

TEST_F(ServerSocketTest, DestructorStopsAListeningServerAndWaitsForItsAcceptThread) {
  StartServer(EchoHandler(calls_));
  {
    Client client(port_);
    ASSERT_TRUE(client.connected());
  }
  server_.reset();

  const std::string log = log_->Read();
  EXPECT_NE(log.find("ERROR # Entering ServerSocket::~ServerSocket where SocketId other than 0"), std::string::npos);
  EXPECT_NE(log.find("DEBUG #  Exiting function ServerSocket::_Listen"), std::string::npos);
  // The accept thread's own startup was cleaned up once: only this test's startup remains.
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
}

TEST_F(ServerSocketTest, SetUpFailuresAreLoggedAndLeaveNoListener) {
  struct Case {
    const char* function;
    DWORD code;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"WSAStartup", WSASYSNOTREADY, "ERROR # ServerSocket::_Listen() # WSAStartup failed with error: 10091\n"},
      {"getaddrinfo", WSAHOST_NOT_FOUND, "ERROR # getaddrinfo failed with error: 11001\n"},
      {"socket", WSAEMFILE, "ERROR # socket failed with error: 10024\n"},
      {"bind", WSAEADDRINUSE, "ERROR # bind failed with error: 10048\n"},
      {"listen", WSAENETDOWN, "ERROR # listen failed with error: 10050\n"},
  };
  for (const auto& failure : cases) {
    SCOPED_TRACE(failure.function);
    sim::fail_next(failure.function, 1, failure.code);
    StartServer(EchoHandler(calls_));
    ASSERT_TRUE(LogEventuallyContains(failure.line));
    server_.reset();

    SOCKET late = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to = address_of("127.0.0.1", port_);
    EXPECT_EQ(connect(late, reinterpret_cast<sockaddr*>(&to), sizeof(to)), SOCKET_ERROR);
    closesocket(late);
  }
  EXPECT_FALSE(log_->Contains("where SocketId other than 0"));
  // Every failed set-up undid its own startup.
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
}

TEST_F(ServerSocketTest, FailedAcceptIsLoggedAndTheLoopGoesOn) {
  sim::fail_next("WSAAccept", 1, WSAECONNABORTED);
  StartServer(EchoHandler(calls_));
  Client client(port_);
  client.Send("after");
  EXPECT_EQ(client.Receive(11), "reply:after");
  EXPECT_TRUE(log_->Contains("ERROR # accept socket failed with error: 10053\n"));
}

TEST_F(ServerSocketTest, IoHelpersReportFailures) {
  char buffer[4];
  EXPECT_EQ(ServerSocket::readCientData(INVALID_SOCKET, nullptr, 4), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ServerSocket::readCientData(INVALID_SOCKET, buffer, 4), SOCKET_ERROR);

  ServerSocket::writeClientData(INVALID_SOCKET, "abc", 3);
  EXPECT_TRUE(log_->Contains("ERROR # send failed with error: 10038\n"));
}

}  // namespace
