#pragma once
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/ByteRange.h"

// The parsed head of one request. Texts are UTF-8 as received (paths percent-decoded for GET).
struct HttpRequest {
  static constexpr int kNoMethod = -1;
  static constexpr int kGet = 0;
  static constexpr int kPost = 1;

  int method = kNoMethod;
  std::string path;
  std::string client_ip;
  std::string user_name;
  std::string password;
  std::uint64_t content_length = 0;
  std::string boundary;
  ByteRange range;
  bool accepts_gzip = false;  // Accept-Encoding names gzip (or "*") with a weight above 0
  std::optional<std::time_t> if_modified_since;  // a valid HTTP date, else none
  // If-Range as sent (blanks trimmed): the range holds only for the entity it names.
  bool has_if_range = false;
  std::string if_range;
  // Where the request says it goes and comes from, as sent (blanks trimmed); has_host tells an
  // empty Host from none at all.
  bool has_host = false;
  std::string host;
  std::string origin;
  std::string referer;
  std::string fetch_site;  // Sec-Fetch-Site
  bool secure = false;     // it came over TLS
  // The request line says HTTP/1.1, and no Connection header says close: the client may send
  // more requests on the connection.
  bool http11 = false;
  bool connection_close = false;
  bool expect_continue = false;  // Expect: 100-continue
  bool body_chunked = false;     // a Transfer-Encoding, whose body is never read here
};

// Fills the request from its header lines, in order; a later line of a kind replaces an earlier
// one, unknown lines are ignored. Prefixes compare without regard to ASCII case.
void ParseHeaders(HttpRequest& request, const std::vector<std::string>& lines);
