// ReadLines takes the lines that have arrived together; it must give exactly what ReadLine gives
// line by line, leave every byte after the last line it took in the socket, and wait for lines
// that have not arrived as ReadLine does.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "service/Loopback.h"
#include "service/ServiceBasic.h"
#include "service/ThreadPool.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

class LineService : public CServiceBasic {
 public:
  using CServiceBasic::CServiceBasic;
  ~LineService() override { Stop(); }
  bool Handle(ClientTask&) override { return true; }
};

// count lines of size bytes each, every one ended by CR LF.
std::string Lines(int count, std::size_t size) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += std::string(size, 'a') + "\r\n";
  return lines;
}

class ReadLinesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_service.Start(loopback::FreePort())); }
  // Both readers over the same bytes, each on a socket pair whose sender has closed: the lines
  // and the final result of ReadLine in a loop, and of ReadLines taking up to stop_after lines.
  struct Outcome {
    std::vector<std::string> lines;
    bool result = false;
    std::string rest;  // what is left in the socket
  };
  Outcome ByReadLine(const std::string& input, std::size_t capacity, std::size_t stop_after) {
    int pair[2];
    Prepare(input, pair);
    Outcome out;
    std::string line;
    for (;;) {
      if (!m_service.ReadLine(pair[0], line, capacity)) break;
      out.lines.push_back(line);
      if (out.lines.size() == stop_after) {
        out.result = true;
        break;
      }
    }
    out.rest = Rest(pair);
    return out;
  }
  Outcome ByReadLines(const std::string& input, std::size_t capacity, std::size_t stop_after) {
    int pair[2];
    Prepare(input, pair);
    Outcome out;
    out.result = m_service.ReadLines(
        pair[0],
        [&](std::string& line) {
          out.lines.push_back(line);
          return out.lines.size() < stop_after;
        },
        capacity);
    out.rest = Rest(pair);
    return out;
  }
  static void Prepare(const std::string& input, int pair[2]) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(send(pair[1], input.data(), input.size(), 0), static_cast<ssize_t>(input.size()));
    shutdown(pair[1], SHUT_WR);
  }
  static std::string Rest(int pair[2]) {
    std::string rest;
    char buffer[4096];
    for (ssize_t got; (got = recv(pair[0], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
      rest.append(buffer, static_cast<std::size_t>(got));
    close(pair[0]);
    close(pair[1]);
    return rest;
  }

  CThreadPool m_pool;
  LineService m_service{m_pool, 500ms};
};

TEST_F(ReadLinesTest, SameLinesAsReadLineAndNothingTakenBeyondThem) {
  const std::string inputs[] = {
      "GET / HTTP/1.0\r\nHost: x\r\n\r\nBODY",
      "a\nb\rc\r\n\r\r\n\n",
      std::string(5000, 'a') + "\r\n" + std::string(4093, 'b') + "\r\nend\r\n\r\n",
      std::string(40000, 'x') + "\n\n",  // more than one peek holds
      // A line end, and a lone CR before one, where one peek (16 KiB) ends: a peek that cut a
      // line short must not end it.
      Lines(4, 4000) + std::string(375, 'b') + "\r\nnext\r\n\r\n",
      Lines(4, 4000) + std::string(370, 'c') + "\rddddddddd\r\n\r\n",
      "nul\0byte\r\nlast line without its end"s,
      "",
  };
  for (const std::string& input : inputs) {
    for (std::size_t capacity : {std::size_t{4096}, std::size_t{5}, std::size_t{3}}) {
      for (std::size_t stop_after : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
        SCOPED_TRACE(testing::Message() << "input " << input.substr(0, 20) << " capacity "
                                        << capacity << " stop after " << stop_after);
        const Outcome one = ByReadLine(input, capacity, stop_after);
        const Outcome many = ByReadLines(input, capacity, stop_after);
        EXPECT_EQ(many.lines, one.lines);
        EXPECT_EQ(many.result, one.result);
        EXPECT_EQ(many.rest, one.rest);
      }
    }
  }
}

TEST_F(ReadLinesTest, WaitsForLinesStillToCome) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  std::thread sender([&] {
    send(pair[1], "GET / HTTP/1.0\r\nHo", 18, 0);
    std::this_thread::sleep_for(100ms);
    send(pair[1], "st: x\r\n", 7, 0);
    std::this_thread::sleep_for(100ms);
    send(pair[1], "\r\nbody", 6, 0);
  });
  std::vector<std::string> lines;
  EXPECT_TRUE(m_service.ReadLines(pair[0], [&](std::string& line) {
    lines.push_back(line);
    return !line.empty();
  }));
  sender.join();
  EXPECT_EQ(lines, (std::vector<std::string>{"GET / HTTP/1.0", "Host: x", ""}));
  char body[8] = {};
  EXPECT_EQ(recv(pair[0], body, sizeof body, 0), 4);
  EXPECT_STREQ(body, "body");

  // A sender that goes quiet: after the I/O limit the reader gives up as ReadLine does.
  send(pair[1], "partial", 7, 0);
  lines.clear();
  EXPECT_TRUE(m_service.ReadLines(pair[0], [&](std::string& line) {
    lines.push_back(line);
    return false;
  }));
  EXPECT_EQ(lines, (std::vector<std::string>{"partial"}));

  // A sender that sends nothing at all: false once the I/O limit has passed, and not much later.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(m_service.ReadLines(pair[0], [](std::string&) { return true; }));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 500ms);
  EXPECT_LT(waited, 1500ms);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
