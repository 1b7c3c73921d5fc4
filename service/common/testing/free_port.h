// A TCP port that is free on this machine now and that the service accepts (1024..49151:
// the kernel's ephemeral ports lie above that range, so asking for port 0 will not do).
// Probed through the target's own sockets, so any test or benchmark may use it.
#pragma once

#include <random>
#include <stdexcept>

#include "winsock2.h"

namespace conduit::testing {

inline unsigned short FreeServicePort() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  std::mt19937 pick(std::random_device{}());
  std::uniform_int_distribution<unsigned> range(30000, 49151);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const auto port = static_cast<unsigned short>(range(pick));
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const bool isFree =
        probe != INVALID_SOCKET && bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (probe != INVALID_SOCKET) closesocket(probe);
    if (isFree) {
      WSACleanup();
      return port;
    }
  }
  WSACleanup();
  throw std::runtime_error("no free TCP port between 30000 and 49151");
}

}  // namespace conduit::testing
