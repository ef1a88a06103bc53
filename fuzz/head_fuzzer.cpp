// libFuzzer target for the request head: the bytes a client sends are read line by line from a
// socket (ReadLine), parsed (ParseHeaders), and their parts decoded (UrlDecode, Base64Decode).
// Every input must be read exactly as a model of the line rules says, and parse without a crash.
// The first input byte chooses the line capacity, so that short buffers are exercised too.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzHarness.h"
#include "base/Base64.h"
#include "base/UrlCodec.h"
#include "service/Connection.h"
#include "service/HttpRequest.h"
#include "service/ServiceBasic.h"
#include "service/ThreadPool.h"

namespace {

// What ReadLine must return when all of input is already waiting in the socket: the next line
// from pos, advancing pos past what it consumes. False at the end of the data.
bool ModelLine(std::string_view input, std::size_t& pos, std::size_t room, std::string& line) {
  const std::string_view window = input.substr(pos, room);
  if (std::size_t lf = window.find('\n'); lf != std::string_view::npos) {
    line = std::string(window.substr(0, lf));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos += lf + 1;
    return true;
  }
  if (std::size_t cr = window.find('\r'); cr != std::string_view::npos) {
    line = std::string(window.substr(0, cr));
    pos += cr + 1;
    return true;
  }
  line = std::string(window);
  pos += window.size();
  return window.size() == room;
}

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
  }
  return out;
}

// A socket pair whose sending side has sent all of input and closed.
void FeedPair(std::string_view input, int pair[2]) {
  Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
  // Room for the largest input in one go, so every peek sees all that is left.
  int buffer = 1 << 20;
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  Check(send(pair[1], input.data(), input.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(input.size()));
  shutdown(pair[1], SHUT_WR);
}

void CheckLines(std::string_view input, std::size_t capacity) {
  int pair[2];
  FeedPair(input, pair);
  const CServiceBasic& service = fuzz::Stack("tessel-head-fuzz", std::chrono::seconds(5)).service;
  std::vector<std::string> all;
  std::vector<std::string> head;
  bool head_done = false;
  std::size_t pos = 0;
  std::string line, expected;
  CConnection connection(pair[0], service.Rules());
  for (;;) {
    const bool got = connection.ReadLine(line, capacity);
    const std::size_t before = pos;
    const bool model = capacity > 3 && ModelLine(input, pos, capacity - 3, expected);
    Check(got == model);
    if (!got) break;
    Check(line == expected);
    Check(line.size() <= capacity - 3);
    Check(pos > before);
    all.push_back(line);
    // The head ends at its empty line, and the request handler cuts a line at a NUL.
    if (!head_done) {
      line.resize(std::min(line.size(), line.find('\0')));
      if (line.empty() || head.size() == 100)
        head_done = true;
      else
        head.push_back(line);
    }
  }
  close(pair[0]);
  close(pair[1]);

  // Taking the lines together gives the same lines, up to the same end.
  FeedPair(input, pair);
  std::vector<std::string> taken;
  CConnection together(pair[0], service.Rules());
  Check(!together.ReadLines(
      [&](std::string& next) {
        taken.push_back(next);
        return true;
      },
      capacity));
  Check(taken == all);
  close(pair[0]);
  close(pair[1]);

  HttpRequest request;
  ParseHeaders(request, head);
  const ByteRange& range = request.range;
  Check(range.length == -1 || range.length >= 1);
  // The range's last byte is a number the client wrote, so it fits; one past it may not.
  if (range.length > 0)
    Check(range.start <= UINT64_MAX - static_cast<std::uint64_t>(range.length - 1));
  // A suffix stands alone.
  if (range.suffix > 0) Check(range.start == 0 && range.length == -1);
  // A NUL would cut the names that the file system and the database see.
  if (request.method == HttpRequest::kGet) Check(request.path.find('\0') == std::string::npos);
  Check(request.user_name.find('\0') == std::string::npos);
  Check(request.password.find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t capacity =
      data[0] < 128 ? CServiceBasic::kLineCapacity : static_cast<std::size_t>(data[0] - 128);
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  CheckLines(input, capacity);

  const std::string decoded = tessel::UrlDecode(input);
  Check(decoded.size() <= input.size());
  Check(decoded.find('\0') == std::string::npos);
  Check(tessel::UrlDecode(tessel::UrlEncode(decoded)) == decoded);

  const std::string bytes = tessel::Base64Decode(input);
  Check(bytes.size() <= input.size() / 4 * 3 + 3);
  Check(tessel::Base64Decode(Base64Encode(input)) == input);
  return 0;
}
