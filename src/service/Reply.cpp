#include "service/Reply.h"

#include "service/Connection.h"

namespace {

struct Fixed {
  int status;
  std::string_view bytes;  // the reply that ends its connection
  std::string_view kept;   // the HTTP/1.1 reply after which the connection goes on: framed
};

// In the order of FixedReply.
constexpr Fixed kFixedReplies[] = {
    {404, "HTTP/1.0 404 Resource not found\r\n",
     "HTTP/1.1 404 Resource not found\r\nContent-Length: 0\r\n\r\n"},
    {401,
     "HTTP/1.0 401 No cigar\r\n"
     "Server: WWW\r\n"
     "WWW-Authenticate: Basic realm=\"Tessel Authenticate\"\r\n"
     "Cache-control: no-cache\r\n"
     "\r\n"
     "<html><head><meta http-equiv=\"Refresh\" content=\"0;url=/\"></head></html>",
     "HTTP/1.1 401 No cigar\r\n"
     "Server: WWW\r\n"
     "WWW-Authenticate: Basic realm=\"Tessel Authenticate\"\r\n"
     "Cache-control: no-cache\r\n"
     "Content-Length: 71\r\n"
     "\r\n"
     "<html><head><meta http-equiv=\"Refresh\" content=\"0;url=/\"></head></html>"},
    {302,
     "HTTP/1.1 302 Found\r\n"
     "Server: Tessel\r\n"
     "Pragma: no-cache,no-store\r\n"
     "Cache-control: no-cache,no-store\r\n"
     "Location: /\r\n"
     "\r\n",
     "HTTP/1.1 302 Found\r\n"
     "Server: Tessel\r\n"
     "Pragma: no-cache,no-store\r\n"
     "Cache-control: no-cache,no-store\r\n"
     "Location: /\r\n"
     "Content-Length: 0\r\n"
     "\r\n"},
    {503,
     "HTTP/1.0 503 Service Unavailable\r\n"
     "Retry-After: 10\r\n"
     "Content-Length: 0\r\n"
     "\r\n",
     "HTTP/1.1 503 Service Unavailable\r\n"
     "Retry-After: 10\r\n"
     "Content-Length: 0\r\n"
     "\r\n"},
};

}  // namespace

CReplyHead::CReplyHead(std::string_view version, int status, std::string_view reason)
    : m_status(status) {
  m_text.reserve(256);
  m_text.append(version).append(" ").append(std::to_string(status)).append(" ").append(reason);
  m_text += "\r\n";
}

CReplyHead& CReplyHead::Add(std::string_view name, std::string_view value) {
  m_text.append(name).append(": ").append(value) += "\r\n";
  return *this;
}

CReplyHead& CReplyHead::Add(std::string_view name, std::uint64_t value) {
  return Add(name, std::string_view(std::to_string(value)));
}

std::string& CReplyHead::Finish() {
  m_text += "\r\n";
  return m_text;
}

std::string_view FixedReplyBytes(FixedReply reply, bool kept) {
  const Fixed& fixed = kFixedReplies[static_cast<int>(reply)];
  return kept ? fixed.kept : fixed.bytes;
}

int FixedReplyStatus(FixedReply reply) {
  return kFixedReplies[static_cast<int>(reply)].status;
}

ReplyOutcome SendFixedReply(CConnection& connection, FixedReply reply) {
  const bool sent = connection.SendString(FixedReplyBytes(reply, connection.KeepAlive()));
  return {FixedReplyStatus(reply), 0, sent};
}
