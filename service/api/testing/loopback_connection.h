// A connected pair of loopback TCP sockets through the platform's Windows Sockets, so that
// a test hands the service end to the dispatcher and reads the response on the peer end as
// a host tool would.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "winsock2.h"
#include "ws2tcpip.h"

class LoopbackConnection {
 public:
  LoopbackConnection() {
    WSADATA wsaData{};
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) throw std::runtime_error("WSAStartup failed");
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      closesocket(listener);
      throw std::runtime_error("listening socket failed");
    }
    m_peer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_peer == INVALID_SOCKET ||
        connect(m_peer, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      closesocket(listener);
      throw std::runtime_error("connect failed");
    }
    m_service = accept(listener, nullptr, nullptr);
    closesocket(listener);
    if (m_service == INVALID_SOCKET) throw std::runtime_error("accept failed");
  }

  ~LoopbackConnection() {
    CloseService();
    if (m_peer != INVALID_SOCKET) closesocket(m_peer);
    WSACleanup();
  }

  LoopbackConnection(const LoopbackConnection&) = delete;
  LoopbackConnection& operator=(const LoopbackConnection&) = delete;

  SOCKET service() const { return m_service; }
  SOCKET peer() const { return m_peer; }

  void CloseService() {
    if (m_service != INVALID_SOCKET) {
      closesocket(m_service);
      m_service = INVALID_SOCKET;
    }
  }

  // Reads exactly `length` bytes from the peer end; false when the connection ends first.
  bool ReadExactly(void* data, std::size_t length) {
    char* bytes = static_cast<char*>(data);
    while (length > 0) {
      const int received = recv(m_peer, bytes, static_cast<int>(length), 0);
      if (received <= 0) return false;
      bytes += received;
      length -= static_cast<std::size_t>(received);
    }
    return true;
  }

  // Everything the service end sent before it was closed.
  std::vector<char> ReadUntilClosed() {
    std::vector<char> all;
    char chunk[4096];
    for (;;) {
      const int received = recv(m_peer, chunk, sizeof(chunk), 0);
      if (received <= 0) return all;
      all.insert(all.end(), chunk, chunk + received);
    }
  }

 private:
  SOCKET m_service = INVALID_SOCKET;
  SOCKET m_peer = INVALID_SOCKET;
};
