#include "service/HttpRequest.h"

#include <limits>

#include "base/AsciiText.h"
#include "base/Base64.h"
#include "base/UrlCodec.h"
#include "service/HttpDate.h"

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads the unsigned decimal number at the start of text (after blanks); digits stop at the first
// other character. Too large a number saturates rather than wrapping into a small one.
std::uint64_t ParseDecimal(std::string_view text) {
  std::size_t i = text.find_first_not_of(" \t");
  if (i == std::string_view::npos) return 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

// The request target: the text up to the first space.
std::string_view TargetOf(std::string_view rest) {
  return rest.substr(0, rest.find(' '));
}

void ParseCredentials(HttpRequest& request, std::string_view line) {
  std::size_t basic = line.find("Basic ");
  if (basic == std::string_view::npos) return;
  // A NUL is kept: credentials holding one must match no account, never the text before it.
  std::string decoded = tessel::Base64Decode(line.substr(basic + 6));
  std::size_t colon = decoded.find(':');
  if (colon == std::string::npos) {
    request.user_name = decoded;
    request.password.clear();
  } else {
    request.user_name = decoded.substr(0, colon);
    request.password = decoded.substr(colon + 1);
  }
}

void ParseRange(ByteRange& range, std::string_view value) {
  range = ByteRange{};
  // A suffix range ("-500") names the last bytes, whose place only the sender knows. Anything
  // else not starting with a number is not understood: the whole file is the answer, which HTTP
  // allows for a Range a server does not understand.
  std::size_t first = value.find_first_not_of(" \t");
  if (first != std::string_view::npos && value[first] == '-' && first + 1 < value.size() &&
      IsDigit(value[first + 1])) {
    range.suffix = ParseDecimal(value.substr(first + 1));
    return;
  }
  if (first == std::string_view::npos || !IsDigit(value[first])) return;
  range.start = ParseDecimal(value);
  std::size_t dash = value.find('-');
  if (dash == std::string_view::npos || dash + 1 >= value.size() || !IsDigit(value[dash + 1]))
    return;
  std::uint64_t end = ParseDecimal(value.substr(dash + 1));
  if (end < range.start) return;
  std::uint64_t span = end - range.start;
  if (span < static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    range.length = static_cast<std::int64_t>(span + 1);
}

using tessel::Trim;

// Whether a weight ("q=0.5") is above zero. Only zero in any spelling ("0", "0.", "0.000")
// refuses; a weight that is no number counts as accepted, as no weight does.
bool WeightAboveZero(std::string_view params) {
  for (std::size_t at = 0; at < params.size();) {
    std::size_t end = params.find(';', at);
    if (end == std::string_view::npos) end = params.size();
    const std::string_view param = Trim(params.substr(at, end - at));
    at = end + 1;
    if (param.size() < 2 || (param[0] != 'q' && param[0] != 'Q') || param[1] != '=') continue;
    const std::string_view value = Trim(param.substr(2));
    return value.empty() || value.find_first_not_of("0.") != std::string_view::npos ||
           value[0] != '0';
  }
  return true;
}

// gzip is taken when named with a weight above zero, or, when not named, when "*" is.
bool AcceptsGzip(std::string_view value) {
  std::optional<bool> named, any;
  for (std::size_t at = 0; at <= value.size();) {
    std::size_t end = value.find(',', at);
    if (end == std::string_view::npos) end = value.size();
    const std::string_view item = value.substr(at, end - at);
    at = end + 1;
    const std::size_t semicolon = item.find(';');
    const std::string_view coding = Trim(item.substr(0, semicolon));
    const bool weight =
        WeightAboveZero(semicolon == std::string_view::npos ? "" : item.substr(semicolon + 1));
    if (tessel::EqualsNoCase(coding, "gzip") || tessel::EqualsNoCase(coding, "x-gzip"))
      named = weight;
    else if (coding == "*")
      any = weight;
  }
  return named ? *named : any.value_or(false);
}

}  // namespace

void ParseHeaders(HttpRequest& request, const std::vector<std::string>& lines) {
  using tessel::StartsWithNoCase;
  constexpr std::string_view kGet = "GET ";
  constexpr std::string_view kPost = "POST ";
  constexpr std::string_view kAuthorization = "Authorization: ";
  constexpr std::string_view kRange = "Range: bytes=";
  constexpr std::string_view kMultipart = "Content-Type: multipart/form-data; boundary=";
  constexpr std::string_view kLength = "Content-Length: ";
  constexpr std::string_view kAcceptEncoding = "Accept-Encoding:";
  constexpr std::string_view kIfModifiedSince = "If-Modified-Since:";
  constexpr std::string_view kIfRange = "If-Range:";
  constexpr std::string_view kHost = "Host:";
  constexpr std::string_view kOrigin = "Origin:";
  constexpr std::string_view kReferer = "Referer:";
  constexpr std::string_view kFetchSite = "Sec-Fetch-Site:";
  constexpr std::string_view kConnection = "Connection:";
  constexpr std::string_view kExpect = "Expect:";
  constexpr std::string_view kTransferEncoding = "Transfer-Encoding:";

  if (!lines.empty()) {
    const std::string_view first = lines.front();
    constexpr std::string_view kVersion = " HTTP/1.1";
    request.http11 =
        first.size() >= kVersion.size() && first.substr(first.size() - kVersion.size()) == kVersion;
  }

  for (std::string_view line : lines) {
    if (StartsWithNoCase(line, kGet)) {
      request.method = HttpRequest::kGet;
      request.path = tessel::UrlDecode(TargetOf(line.substr(kGet.size())));
    } else if (StartsWithNoCase(line, kPost)) {
      request.method = HttpRequest::kPost;
      request.path = std::string(TargetOf(line.substr(kPost.size())));
    } else if (StartsWithNoCase(line, kAuthorization)) {
      ParseCredentials(request, line);
    } else if (StartsWithNoCase(line, kRange)) {
      ParseRange(request.range, line.substr(kRange.size()));
    } else if (StartsWithNoCase(line, kMultipart)) {
      request.boundary = std::string(line.substr(kMultipart.size()));
    } else if (StartsWithNoCase(line, kLength)) {
      request.content_length = ParseDecimal(line.substr(kLength.size()));
    } else if (StartsWithNoCase(line, kAcceptEncoding)) {
      request.accepts_gzip = AcceptsGzip(line.substr(kAcceptEncoding.size()));
    } else if (StartsWithNoCase(line, kIfModifiedSince)) {
      request.if_modified_since = tessel::ParseHttpDate(line.substr(kIfModifiedSince.size()));
    } else if (StartsWithNoCase(line, kIfRange)) {
      request.has_if_range = true;
      request.if_range = Trim(line.substr(kIfRange.size()));
    } else if (StartsWithNoCase(line, kHost)) {
      request.has_host = true;
      request.host = Trim(line.substr(kHost.size()));
    } else if (StartsWithNoCase(line, kOrigin)) {
      request.origin = Trim(line.substr(kOrigin.size()));
    } else if (StartsWithNoCase(line, kReferer)) {
      request.referer = Trim(line.substr(kReferer.size()));
    } else if (StartsWithNoCase(line, kFetchSite)) {
      request.fetch_site = Trim(line.substr(kFetchSite.size()));
    } else if (StartsWithNoCase(line, kConnection)) {
      for (std::string_view rest = line.substr(kConnection.size()); !rest.empty();) {
        const std::size_t comma = rest.find(',');
        if (tessel::EqualsNoCase(Trim(rest.substr(0, comma)), "close"))
          request.connection_close = true;
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      }
    } else if (StartsWithNoCase(line, kExpect)) {
      request.expect_continue =
          tessel::EqualsNoCase(Trim(line.substr(kExpect.size())), "100-continue");
    } else if (StartsWithNoCase(line, kTransferEncoding)) {
      request.body_chunked = true;
    }
  }
}
