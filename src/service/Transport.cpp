#include "service/Transport.h"

#include <sys/sendfile.h>
#include <sys/socket.h>

ssize_t CSocketTransport::Receive(void* data, std::size_t length) {
  return recv(m_socket, data, length, MSG_DONTWAIT);
}

ssize_t CSocketTransport::Peek(void* data, std::size_t length) {
  return recv(m_socket, data, length, MSG_PEEK | MSG_DONTWAIT);
}

ssize_t CSocketTransport::Send(const void* data, std::size_t length) {
  return send(m_socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t CSocketTransport::SendFile(int file, off_t* offset, std::size_t count) {
  return sendfile(m_socket, file, offset, count);
}

void CSocketTransport::ShutdownWrite() {
  shutdown(m_socket, SHUT_WR);
}
