#pragma once
#include <openssl/types.h>

#include <memory>

#include "service/Transport.h"

// A TLS session over a connection's non-blocking socket, server side. Like every transport it
// never waits: an operation the session cannot finish yet fails with EAGAIN, and PollEvents says
// what to wait for (a TLS write may need to read first, and a read to write). The socket BIO
// writes with write(2): the program ignores SIGPIPE.
class CTlsTransport final : public CTransport {
 public:
  // The first byte of a TLS connection: a handshake record.
  static constexpr unsigned char kHandshakeRecord = 0x16;

  enum class Step { kDone, kWantRead, kWantWrite, kFailed };

  // A session of context on socket, which must outlive it. The session keeps the context.
  CTlsTransport(std::shared_ptr<SSL_CTX> context, int socket);
  ~CTlsTransport() override;
  CTlsTransport(const CTlsTransport&) = delete;
  CTlsTransport& operator=(const CTlsTransport&) = delete;

  // One step of the handshake, as far as the bytes that have arrived allow.
  Step Handshake();
  // Whether the session resumed an earlier one (a ticket).
  bool Resumed() const;

  ssize_t Receive(void* data, std::size_t length) override;
  ssize_t Peek(void* data, std::size_t length) override;
  ssize_t Send(const void* data, std::size_t length) override;
  // Zero-copy through kernel TLS where OpenSSL set it up for sending, else ENOSYS.
  ssize_t SendFile(int file, off_t* offset, std::size_t count) override;
  bool HasPending() const override;
  short PollEvents(short events) const override;
  // Sends close_notify (waiting up to a second for room for it), then ends the sending side.
  void ShutdownWrite() override;

 private:
  // How long ShutdownWrite waits at most for room for close_notify: rounds of a slice each.
  static constexpr int kShutdownRounds = 20;
  static constexpr int kShutdownSliceMs = 50;

  // Maps an OpenSSL result to the recv/send convention, remembering what the session waits for.
  ssize_t Result(int ok, std::size_t done, int call_result);

  std::shared_ptr<SSL_CTX> m_context;
  SSL* m_ssl = nullptr;
  int m_socket = -1;
  short m_wants = 0;  // the poll events the last unfinished operation needs, or 0
};
