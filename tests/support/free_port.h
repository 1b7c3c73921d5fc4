// A TCP port that is free on this machine now and that the service accepts (1024..49151:
// the kernel's ephemeral ports lie above that range, so asking it for port 0 will not do).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

namespace conduit::testing {

inline unsigned free_service_port() {
  std::random_device seed;
  std::mt19937 pick(seed());
  std::uniform_int_distribution<unsigned> range(30000, 49151);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const unsigned port = range(pick);
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<unsigned short>(port));
    const bool is_free = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (is_free) return port;
  }
  throw std::runtime_error("no free TCP port between 30000 and 49151");
}

}  // namespace conduit::testing
