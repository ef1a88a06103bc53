#include "service/TlsTransport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

CTlsTransport::CTlsTransport(std::shared_ptr<SSL_CTX> context, int socket)
    : m_context(std::move(context)), m_socket(socket) {
  m_ssl = m_context ? SSL_new(m_context.get()) : nullptr;
  if (m_ssl) SSL_set_fd(m_ssl, socket);
}

CTlsTransport::~CTlsTransport() {
  SSL_free(m_ssl);
}

CTlsTransport::Step CTlsTransport::Handshake() {
  if (!m_ssl) return Step::kFailed;
  const int result = SSL_accept(m_ssl);
  if (result == 1) {
    m_wants = 0;
    return Step::kDone;
  }
  switch (SSL_get_error(m_ssl, result)) {
    case SSL_ERROR_WANT_READ:
      m_wants = POLLIN;
      return Step::kWantRead;
    case SSL_ERROR_WANT_WRITE:
      m_wants = POLLOUT;
      return Step::kWantWrite;
    default:
      // Garbage, an unsupported version, a vanished client: nothing is worth saying to it.
      ERR_clear_error();
      return Step::kFailed;
  }
}

bool CTlsTransport::Resumed() const {
  return m_ssl && SSL_session_reused(m_ssl) == 1;
}

ssize_t CTlsTransport::Result(int ok, std::size_t done, int call_result) {
  if (ok == 1) {
    m_wants = 0;
    return static_cast<ssize_t>(done);
  }
  switch (SSL_get_error(m_ssl, call_result)) {
    case SSL_ERROR_WANT_READ:
      m_wants = POLLIN;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_WANT_WRITE:
      m_wants = POLLOUT;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_ZERO_RETURN:  // the client's close_notify: the end of the stream
      m_wants = 0;
      return 0;
    case SSL_ERROR_SYSCALL:
      ERR_clear_error();
      if (errno == 0) return 0;  // the socket ended without close_notify
      return -1;
    default:
      ERR_clear_error();
      errno = EPROTO;
      return -1;
  }
}

ssize_t CTlsTransport::Receive(void* data, std::size_t length) {
  std::size_t done = 0;
  errno = 0;
  const int ok = SSL_read_ex(m_ssl, data, length, &done);
  return Result(ok, done, ok);
}

ssize_t CTlsTransport::Peek(void* data, std::size_t length) {
  std::size_t done = 0;
  errno = 0;
  const int ok = SSL_peek_ex(m_ssl, data, length, &done);
  return Result(ok, done, ok);
}

ssize_t CTlsTransport::Send(const void* data, std::size_t length) {
  if (length == 0) return 0;
  std::size_t done = 0;
  errno = 0;
  const int ok = SSL_write_ex(m_ssl, data, length, &done);
  return Result(ok, done, ok);
}

ssize_t CTlsTransport::SendFile(int file, off_t* offset, std::size_t count) {
  if (!BIO_get_ktls_send(SSL_get_wbio(m_ssl))) {
    errno = ENOSYS;
    return -1;
  }
  errno = 0;
  const ossl_ssize_t sent = SSL_sendfile(m_ssl, file, *offset, count, 0);
  if (sent > 0) {
    *offset += sent;
    m_wants = 0;
    return sent;
  }
  if (SSL_get_error(m_ssl, static_cast<int>(sent)) == SSL_ERROR_WANT_WRITE) {
    m_wants = POLLOUT;
    errno = EAGAIN;
  }
  ERR_clear_error();
  return -1;
}

bool CTlsTransport::HasPending() const {
  return m_ssl && SSL_pending(m_ssl) > 0;
}

short CTlsTransport::PollEvents(short events) const {
  return m_wants ? m_wants : events;
}

void CTlsTransport::ShutdownWrite() {
  // close_notify first, so the client knows the reply ended where it did. The socket's buffer may
  // still be full of the reply: the alert waits a little for room, the one wait of a transport.
  if (m_ssl && SSL_is_init_finished(m_ssl)) {
    for (int round = 0; round < kShutdownRounds; ++round) {
      const int result = SSL_shutdown(m_ssl);
      if (result >= 0 || SSL_get_error(m_ssl, result) != SSL_ERROR_WANT_WRITE) break;
      pollfd entry{m_socket, POLLOUT, 0};
      if (poll(&entry, 1, kShutdownSliceMs) < 0 && errno != EINTR) break;
    }
  }
  ERR_clear_error();
  shutdown(m_socket, SHUT_WR);
}
