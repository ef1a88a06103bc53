#include "service/ServiceHttp.h"

#include <gtest/gtest.h>

#include <thread>

#include "service/WebFixture.h"
#include "support/Eventually.h"

namespace {

using namespace std::chrono_literals;
using web::kAuthRequired;
using web::kNotFound;
using web::kRedirectHome;

// The real service on a free loopback port, over stores in a fresh folder.
class HttpService : public web::WebFixture {
 protected:
  // From a visitor the `local` account does not admit, so /index.htm challenges.
  std::string Exchange(std::string_view request) {
    return WebFixture::Exchange(request, web::kStranger);
  }
  int Connect() { return loopback::Connect(service.Port()); }

  bool WaitIdle() {
    return tessel::test::Eventually([&] { return pool.CountActive(&service) == 0; });
  }
};

TEST_F(HttpService, AnswersWithTheFixedRepliesByteForByte) {
  EXPECT_EQ(Exchange("GET /nothing HTTP/1.0\r\n\r\n"), kNotFound);
  EXPECT_EQ(Exchange("GET /upload HTTP/1.0\r\n\r\n"), kNotFound);
  EXPECT_EQ(Exchange("get /INDEX.HTM HTTP/1.0\r\nHost: x\r\n\r\n"), kAuthRequired);
  EXPECT_EQ(Exchange("POST /index.htm HTTP/1.0\r\n\r\n"), kAuthRequired);
  EXPECT_EQ(Exchange("GET /Logout.htm HTTP/1.1\n\n"), kAuthRequired);
  EXPECT_EQ(Exchange("POST /x HTTP/1.0\r\nContent-Length: 0\r\n\r\n"), kRedirectHome);
  EXPECT_EQ(Exchange("HEAD / HTTP/1.0\r\n\r\n"), kRedirectHome);
  EXPECT_EQ(Exchange("\r\nGET / HTTP/1.0\r\n\r\n"), kRedirectHome);  // the head ends at once
}

TEST_F(HttpService, SurvivesGarbage) {
  EXPECT_EQ(Exchange(std::string("\xff\xfe\0GET / HTTP/1.0\r\n\r\n", 21)), kRedirectHome);
  EXPECT_EQ(Exchange("GET /%ff%fe%00x/%/%4 HTTP/1.0\r\n\r\n"), kNotFound);
  EXPECT_EQ(Exchange("GET /" + std::string(5000, '\x80') + " HTTP/1.0\r\n\r\n"), kNotFound);
  EXPECT_EQ(Exchange("GET /logout.htm\rAuthorization: Basic ###\r\r"), kAuthRequired);
  EXPECT_TRUE(WaitIdle());
}

TEST_F(HttpService, ReadsAHundredHeaderLinesButNotOneMore) {
  std::string head = "GET /index.htm HTTP/1.0\r\n";
  for (int i = 1; i < 100; ++i) head += "X-Line: " + std::to_string(i) + "\r\n";
  EXPECT_EQ(Exchange(head + "\r\n"), kAuthRequired);
  EXPECT_EQ(Exchange(head + "X-Line: 100\r\n\r\n"), "");
}

TEST_F(HttpService, ClientsVanishingMidHeadFreeTheirWorkers) {
  int polite = Connect();
  send(polite, "GET / HTTP/1.0\r\nHost:", 21, MSG_NOSIGNAL);
  close(polite);
  int abrupt = Connect();
  send(abrupt, "GET /index.htm HTTP/1.0\r\n", 25, MSG_NOSIGNAL);
  linger reset{1, 0};  // close with a reset instead of a FIN
  setsockopt(abrupt, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(abrupt);
  EXPECT_TRUE(WaitIdle());
  EXPECT_EQ(Exchange("GET /nothing HTTP/1.0\r\n\r\n"), kNotFound);
}

TEST_F(HttpService, ReadRequestHeadParsesTheHeadAndLeavesTheBody) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  std::string head =
      "GET /download.htm?file=a%5Cb+c HTTP/1.0\r\nRange: bytes=10-19\r\n"
      "Authorization: Basic dTpw\r\n\r\nrest";
  send(pair[1], head.data(), head.size(), MSG_NOSIGNAL);
  sockaddr_in peer{};
  inet_pton(AF_INET, "192.168.1.20", &peer.sin_addr);
  CConnection connection(pair[0], service.Rules(), peer);
  HttpRequest request;
  std::vector<std::string> lines;
  ASSERT_TRUE(service.ReadRequestHead(connection, request, lines));
  EXPECT_EQ(lines.size(), 3u);
  EXPECT_EQ(request.path, "/download.htm?file=a\\b c");
  EXPECT_EQ(request.client_ip, "192.168.1.20");
  EXPECT_EQ(request.user_name, "u");
  EXPECT_EQ(request.password, "p");
  EXPECT_EQ(request.range, (ByteRange{10, 10, 0}));
  // The head came in one receive with the bytes after it: those are read first, then the ones
  // still to come, in order, and the socket counts as readable while any are kept.
  send(pair[1], "-more", 5, MSG_NOSIGNAL);
  EXPECT_EQ(connection.WaitReadable(0ms), 1);
  std::string rest;
  char buffer[3];
  for (ssize_t got; rest.size() < 9 && (got = connection.Receive(buffer, sizeof buffer)) > 0;)
    rest.append(buffer, static_cast<std::size_t>(got));
  EXPECT_EQ(rest, "rest-more");
  EXPECT_EQ(connection.Receive(buffer, sizeof buffer), -1);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
