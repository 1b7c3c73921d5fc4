// A one-connection loopback server that stands in for the service in the host tools' tests:
// it accepts one connection, reads the first request (kept for `request()`) and hands the
// connection to `answer`, then closes it. An `answer` that sends nothing is a service that
// closes without a response; one that calls reset() resets the connection instead, as the
// service does to a peer it does not admit (`atAccept`: before reading anything).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <thread>

#include "wire_codec.h"

namespace conduit::testing {

class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(int connection)> answer, bool atAccept = false) {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    ::listen(m_listener, 4);
    m_thread = std::thread([this, answer, atAccept] {
      int connection = ::accept(m_listener, nullptr, nullptr);
      if (connection < 0) return;
      if (atAccept) {
        answer(connection);
        ::close(connection);
        return;
      }
      std::uint8_t buffer[4096];
      const ssize_t received = ::recv(connection, buffer, sizeof buffer, 0);
      if (received > 0) {
        m_request.assign(buffer, buffer + received);
        answer(connection);
      }
      ::close(connection);
    });
  }
  ~ScriptedServer() {
    ::shutdown(m_listener, SHUT_RDWR);
    if (m_thread.joinable()) m_thread.join();
    ::close(m_listener);
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::uint16_t port() const { return m_port; }
  // The first request's bytes (as one receive got them). Waits for the connection to end, so
  // call it once a client has been answered.
  const host::Bytes& request() {
    if (m_thread.joinable()) m_thread.join();
    return m_request;
  }

  static void send(int connection, const host::Bytes& bytes) {
    ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // The close that follows becomes a reset.
  static void reset(int connection) {
    const linger abort{1, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }

 private:
  int m_listener = -1;
  std::uint16_t m_port = 0;
  host::Bytes m_request;
  std::thread m_thread;
};

}  // namespace conduit::testing
