#include "service/ServiceHttp.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string_view>
#include <utility>

#include "base/AsciiText.h"
#include "base/RequestTarget.h"
#include "base/Utf8.h"
#include "service/FolderZipSender.h"
#include "service/RequestOrigin.h"
#include "service/UploadReceiver.h"

using tessel::Route;
using PathKind = CRequestResolver::PathKind;

namespace {

// Browsers apply a stylesheet only when its reply says it is one, and scripts deserve the same;
// everything else in the web folder goes out with the download type every file gets.
std::string_view WebFileType(std::string_view path) {
  auto ends_with = [path](std::string_view suffix) {
    return path.size() >= suffix.size() &&
           tessel::EqualsNoCase(path.substr(path.size() - suffix.size()), suffix);
  };
  if (ends_with(".css")) return "text/css; charset=utf-8";
  if (ends_with(".js")) return "text/javascript; charset=utf-8";
  return CFileSender::kDownloadType;
}

// What the end line of a transfer the owner stopped adds to its item.
constexpr std::string_view kStoppedNote = " (stopped)";

std::string EndItem(const std::string& item, const CTransferRegistry::Transfer& transfer,
                    const ReplyOutcome& outcome) {
  if (!transfer.Stopped() || outcome.complete) return item;
  return item + std::string(kStoppedNote);
}

}  // namespace

// The activity log's lines of one request: a start line as a transfer begins, and at most one
// end line, which Handle writes once the reply is over.
class CServiceHttp::Activity {
 public:
  Activity(CDataLog& log, const std::string& ip, const std::string& account)
      : m_log(log), m_ip(ip), m_account(account) {}

  void Start(int kind, const std::string& name, std::uint64_t position, std::uint64_t length) {
    m_log.AddLog(m_ip, m_account, kind, name, position, length, CDataLog::kPhaseStart);
  }
  void End(int kind, std::string name, std::uint64_t position, std::uint64_t length) {
    m_end = {kind, std::move(name), position, length};
    m_ended = true;
  }
  // A line of its own, for what has no end line.
  void Note(const std::string& what) {
    m_log.AddNotice("user(" + m_account + ":" + m_ip + ") " + what);
  }
  const std::string& Ip() const { return m_ip; }
  const std::string& Account() const { return m_account; }
  void WriteEnd() {
    if (m_ended)
      m_log.AddLog(m_ip, m_account, m_end.kind, m_end.name, m_end.position, m_end.length,
                   CDataLog::kPhaseEnd);
  }

 private:
  struct Line {
    int kind = 0;
    std::string name;
    std::uint64_t position = 0;
    std::uint64_t length = 0;
  };
  CDataLog& m_log;
  const std::string& m_ip;
  const std::string& m_account;
  Line m_end;
  bool m_ended = false;
};

CServiceHttp::CServiceHttp(CThreadPool& pool, const HttpStores& stores,
                           std::chrono::milliseconds io_timeout,
                           std::chrono::milliseconds head_timeout)
    : CServiceBasic(pool, io_timeout, head_timeout),
      m_stores(stores),
      m_resolver(stores.shares),
      m_pages(stores.shares, stores.settings),
      m_zip_slots(CFolderZipSender::kMaxWalks) {}

CServiceHttp::~CServiceHttp() {
  Stop();
}

bool CServiceHttp::Handle(CConnection& connection) {
  // A TLS session began with the connection's first bytes and carries all its requests.
  if (connection.HasOwnTransport()) return HandleSecure(connection);
  // Only a connection's first bytes can open TLS; its later heads, and the rest of a head that
  // waited without a worker, are plain.
  if (!m_tls_context || !connection.Fresh()) return HandleRequest(connection, false);
  std::unique_ptr<CTlsTransport> tls;
  switch (StartTls(connection, tls)) {
    case Opening::kPlain:
      return HandleRequest(connection, false);
    case Opening::kEnd:
      return false;
    case Opening::kTls:
      break;
  }
  connection.UseTransport(std::move(tls));
  return HandleSecure(connection);
}

bool CServiceHttp::HandleSecure(CConnection& connection) {
  if (HandleRequest(connection, true)) return true;
  // close_notify: the client learns the reply ended where it did, not that it was cut.
  connection.ShutdownWrite();
  return false;
}

CServiceHttp::Opening CServiceHttp::StartTls(CConnection& connection,
                                             std::unique_ptr<CTlsTransport>& tls) {
  const int socket = connection.Descriptor();
  const auto deadline = connection.HeadDeadline();
  // Waits for events up to the deadline, a second at a time so a stop is noticed.
  const auto wait = [&](short events) {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || !IsRunning()) return false;
      pollfd entry{socket, events, 0};
      const int ready = poll(&entry, 1, static_cast<int>(std::min<long>(left.count(), 1000)));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  };
  unsigned char first = 0;
  for (;;) {
    const ssize_t peeked = recv(socket, &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked == 1) break;
    if (peeked == 0 || (errno != EAGAIN && errno != EINTR) || !wait(POLLIN)) return Opening::kEnd;
  }
  if (first != CTlsTransport::kHandshakeRecord) return Opening::kPlain;
  // A session writes record after record (tickets, a reply's head, its body): on a kept
  // connection Nagle would hold each small last one until the client's delayed ACK, 40 ms.
  const int on = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (m_certificates) m_certificates->Refresh();
  tls = std::make_unique<CTlsTransport>(m_tls_context->Current(), socket);
  for (;;) {
    switch (tls->Handshake()) {
      case CTlsTransport::Step::kDone:
        return Opening::kTls;
      case CTlsTransport::Step::kWantRead:
        if (!wait(POLLIN)) return Opening::kEnd;
        break;
      case CTlsTransport::Step::kWantWrite:
        if (!wait(POLLOUT)) return Opening::kEnd;
        break;
      case CTlsTransport::Step::kFailed:
        return Opening::kEnd;
    }
  }
}

bool CServiceHttp::HandleRequest(CConnection& connection, bool secure) {
  // A head still coming in waits for the rest without a worker.
  switch (connection.ReceiveHead()) {
    case CConnection::HeadArrival::kGone:
      return false;
    case CConnection::HeadArrival::kPartial:
      connection.WaitForHead();
      return connection.IsRunning();
    case CConnection::HeadArrival::kWhole:
      break;
  }
  HttpRequest request;
  std::vector<std::string> lines;
  if (!ReadRequestHead(connection, request, lines)) return false;
  request.secure = secure;
  // An HTTP/1.1 client may send its next request on this connection, unless it says otherwise,
  // the connection has carried its share, or a body of the request would stay unread.
  const bool body_read = request.content_length == 0 ||
                         (request.method == HttpRequest::kPost &&
                          tessel::ParseRequestTarget(request.path).route == Route::kUpload);
  connection.SetKeepAlive(request.http11 && !request.connection_close && !request.body_chunked &&
                          body_read && connection.CountRequest() < kMaxRequestsPerConnection);
  // The certificate authority's validation, from anywhere: it proves this address is ours.
  if (m_challenges && request.method == HttpRequest::kGet) {
    if (const auto answer = m_challenges->Answer(request.path)) {
      connection.SetKeepAlive(false);
      connection.SendString("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                            std::to_string(answer->size()) + "\r\n\r\n" + *answer);
      return false;  // an HTTP/1.0 reply: the connection ends
    }
  }
  // With a certificate browsers trust, friends on the Internet use https: neither their password
  // nor the files cross the Internet in clear. The LAN keeps plain HTTP.
  if (!secure && m_certificates && m_certificates->Trusted() &&
      !tessel::IsLanAddress(request.client_ip)) {
    connection.SetKeepAlive(false);
    if (!request.user_name.empty() || !request.password.empty()) {
      SendFixedReply(connection, FixedReply::kAuthRequired);
      return false;
    }
    SendSecureRedirect(connection, request, lines.front());
    return false;
  }
  const Visitor visitor = IdentifyVisitor(request);
  Activity activity(m_stores.log, request.client_ip, visitor.account);
  const ReplyOutcome outcome = Dispatch(connection, request, visitor, activity);
  activity.WriteEnd();
  if (!outcome.complete || !connection.KeepAlive()) return false;
  connection.BeginIdle();
  return true;
}

ReplyOutcome CServiceHttp::Dispatch(CConnection& connection, const HttpRequest& request,
                                    const Visitor& visitor, Activity& activity) {
  const Route route = tessel::ParseRequestTarget(request.path).route;
  // The first matching route answers; rules before the method check take any method.
  if (route == Route::kLogin)
    return SendFixedReply(
        connection, visitor.authenticated ? FixedReply::kRedirectHome : FixedReply::kAuthRequired);
  if (route == Route::kLogout) return SendFixedReply(connection, FixedReply::kAuthRequired);
  // Another site's page may make the owner's browser ask for a change: it gets no right to.
  if (route == Route::kRemove)
    return visitor.allow_delete && !tessel::IsCrossSite(request)
               ? HandleRemove(connection, request, visitor, activity)
               : SendFixedReply(connection, FixedReply::kAuthRequired);
  if (route == Route::kUpload && request.method == HttpRequest::kPost)
    return HandleUpload(connection, request, visitor, activity);
  if (request.method != HttpRequest::kGet)
    return SendFixedReply(connection, FixedReply::kRedirectHome);
  if (route == Route::kShareList)
    return m_pages.SendShareListPage(connection, visitor.account, visitor.authenticated,
                                     visitor.allow_upload, visitor.allow_delete,
                                     request.accepts_gzip);
  if (route == Route::kParentIcon)
    return m_files.SendIcon(connection, "..", request.if_modified_since);
  return HandleResolvedPath(connection, request, visitor, activity);
}

ReplyOutcome CServiceHttp::SendSecureRedirect(CConnection& connection, const HttpRequest& request,
                                              std::string_view request_line) {
  // The same target as asked, as sent (the parsed path is decoded).
  const std::size_t start = request_line.find(' ');
  const std::size_t end = request_line.rfind(' ');
  std::string_view target = "/";
  if (start != std::string_view::npos && end > start + 1)
    target = request_line.substr(start + 1, end - start - 1);
  if (target.empty() || target.front() != '/') target = "/";
  // The host the visitor asked for, without its port (https has its own); a name that is no
  // plain host name gives way to the certificate's own.
  std::string host = request.host;
  if (!host.empty() && host.front() != '[') host = host.substr(0, host.find(':'));
  const bool plain_name =
      !host.empty() && host.find_first_not_of(
                           "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                           "0123456789.-[]:") == std::string::npos;
  if (!plain_name) {
    const auto certificate = m_tls_context->Certificate();
    const auto names = certificate ? certificate->Names() : std::vector<std::string>{};
    host = names.empty() ? "localhost" : names.front();
  }
  CReplyHead head("HTTP/1.1", 302, "Found");
  head.Add("Location", "https://" + host + std::string(target))
      .Add("Content-Length", std::uint64_t{0})
      .Add("Connection", "close");
  ReplyOutcome outcome{head.Status(), 0, connection.SendString(head.Finish())};
  return outcome;
}

CServiceHttp::Visitor CServiceHttp::IdentifyVisitor(const HttpRequest& request) {
  Visitor visitor;
  const std::string& ip = request.client_ip;
  // A page of another site can point a name of its own at our address and so reach us from the
  // browser of this machine or of a friend's with an address account: only a Host no such page
  // can send keeps the rights of an address. Browsers always send Host; its absence means some
  // other client.
  std::string address = ip;
  if (request.has_host && !tessel::IsLocalHostName(request.host)) address.clear();
  std::string user = request.user_name;
  std::string password = request.password;
  const bool attempt = !user.empty() || !password.empty();
  const bool checked = !attempt || (m_throttle.Admits(ip) && m_throttle.AdmitsAccount(user));
  if (!checked) {
    user.clear();
    password.clear();
  }
  AccountRecord record;
  if (!m_stores.accounts.CheckLogin(user, password, address, record)) {
    if (attempt && checked && m_throttle.Failed(ip)) {
      m_stores.log.AddNotice("user(:" + ip + ") logins refused after " +
                             std::to_string(CLoginThrottle::kMaxFailures) +
                             " failed within a minute, until a minute passes without one");
    }
    if (attempt && checked && m_throttle.AccountFailed(user)) {
      m_stores.log.AddNotice("user(" + tessel::SafeName(user) + ":) logins slowed after " +
                             std::to_string(CLoginThrottle::kMaxAccountFailures) +
                             " failed within a minute, until fewer fail within one");
    }
    return visitor;
  }
  visitor.authenticated = true;
  visitor.account = record.account_name;
  visitor.allow_upload = record.allow_upload != 0;
  visitor.allow_delete = record.allow_delete != 0;
  return visitor;
}

ReplyOutcome CServiceHttp::HandleResolvedPath(CConnection& connection, const HttpRequest& request,
                                              const Visitor& visitor, Activity& activity) {
  std::string name, local;
  int mode = FileShareRecord::kModeAuth;
  std::int64_t size = -1;
  const PathKind kind = m_resolver.Resolve(request.path, name, local, &mode, &size);
  if (kind == PathKind::kNotFound) return SendFixedReply(connection, FixedReply::kNotFound);
  // A public share admits everyone; only the others need the access check's lookups.
  if (kind != PathKind::kWebFile && mode != FileShareRecord::kModePublic &&
      !m_stores.shares.CanAccessShare(name, visitor.account))
    return SendFixedReply(connection, FixedReply::kAuthRequired);

  switch (kind) {
    case PathKind::kFile:
      return HandleSharedFile(connection, request, name, local, size, mode, activity);
    case PathKind::kFolder:
      return m_pages.SendFolderPage(connection, local, name, visitor.authenticated,
                                    visitor.allow_upload, request.accepts_gzip);
    case PathKind::kFolderZip:
      return HandleFolderZip(connection, request, name, local, mode, activity);
    case PathKind::kIcon:
      return m_files.SendIcon(connection, local, request.if_modified_since);
    case PathKind::kWebFile:
      return m_files.SendWebFile(connection, local, request.range, request.if_modified_since,
                                 WebFileType(local));
    case PathKind::kNotFound:
      break;
  }
  return SendFixedReply(connection, FixedReply::kNotFound);
}

ReplyOutcome CServiceHttp::HandleSharedFile(CConnection& connection, const HttpRequest& request,
                                            const std::string& relative_name,
                                            const std::string& local_path, std::int64_t file_size,
                                            int mode, Activity& activity) {
  // The log states the range the visitor asked for, so it is settled against the file's size
  // (as the path's resolution found it) first; a file gone meanwhile fails to send below.
  ByteRange range = request.range;
  if (file_size >= 0) {
    const auto size = static_cast<std::uint64_t>(file_size);
    if (range.suffix > 0) {
      const ByteRange::Span last = range.Resolve(size);
      range = ByteRange{last.start, static_cast<std::int64_t>(last.length), 0};
    } else if (range.length == -1) {
      range.length = static_cast<std::int64_t>(size);
    }
  }
  const auto total = static_cast<std::uint64_t>(range.length);
  activity.Start(CDataLog::kDownloadFile, relative_name, range.start, total);
  const CTransferRegistry::Transfer transfer(m_transfers, connection, activity.Account(),
                                             activity.Ip(), relative_name,
                                             CTransferRegistry::Direction::kDownload, range.length);
  const ReplyOutcome outcome =
      m_files.SendFile(connection, local_path, range, {}, CFileSender::kDownloadType,
                       mode != FileShareRecord::kModePublic);
  activity.End(CDataLog::kDownloadFile, EndItem(relative_name, transfer, outcome),
               outcome.body_sent, total);
  return outcome;
}

ReplyOutcome CServiceHttp::HandleFolderZip(CConnection& connection, const HttpRequest& request,
                                           const std::string& relative_name,
                                           const std::string& local_path, int mode,
                                           Activity& activity) {
  const std::uint64_t start = request.range.start;
  const auto length = static_cast<std::uint64_t>(request.range.length);
  activity.Start(CDataLog::kDownloadFolder, relative_name, start, length);
  CTransferRegistry::Transfer transfer(m_transfers, connection, activity.Account(), activity.Ip(),
                                       relative_name, CTransferRegistry::Direction::kDownload, -1);
  CFolderZipSender sender(m_zip_slots, m_zip_crcs);
  sender.Track(&transfer);
  sender.SetBoundary(m_stores.shares.GetShareBoundary(relative_name));
  sender.SetPrivate(mode != FileShareRecord::kModePublic);
  CFolderZipSender::Report report;
  const ReplyOutcome outcome = sender.SendFolderZip(connection, local_path, request, report);
  // Once the walk has sized the archive, the end line says, as a file's does, what was sent of
  // the part asked for, and names the files that changed while they were sent.
  std::string item = EndItem(relative_name, transfer, outcome);
  for (std::size_t i = 0; i < report.changed.size(); ++i)
    item += (i == 0 ? " (changed while sent: " : ", ") + report.changed[i];
  if (!report.changed.empty()) item += ")";
  activity.End(CDataLog::kDownloadFolder, item, report.walked ? outcome.body_sent : start,
               report.walked ? report.span.length : length);
  return outcome;
}

ReplyOutcome CServiceHttp::HandleRemove(CConnection& connection, const HttpRequest& request,
                                        const Visitor& visitor, Activity& activity) {
  // The share is named by the value's first part, so that one whose file is gone is still
  // removable.
  const std::string name(tessel::ParseRequestTarget(request.path).ShareName());
  // Only the visitor's own uploads match; the log tells only of a share really removed.
  FileShareRecord share;
  const bool existed = !name.empty() && m_stores.shares.GetShare(name, share);
  if (existed && m_stores.shares.RemoveUploaderShare(name, visitor.account) &&
      !m_stores.shares.GetShare(name, share)) {
    activity.End(CDataLog::kRemoveShare, name, 0, 0);
  }
  return SendFixedReply(connection, FixedReply::kRedirectHome);
}

ReplyOutcome CServiceHttp::HandleUpload(CConnection& connection, const HttpRequest& request,
                                        const Visitor& visitor, Activity& activity) {
  CUploadReceiver receiver(m_stores.shares);
  if (!visitor.allow_upload || tessel::IsCrossSite(request)) {
    // The body is not read: the connection ends after the reply, which is today's.
    connection.SetKeepAlive(false);
    const ReplyOutcome refused = SendFixedReply(connection, FixedReply::kAuthRequired);
    // A client that waits for the go-ahead sends no body at all.
    if (request.http11 && request.expect_continue)
      connection.ShutdownWrite();
    else
      receiver.DiscardRequestBody(connection, request.content_length);
    return refused;
  }
  if (request.http11 && request.expect_continue &&
      !connection.SendString("HTTP/1.1 100 Continue\r\n\r\n"))
    return {};
  activity.Start(CDataLog::kUploadFile, "", 0, 0);
  CTransferRegistry::Transfer transfer(m_transfers, connection, activity.Account(), activity.Ip(),
                                       "", CTransferRegistry::Direction::kUpload,
                                       static_cast<std::int64_t>(request.content_length));
  receiver.Track(&transfer);
  std::uint64_t length = 0;
  std::string local;
  bool everybody = true;
  if (!receiver.ReceiveUpload(connection, m_stores.settings.GetUploadPath(), request.content_length,
                              request.boundary, length, local, everybody)) {
    // An upload that fails has no end line; one the owner stopped says so.
    if (transfer.Stopped()) activity.Note("upload file stopped");
    return {};
  }
  bool busy = false;
  const std::string name = m_stores.shares.ShareFile(
      local, visitor.account, everybody ? FileShareRecord::kModePublic : FileShareRecord::kModeAuth,
      &busy);
  if (name.empty()) {
    unlink(local.c_str());  // a file nobody can see or remove would only take room
    // Another program holds the database: the visitor may try again (the store logs it).
    return busy ? SendFixedReply(connection, FixedReply::kBusy) : ReplyOutcome{};
  }
  activity.End(CDataLog::kUploadFile, name, length, length);
  return SendFixedReply(connection, FixedReply::kRedirectHome);
}

bool CServiceHttp::ReadRequestHead(CConnection& connection, HttpRequest& request,
                                   std::vector<std::string>& lines) const {
  lines.clear();
  bool too_many = false;
  const bool ended = connection.ReadLines(
      [&](std::string& line) {
        // A header line is text: a NUL ends it.
        if (std::size_t nul = line.find('\0'); nul != std::string::npos) line.resize(nul);
        if (line.empty()) return false;
        lines.push_back(std::move(line));
        too_many = lines.size() > kMaxHeaderLines;
        return !too_many;
      },
      kLineCapacity, connection.HeadDeadline());
  if (!ended || too_many) return false;
  request = HttpRequest{};
  request.client_ip = connection.PeerIp();
  ParseHeaders(request, lines);
  return true;
}
