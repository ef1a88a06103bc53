// The TLS transport over a non-blocking socket, driven as a connection drives it (poll for what
// it asks, then try again), against a real OpenSSL client: the handshake, a reply that arrives
// byte for byte, the end of the stream, resumption by ticket, and garbage after a handshake
// record refused at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "service/TlsContext.h"
#include "service/TlsTransport.h"

namespace {

using Step = CTlsTransport::Step;

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

// Waits for what the transport needs, up to a second.
bool Await(const CTlsTransport& transport, int fd, short events) {
  pollfd entry{fd, transport.PollEvents(events), 0};
  return poll(&entry, 1, 1000) == 1;
}

Step HandshakeUntilDone(CTlsTransport& transport, int fd) {
  for (int round = 0; round < 100; ++round) {
    const Step step = transport.Handshake();
    if (step == Step::kDone || step == Step::kFailed) return step;
    if (!Await(transport, fd, step == Step::kWantRead ? POLLIN : POLLOUT)) return Step::kFailed;
  }
  return Step::kFailed;
}

class TlsTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    auto certificate = CTlsCertificate::MakeSelfSigned({"localhost"}, 1, &error);
    ASSERT_TRUE(certificate) << error;
    server = CTlsContext::MakeServerContext(*certificate, &error);
    ASSERT_TRUE(server) << error;
    client = SSL_CTX_new(TLS_client_method());
  }
  void TearDown() override { SSL_CTX_free(client); }

  // Serves one connection: the handshake, then the request line read, then reply sent whole.
  // Returns whether the session resumed one before; false as well when the handshake failed.
  void Serve(int fd, const std::string& reply, Step* outcome, bool* resumed) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    CTlsTransport transport(server, fd);
    *outcome = HandshakeUntilDone(transport, fd);
    if (*outcome != Step::kDone) return;
    *resumed = transport.Resumed();
    char request[64];
    ssize_t got = -1;
    while ((got = transport.Receive(request, sizeof request)) < 0 && errno == EAGAIN)
      if (!Await(transport, fd, POLLIN)) return;
    for (std::size_t sent = 0; sent < reply.size();) {
      const ssize_t n = transport.Send(reply.data() + sent, reply.size() - sent);
      if (n > 0)
        sent += static_cast<std::size_t>(n);
      else if (errno != EAGAIN || !Await(transport, fd, POLLOUT))
        return;
    }
    transport.ShutdownWrite();
  }

  std::shared_ptr<SSL_CTX> server;
  SSL_CTX* client = nullptr;
};

TEST_F(TlsTransportTest, RepliesArriveWholeAndSessionsResume) {
  const std::string reply = Pattern(3 << 20);
  SSL_SESSION* session = nullptr;
  for (int round = 0; round < 2; ++round) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Step outcome = Step::kFailed;
    bool resumed = false;
    std::thread thread([&] { Serve(pair[0], reply, &outcome, &resumed); });
    SSL* ssl = SSL_new(client);
    SSL_set_fd(ssl, pair[1]);
    if (session) SSL_set_session(ssl, session);
    ASSERT_EQ(SSL_connect(ssl), 1);
    SSL_write(ssl, "GET / HTTP/1.1\r\n\r\n", 18);
    std::string received;
    char buffer[65536];
    int n = 0;
    while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0) received.append(buffer, n);
    // The reply ends with close_notify, not a cut.
    EXPECT_EQ(SSL_get_error(ssl, n), SSL_ERROR_ZERO_RETURN);
    EXPECT_TRUE(received == reply) << received.size();
    thread.join();
    EXPECT_EQ(outcome, Step::kDone);
    EXPECT_EQ(resumed, round == 1) << "round " << round;
    if (!session) session = SSL_get1_session(ssl);
    SSL_shutdown(ssl);  // a session ended without close_notify may not be resumed
    SSL_free(ssl);
    close(pair[0]);
    close(pair[1]);
  }
  SSL_SESSION_free(session);
}

TEST_F(TlsTransportTest, GarbageAfterAHandshakeRecordFailsAtOnce) {
  const char* inputs[] = {"\x16garbage that is no handshake at all\r\n\r\n",
                          "\x16\x03\x01\x00\x05\x01\x00\x00\x01\x00", "\x16\x03\x01\xff\xff"};
  for (const char* input : inputs) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    send(pair[1], input, strlen(input), 0);
    shutdown(pair[1], SHUT_WR);
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    CTlsTransport transport(server, pair[0]);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HandshakeUntilDone(transport, pair[0]), Step::kFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    close(pair[0]);
    close(pair[1]);
  }
}

}  // namespace
