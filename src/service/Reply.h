#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class CConnection;

// What a reply came to: its status (0 when nothing was sent), the body bytes delivered, and
// whether all of it went out.
struct ReplyOutcome {
  int status = 0;
  std::uint64_t body_sent = 0;
  bool complete = false;
};

// A reply head in the making: the status line, then header lines, then the empty line.
class CReplyHead {
 public:
  // version is "HTTP/1.0" or "HTTP/1.1"; reason the status's text.
  CReplyHead(std::string_view version, int status, std::string_view reason);

  CReplyHead& Add(std::string_view name, std::string_view value);
  CReplyHead& Add(std::string_view name, std::uint64_t value);
  // Ends the head: the text to send, to which a body may be appended.
  std::string& Finish();
  int Status() const { return m_status; }

 private:
  std::string m_text;
  int m_status;
};

// The replies that never change, byte for byte.
enum class FixedReply {
  kNotFound,      // 404, a status line alone
  kAuthRequired,  // 401 asking for a login, with a page that goes home
  kRedirectHome,  // 302 to "/"
  kBusy,          // 503: try again in a few seconds
};

// The bytes of reply, and its status. kept: the HTTP/1.1 form of a connection that goes on.
std::string_view FixedReplyBytes(FixedReply reply, bool kept = false);
int FixedReplyStatus(FixedReply reply);
// Sends reply on connection, in the form its keep-alive state asks for.
ReplyOutcome SendFixedReply(CConnection& connection, FixedReply reply);
