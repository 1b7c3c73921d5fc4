#include "server_socket.h"

#include <chrono>
#include <condition_variable>
#include <set>

#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "log_writer.h"
#include "stop_flag.h"
#include "ws2tcpip.h"

namespace {

constexpr const char* kClientThreadName = "ServerSocket::ClientSockProcessThread";

// How long a receive that holds the start of a request waits for the rest of it. The parts
// of one send follow each other at once, but a loaded machine may delay them; a peer that
// sent a truncated request is answered (by closing, when it fails to decode) after this
// delay.
constexpr INT kContinuationWaitMilliseconds = 1000;

// The least size the request can have, from the bytes received so far: its fixed 16-byte head
// until that is complete, then what its declared lengths add up to.
//   status (u32) | function (u32) | paramCount (u32) | P (u32) | params (P) | R (u32) | result (R)
unsigned long long DeclaredRequestSize(const char* bytes, int count) {
  auto read_u32 = [bytes](unsigned long long offset) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes) + offset;
    return static_cast<unsigned long long>(b[0]) | (static_cast<unsigned long long>(b[1]) << 8) |
           (static_cast<unsigned long long>(b[2]) << 16) | (static_cast<unsigned long long>(b[3]) << 24);
  };
  const auto received = static_cast<unsigned long long>(count);
  // A head split by TCP is completed like the rest, rather than handed over cut.
  if (received < 16) return 16;
  const unsigned long long resultLengthAt = 16 + read_u32(12);
  if (received < resultLengthAt + 4) return resultLengthAt + 4;
  return resultLengthAt + 4 + read_u32(resultLengthAt);
}

}  // namespace

// The open connections and the number of client threads still running, so that the owner
// can end them before what their handler reaches goes away.
struct ServerSocket::ClientRegistry {
  std::mutex lock;
  std::condition_variable ended;
  std::set<SOCKET> connections;
  unsigned running = 0;
  bool stopping = false;

  // False once the clients are being stopped: the connection is not to be served.
  bool Add(SOCKET connection) {
    std::lock_guard guard(lock);
    if (stopping) return false;
    connections.insert(connection);
    ++running;
    return true;
  }
  // The connection leaves the registry before its socket is closed, so a stop never shuts
  // down a socket value that has been closed (and perhaps reused).
  void Forget(SOCKET connection) {
    std::lock_guard guard(lock);
    connections.erase(connection);
  }
  void Finished() {
    std::lock_guard guard(lock);
    --running;
    ended.notify_all();
  }
  bool Stopping() {
    std::lock_guard guard(lock);
    return stopping;
  }
};

namespace {

// What a connection's thread receives: the accepted socket and its own references to the
// request handler and the client registry, so that the thread never reaches back into the
// server.
struct ClientCell {
  SOCKET connection;
  std::shared_ptr<const ServerSocket::RequestHandler> handler;
  std::shared_ptr<ServerSocket::ClientRegistry> registry;
};

}  // namespace

ServerSocket::ServerSocket() : m_clients(std::make_shared<ClientRegistry>()) {
  FunctionTrace trace("ServerSocket::ServerSocket");
}

bool ServerSocket::StopClients(DWORD timeoutMs) {
  FunctionTrace trace("ServerSocket::StopClients");
  std::unique_lock guard(m_clients->lock);
  m_clients->stopping = true;
  for (SOCKET connection : m_clients->connections) {
    shutdown(connection, SD_BOTH);
  }
  return m_clients->ended.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                   [this] { return m_clients->running == 0; });
}

ServerSocket::~ServerSocket() {
  FunctionTrace trace("ServerSocket::~ServerSocket");
  if (m_listenSocket.load() != INVALID_SOCKET) {
    WriteLog(LOG_ERROR, "ERROR # Entering ServerSocket::~ServerSocket where SocketId other than 0");
    shutDown();
  }
  if (m_acceptThread != nullptr) {
    // The accept thread works on this object's members until it ends; a thread still
    // setting up has no socket yet that shutDown could close, so stop it explicitly too.
    StopAccepting();
    WaitForSingleObject(m_acceptThread, INFINITE);
    CloseHandle(m_acceptThread);
    m_acceptThread = nullptr;
  }
}

void ServerSocket::SetPortNumber(const std::string& port) {
  m_port = port;
  WriteLog(LOG_INFO, "INFO # Exiting ServerSocket::SetPortNumber with portNumber %s\n", m_port.c_str());
}

void ServerSocket::SetRequestHandler(RequestHandler handler) {
  auto shared = std::make_shared<const RequestHandler>(std::move(handler));
  std::lock_guard lock(m_handlerLock);
  m_handler = std::move(shared);
}

std::shared_ptr<const ServerSocket::RequestHandler> ServerSocket::CurrentHandler() const {
  std::lock_guard lock(m_handlerLock);
  if (m_handler) return m_handler;
  // Without a handler a request fails like any undecodable one: the call throws, the
  // connection's thread logs it and closes the connection.
  static const auto none = std::make_shared<const RequestHandler>();
  return none;
}

void ServerSocket::Listen() {
  FunctionTrace trace("ServerSocket::Listen");
  // One accept thread per server: a second would serve the same members twice.
  if (m_acceptThread != nullptr) return;
  ServiceStopRequested().store(false);
  m_stopping.store(false);
  m_acceptThread = CreateThread(nullptr, 0, &ServerSocket::ListenThread, this, 0, nullptr);
}

DWORD WINAPI ServerSocket::ListenThread(LPVOID self) {
  if (self == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  static_cast<ServerSocket*>(self)->_Listen();
  return 0;
}

void ServerSocket::_Listen() {
  FunctionTrace trace("ServerSocket::_Listen");
  // An exception leaving a thread routine would end the whole service.
  try {
    WSADATA wsaData{};
    int result = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (result != 0) {
      WriteLog(LOG_ERROR, "ERROR # ServerSocket::_Listen() # WSAStartup failed with error: %d\n", result);
      return;
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* address = nullptr;
    result = getaddrinfo(nullptr, m_port.c_str(), &hints, &address);
    if (result != 0) {
      WriteLog(LOG_ERROR, "ERROR # getaddrinfo failed with error: %d\n", result);
      WSACleanup();
      return;
    }

    SOCKET listener = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (listener == INVALID_SOCKET) {
      WriteLog(LOG_ERROR, "ERROR # socket failed with error: %ld\n", static_cast<long>(WSAGetLastError()));
      freeaddrinfo(address);
      WSACleanup();
      return;
    }

    if (bind(listener, address->ai_addr, static_cast<int>(address->ai_addrlen)) == SOCKET_ERROR) {
      WriteLog(LOG_ERROR, "ERROR # bind failed with error: %d\n", WSAGetLastError());
      freeaddrinfo(address);
      closesocket(listener);
      WSACleanup();
      return;
    }
    freeaddrinfo(address);

    if (listen(listener, SOMAXCONN) == SOCKET_ERROR) {
      WriteLog(LOG_ERROR, "ERROR # listen failed with error: %d\n", WSAGetLastError());
      closesocket(listener);
      WSACleanup();
      return;
    }

    m_listenSocket.store(listener);
    AcceptLoop();

    // Whichever of this thread and shutDown takes the socket out closes it: never both.
    SOCKET remaining = m_listenSocket.exchange(INVALID_SOCKET);
    if (remaining != INVALID_SOCKET) closesocket(remaining);
    // The one cleanup that matches this thread's startup: shutDown makes none of its own, so
    // that a process whose other code also uses sockets does not lose them to a count that
    // went down twice.
    WSACleanup();
  } catch (const std::exception& e) {
    LogStandardException("ServerSocket::_Listen", e);
  } catch (...) {
    LogGenericException("ServerSocket::_Listen");
  }
}

void ServerSocket::AcceptLoop() {
  std::vector<HANDLE> clientThreads;
  while (!ServiceStopRequested().load() && !m_stopping.load()) {
    // The socket is read afresh each time: after a shut-down it is gone, and the accept below
    // fails at once instead of using a handle that another thread has closed.
    SOCKET listener = m_listenSocket.load();
    if (listener == INVALID_SOCKET) break;
    SOCKET connection = WSAAccept(listener, nullptr, nullptr, &ServerSocket::AcceptCondition, 0);
    if (connection == INVALID_SOCKET) {
      WriteLog(LOG_ERROR, "ERROR # accept socket failed with error: %d\n", WSAGetLastError());
      continue;
    }
    WriteLog(LOG_INFO, "INFO # Entering ServerSocket::_Listen()");
    if (!m_clients->Add(connection)) {
      // The owner is ending every connection: this one is not served.
      closesocket(connection);
      continue;
    }
    auto* cell = new (std::nothrow) ClientCell{connection, CurrentHandler(), m_clients};
    HANDLE clientThread = cell ? CreateThread(nullptr, 0, &ServerSocket::ClientSockProcessThread, cell, 0, nullptr)
                               : nullptr;
    if (clientThread == nullptr) {
      // Without a thread nobody would ever serve or close the connection.
      WriteLog(LOG_ERROR, "ERROR # CreateThread failed with error: %lu\n", static_cast<unsigned long>(GetLastError()));
      delete cell;
      m_clients->Forget(connection);
      closesocket(connection);
      m_clients->Finished();
      continue;
    }
    clientThreads.push_back(clientThread);
    WriteLog(LOG_INFO, "INFO # ServerSocket::_Listen # Accepted a connection");
  }
  for (HANDLE clientThread : clientThreads) CloseHandle(clientThread);
}

int CALLBACK ServerSocket::AcceptCondition(LPWSABUF lpCallerId, LPWSABUF, LPQOS, LPQOS, LPWSABUF, LPWSABUF, GROUP*,
                                           DWORD_PTR) {
  // A peer whose address cannot be read cannot be checked, so it is not admitted.
  if (lpCallerId == nullptr || lpCallerId->buf == nullptr || lpCallerId->len < sizeof(sockaddr_in)) {
    return CF_REJECT;
  }
  sockaddr_in peer{};
  std::memcpy(&peer, lpCallerId->buf, sizeof(peer));
  if (IsPeerAdmitted(peer)) return CF_ACCEPT;
  const auto& octets = peer.sin_addr.S_un.S_un_b;
  WriteLog(LOG_WARNING, "Client Connection is denied from IP : %u.%u.%u.%u", static_cast<unsigned>(octets.s_b1),
           static_cast<unsigned>(octets.s_b2), static_cast<unsigned>(octets.s_b3), static_cast<unsigned>(octets.s_b4));
  return CF_REJECT;
}

bool ServerSocket::IsPeerAdmitted(const sockaddr_in& peer) {
  const auto& octets = peer.sin_addr.S_un.S_un_b;
  if (octets.s_b1 == 169) return true;
  return octets.s_b1 == 127 && octets.s_b2 == 0 && octets.s_b3 == 0 && octets.s_b4 == 1;
}

DWORD WINAPI ServerSocket::ClientSockProcessThread(LPVOID socketCell) {
  if (socketCell == nullptr) {
    FunctionTrace trace(kClientThreadName);
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  std::unique_ptr<ClientCell> cell(static_cast<ClientCell*>(socketCell));
  // However the thread ends, its connection leaves the registry before the socket closes,
  // and the registry learns last that the thread is done: after everything else the thread
  // does, its exit line included.
  struct Farewell {
    ClientCell& cell;
    ~Farewell() {
      if (cell.registry) cell.registry->Forget(cell.connection);
      closesocket(cell.connection);
      if (cell.registry) cell.registry->Finished();
    }
  } farewell{*cell};
  FunctionTrace trace(kClientThreadName);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReceiveBufferSize]());
  if (!buffer) {
    WriteLog(LOG_ERROR, "Error # Memory Allocation failed for Buffer");
    // The connection would otherwise stay open with nobody to serve it.
    return ERROR_NOT_ENOUGH_MEMORY;
  }

  try {
    while (!ServiceStopRequested().load() && !(cell->registry && cell->registry->Stopping())) {
      const int received = ReceiveRequest(cell->connection, buffer.get(), kReceiveBufferSize);
      if (received < 0) break;
      (*cell->handler)(cell->connection, buffer.get(), received);
      // After the peer's orderly close no request can follow; without this a handler that
      // accepts the empty receive would have the thread spin on a dead connection.
      if (received == 0) break;
    }
  } catch (const std::exception& e) {
    LogStandardException(kClientThreadName, e);
  } catch (...) {
    LogGenericException(kClientThreadName);
  }
  return 0;
}

int ServerSocket::ReceiveRequest(SOCKET connection, char* buffer, int size) {
  int received = readCientData(connection, buffer, size);
  // TCP keeps no message boundaries: a request sent in one piece may arrive in two receives,
  // and handing over the first alone would fail it and drop the connection.
  while (received > 0 && received < size) {
    const unsigned long long declared = DeclaredRequestSize(buffer, received);
    if (declared <= static_cast<unsigned long long>(received) || declared > static_cast<unsigned long long>(size)) {
      break;
    }
    WSAPOLLFD pending{connection, POLLRDNORM, 0};
    if (WSAPoll(&pending, 1, kContinuationWaitMilliseconds) != 1 || !(pending.revents & POLLRDNORM)) break;
    const int more = readCientData(connection, buffer + received, size - received);
    if (more <= 0) break;
    received += more;
  }
  return received;
}

int ServerSocket::readCientData(SOCKET connection, char* buffer, int size) {
  if (buffer == nullptr) {
    // A failure, not a count: a positive number would be taken for received bytes.
    WSASetLastError(ERROR_INVALID_PARAMETER);
    return SOCKET_ERROR;
  }
  const int received = recv(connection, buffer, size, 0);
  if (received > 0) WriteLog(LOG_INFO, "INFO # Bytes received: %d\n", received);
  return received;
}

void ServerSocket::writeClientData(SOCKET connection, const char* data, int length) {
  // A send may take part of the answer: the rest follows until all of it went.
  int total = 0;
  while (total < length) {
    const int sent = send(connection, data + total, length - total, 0);
    if (sent == SOCKET_ERROR) {
      WriteLog(LOG_ERROR, "ERROR # send failed with error: %d\n", WSAGetLastError());
      // The answer cannot reach the peer whole: the connection ends here, so that the peer
      // learns it at once instead of waiting for an answer that never comes.
      shutdown(connection, SD_BOTH);
      return;
    }
    total += sent;
  }
  WriteLog(LOG_INFO, "INFO # send data %d: \n", total);
}

void ServerSocket::StopAccepting() {
  m_stopping.store(true);
  SOCKET listener = m_listenSocket.exchange(INVALID_SOCKET);
  if (listener != INVALID_SOCKET) closesocket(listener);
}

void ServerSocket::shutDown() {
  FunctionTrace trace("ServerSocket::shutDown");
  // The flag first: the accept thread, woken by the close below, must find it set.
  ServiceStopRequested().store(true);
  m_stopping.store(true);
  SOCKET listener = m_listenSocket.exchange(INVALID_SOCKET);
  if (shutdown(listener, SD_SEND) == SOCKET_ERROR) {
    WriteLog(LOG_ERROR, "ERROR # shutdown failed with error: %d\n", WSAGetLastError());
  }
  if (listener != INVALID_SOCKET) closesocket(listener);
}
