#pragma once
#include <sys/types.h>

#include <cstddef>

// How a connection's bytes travel: the plain socket, or a layer (such as TLS) over it. Every
// operation returns at once, as the non-blocking calls it is modelled on do; CConnection does the
// waiting, so a transport never blocks and never raises SIGPIPE.
class CTransport {
 public:
  virtual ~CTransport() = default;

  // As recv(2) with MSG_DONTWAIT: the count, 0 at the end of the stream, -1 with errno set
  // (EAGAIN while nothing has arrived).
  virtual ssize_t Receive(void* data, std::size_t length) = 0;
  // As Receive, but the bytes stay to be received again.
  virtual ssize_t Peek(void* data, std::size_t length) = 0;
  // As send(2) with MSG_DONTWAIT | MSG_NOSIGNAL.
  virtual ssize_t Send(const void* data, std::size_t length) = 0;
  // As sendfile(2) on a non-blocking socket. A transport that must see the bytes (TLS) fails with
  // ENOSYS having sent nothing; the caller then reads the file and Sends.
  virtual ssize_t SendFile(int file, off_t* offset, std::size_t count) = 0;
  // Bytes the transport holds already, which a Receive returns though the socket has none.
  virtual bool HasPending() const { return false; }
  // The poll events that let an operation waiting for events go on: a TLS session may have to
  // read before it can write.
  virtual short PollEvents(short events) const { return events; }
  // Ends the sending side: the peer reads the end of the stream, and may still send.
  virtual void ShutdownWrite() = 0;
};

// The plain socket.
class CSocketTransport final : public CTransport {
 public:
  void Attach(int socket) { m_socket = socket; }

  ssize_t Receive(void* data, std::size_t length) override;
  ssize_t Peek(void* data, std::size_t length) override;
  ssize_t Send(const void* data, std::size_t length) override;
  ssize_t SendFile(int file, off_t* offset, std::size_t count) override;
  void ShutdownWrite() override;

 private:
  int m_socket = -1;
};
