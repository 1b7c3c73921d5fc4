// The TCP server of the remote API.
//
// Listen() starts an accept thread that binds all IPv4 interfaces on the configured port,
// admits only 127.0.0.1 and 169.x.x.x peers and serves each connection on a thread of its
// own: every receive (at most 102,400 bytes) is handed to the request handler as one request,
// and the handler sends exactly one response on the same connection. shutDown() stops the
// accept loop; client threads end when their peer closes or after the stop is requested.
//
// Lifecycle: constructed with the service object, SetPortNumber/SetRequestHandler/Listen in
// OnStart, shutDown from the destructor. Client threads are never joined; each holds its own
// reference to the request handler, so it may outlive the server. The destructor waits for
// the accept thread, which works on the server's members, after stopping it.
//
// Threads: the listening socket is shared by the accept thread and whichever thread calls
// shutDown() or the destructor; it is held atomically and whoever takes it out closes it,
// so it is closed exactly once.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "winsock2.h"
#include "windows.h"

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
  // Connections accepted afterwards use this handler; set it before Listen().
  void SetRequestHandler(RequestHandler handler);
  void Listen();
  void shutDown();
  // Ends every connection: no new client thread starts, each open connection is shut down
  // so that its thread's receive returns, and the client threads are waited for, at most
  // `timeoutMs`. True when none is left. The owner of the request handler's target calls
  // it before that target goes away.
  bool StopClients(DWORD timeoutMs);

  // The open connections and running client threads (defined with the server's code).
  struct ClientRegistry;

  // The admission rule of the accept condition: 169.x.x.x (link-local) and exactly
  // 127.0.0.1 are admitted, every other peer is refused.
  static bool IsPeerAdmitted(const sockaddr_in& peer);

  // Returns the recv result: bytes received, 0 on orderly close, SOCKET_ERROR on failure
  // (with the last error set; ERROR_INVALID_PARAMETER for a null buffer).
  static int readCientData(SOCKET connection, char* buffer, int size);
  static void writeClientData(SOCKET connection, const char* data, int length);

 private:
  static DWORD WINAPI ListenThread(LPVOID self);
  static DWORD WINAPI ClientSockProcessThread(LPVOID socketCell);
  static int CALLBACK AcceptCondition(LPWSABUF lpCallerId, LPWSABUF lpCallerData, LPQOS lpSQOS, LPQOS lpGQOS,
                                      LPWSABUF lpCalleeId, LPWSABUF lpCalleeData, GROUP* g,
                                      DWORD_PTR dwCallbackData);
  static int ReceiveRequest(SOCKET connection, char* buffer, int size);
  void _Listen();
  void AcceptLoop();
  // Ends the accept loop of this server only, without touching the process-wide stop flag.
  void StopAccepting();
  std::shared_ptr<const RequestHandler> CurrentHandler() const;

  // Shared with every client thread, which may outlive the server.
  std::shared_ptr<ClientRegistry> m_clients;
  std::atomic<SOCKET> m_listenSocket{INVALID_SOCKET};
  HANDLE m_acceptThread = nullptr;
  std::string m_port = "20950";
  std::atomic<bool> m_stopping{false};
  mutable std::mutex m_handlerLock;
  std::shared_ptr<const RequestHandler> m_handler;
};
