// The TCP server of the remote API.
//
// Listen() starts an accept thread that binds all IPv4 interfaces on the configured port,
// admits only 127.0.0.1 and 169.x.x.x peers and serves each connection on a thread of its
// own: every receive (at most 102,400 bytes) is handed to the request handler as one request,
// and the handler sends exactly one response on the same connection. shutDown() stops the
// accept loop; client threads end when their peer closes or after the stop is requested.
//
// Lifecycle: constructed with the service object, SetPortNumber/SetRequestHandler/Listen in
// OnStart, shutDown from the destructor. Client threads are never joined.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "configuration_manager.h"
#include "winbase.h"
#include "winsock2.h"

class ServerSocket {
 public:
  static constexpr int kReceiveBufferSize = 102400;  // 0x19000

  // Called on a client thread for every receive, with the received count (0 after the
  // peer's orderly close). An exception that leaves it ends the connection.
  using RequestHandler = std::function<void(SOCKET connection, const char* data, int length)>;

  ServerSocket();
  ~ServerSocket();
  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;

  void SetPortNumber(const std::string& port);
  void SetRequestHandler(RequestHandler handler);
  void Listen();
  void shutDown();

  static int readCientData(SOCKET connection, char* buffer, int size);
  static void writeClientData(SOCKET connection, const char* data, int length);

 private:
  static DWORD WINAPI ListenThread(LPVOID self);
  static DWORD WINAPI ClientSockProcessThread(LPVOID socketCell);
  void _Listen();

  SOCKET m_listenSocket = INVALID_SOCKET;
  HANDLE m_acceptThread = nullptr;
  std::string m_port = "20950";
  ConfigurationManager m_configuration;
  RequestHandler m_handler;
};
