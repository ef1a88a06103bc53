#include "service/ServiceHttp.h"

#include <unistd.h>

#include <string_view>
#include <utility>

#include "base/AsciiText.h"
#include "base/RequestTarget.h"
#include "service/FolderZipSender.h"
#include "service/RequestOrigin.h"
#include "service/UploadReceiver.h"

using tessel::Route;
using PathKind = CDataFileShare::PathKind;

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

}  // namespace

CServiceHttp::CServiceHttp(CThreadPool& pool, const HttpStores& stores,
                           std::chrono::milliseconds io_timeout,
                           std::chrono::milliseconds head_timeout)
    : CServiceBasic(pool, io_timeout, head_timeout),
      m_stores(stores),
      m_pages(*this, stores.shares, stores.settings),
      m_files(*this),
      m_zip_slots(CFolderZipSender::kMaxArchives) {}

CServiceHttp::~CServiceHttp() {
  Stop();
}

bool CServiceHttp::Handle(ClientTask& task) {
  HttpRequest request;
  std::vector<std::string> lines;
  if (!ReadRequestHead(task, request, lines)) return false;
  const Visitor visitor = IdentifyVisitor(request);
  const int socket = task.socket;
  const Route route = tessel::ParseRequestTarget(request.path).route;

  // The first matching route answers; rules before the method check take any method.
  if (route == Route::kLogin)
    return visitor.authenticated ? SendRedirectHome(socket) : SendAuthRequired(socket);
  if (route == Route::kLogout) return SendAuthRequired(socket);
  // Another site's page may make the owner's browser ask for a change: it gets no right to.
  if (route == Route::kRemove)
    return visitor.allow_delete && !tessel::IsCrossSite(request)
               ? HandleRemove(socket, request, visitor)
               : SendAuthRequired(socket);
  if (route == Route::kUpload && request.method == HttpRequest::kPost)
    return HandleUpload(socket, request, visitor);
  if (request.method != HttpRequest::kGet) return SendRedirectHome(socket);
  if (route == Route::kShareList)
    return m_pages.SendShareListPage(socket, visitor.account, visitor.authenticated,
                                     visitor.allow_upload, visitor.allow_delete,
                                     request.accepts_gzip);
  if (route == Route::kParentIcon) return m_files.SendIcon(socket, "..", request.if_modified_since);
  return HandleResolvedPath(socket, request, visitor);
}

CServiceHttp::Visitor CServiceHttp::IdentifyVisitor(const HttpRequest& request) {
  Visitor visitor;
  const std::string& ip = request.client_ip;
  // A page of another site can point a name of its own at 127.0.0.1 (or ::1) and so reach us from
  // this machine in the owner's browser: only a Host no such page can send keeps the rights of the
  // machine's address. Browsers always send Host; its absence means some other client.
  std::string address = ip;
  const bool loopback = ip.rfind("127.", 0) == 0 || ip == "::1";
  if (loopback && request.has_host && !tessel::IsLocalHostName(request.host)) address.clear();
  std::string user = request.user_name;
  std::string password = request.password;
  const bool attempt = !user.empty() || !password.empty();
  const bool checked = !attempt || m_throttle.Admits(ip);
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
    return visitor;
  }
  visitor.authenticated = true;
  visitor.account = record.account_name;
  visitor.allow_upload = record.allow_upload != 0;
  visitor.allow_delete = record.allow_delete != 0;
  return visitor;
}

bool CServiceHttp::HandleResolvedPath(int socket, const HttpRequest& request,
                                      const Visitor& visitor) {
  std::string name, local;
  int mode = FileShareRecord::kModeAuth;
  std::int64_t size = -1;
  const PathKind kind = m_stores.shares.ResolveRequestPath(request.path, name, local, &mode, &size);
  if (kind == PathKind::kNotFound) return SendNotFound(socket);
  // A public share admits everyone; only the others need the access check's lookups.
  if (kind != PathKind::kWebFile && mode != FileShareRecord::kModePublic &&
      !m_stores.shares.CanAccessShare(name, visitor.account))
    return SendAuthRequired(socket);

  switch (kind) {
    case PathKind::kFile:
      return HandleSharedFile(socket, request, visitor, name, local, size);
    case PathKind::kFolder:
      return m_pages.SendFolderPage(socket, local, name, visitor.authenticated,
                                    visitor.allow_upload, request.accepts_gzip);
    case PathKind::kFolderZip: {
      const std::uint64_t start = request.range.start;
      const auto length = static_cast<std::uint64_t>(request.range.length);
      const std::string& ip = request.client_ip;
      std::uint64_t sent = 0;
      m_stores.log.AddLog(ip, visitor.account, CDataLog::kDownloadFolder, name, start, length,
                          CDataLog::kPhaseStart);
      // The archive's size is known only once it is built: the end line then says, as a file's
      // does, what was sent of the part asked for, rather than repeating the request's range.
      std::uint64_t size = CDataLog::kUnknownSize;
      HandleFolderZip(socket, request, local, m_stores.shares.GetShareBoundary(name), sent, &size);
      const bool built = size != CDataLog::kUnknownSize;
      m_stores.log.AddLog(ip, visitor.account, CDataLog::kDownloadFolder, name,
                          built ? sent : start, built ? request.range.Resolve(size).length : length,
                          CDataLog::kPhaseEnd);
      return true;
    }
    case PathKind::kIcon:
      return m_files.SendIcon(socket, local, request.if_modified_since);
    case PathKind::kWebFile: {
      std::uint64_t sent = 0;
      return m_files.SendWebFile(socket, local, request.range, request.if_modified_since,
                                 WebFileType(local), sent);
    }
    case PathKind::kNotFound:
      break;
  }
  return SendNotFound(socket);
}

bool CServiceHttp::HandleSharedFile(int socket, const HttpRequest& request, const Visitor& visitor,
                                    const std::string& relative_name, const std::string& local_path,
                                    std::int64_t file_size) {
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
  const std::string& ip = request.client_ip;
  const auto total = static_cast<std::uint64_t>(range.length);
  m_stores.log.AddLog(ip, visitor.account, CDataLog::kDownloadFile, relative_name, range.start,
                      total, CDataLog::kPhaseStart);
  std::uint64_t sent = 0;
  m_files.SendFile(socket, local_path, range, {}, sent);
  m_stores.log.AddLog(ip, visitor.account, CDataLog::kDownloadFile, relative_name, sent, total,
                      CDataLog::kPhaseEnd);
  return true;
}

bool CServiceHttp::HandleRemove(int socket, const HttpRequest& request, const Visitor& visitor) {
  // The share is named by the value's first part, so that one whose file is gone is still
  // removable.
  const std::string name(tessel::ParseRequestTarget(request.path).ShareName());
  // Only the visitor's own uploads match; the log tells only of a share really removed.
  FileShareRecord share;
  const bool existed = !name.empty() && m_stores.shares.GetShare(name, share);
  if (existed && m_stores.shares.RemoveUploaderShare(name, visitor.account) &&
      !m_stores.shares.GetShare(name, share)) {
    m_stores.log.AddLog(request.client_ip, visitor.account, CDataLog::kRemoveShare, name, 0, 0,
                        CDataLog::kPhaseEnd);
  }
  return SendRedirectHome(socket);
}

bool CServiceHttp::HandleUpload(int socket, const HttpRequest& request, const Visitor& visitor) {
  const CUploadReceiver receiver(*this, m_stores.shares);
  if (!visitor.allow_upload || tessel::IsCrossSite(request)) {
    SendAuthRequired(socket);
    receiver.DiscardRequestBody(socket, request.content_length);
    return true;
  }
  const std::string& ip = request.client_ip;
  m_stores.log.AddLog(ip, visitor.account, CDataLog::kUploadFile, "", 0, 0, CDataLog::kPhaseStart);
  std::uint64_t length = 0;
  std::string local;
  bool everybody = true;
  if (!receiver.ReceiveUpload(socket, m_stores.settings.GetUploadPath(), request.content_length,
                              request.boundary, length, local, everybody)) {
    return false;
  }
  const std::string name = m_stores.shares.ShareFile(
      local, visitor.account,
      everybody ? FileShareRecord::kModePublic : FileShareRecord::kModeAuth);
  if (name.empty()) {
    unlink(local.c_str());  // a file nobody can see or remove would only take room
    return false;
  }
  m_stores.log.AddLog(ip, visitor.account, CDataLog::kUploadFile, name, length, length,
                      CDataLog::kPhaseEnd);
  return SendRedirectHome(socket);
}

bool CServiceHttp::HandleFolderZip(int socket, const HttpRequest& request,
                                   const std::string& local_path, const CShareBoundary& boundary,
                                   std::uint64_t& bytes_sent, std::uint64_t* archive_size) {
  CFolderZipSender sender(*this, m_files, m_zip_slots);
  sender.SetBoundary(boundary);
  return sender.SendFolderZip(socket, local_path, request.range, bytes_sent, archive_size);
}

bool CServiceHttp::ReadRequestHead(const ClientTask& task, HttpRequest& request,
                                   std::vector<std::string>& lines) const {
  lines.clear();
  bool too_many = false;
  const bool ended = ReadLines(
      task.socket,
      [&](std::string& line) {
        // A header line is text: a NUL ends it.
        if (std::size_t nul = line.find('\0'); nul != std::string::npos) line.resize(nul);
        if (line.empty()) return false;
        lines.push_back(std::move(line));
        too_many = lines.size() > kMaxHeaderLines;
        return !too_many;
      },
      kLineCapacity, HeadDeadline(task));
  if (!ended || too_many) return false;
  request = HttpRequest{};
  request.client_ip = task.PeerIp();
  ParseHeaders(request, lines);
  return true;
}

bool CServiceHttp::SendNotFound(int socket) const {
  return SendString(socket, "HTTP/1.0 404 Resource not found\r\n");
}

bool CServiceHttp::SendAuthRequired(int socket) const {
  return SendString(socket,
                    "HTTP/1.0 401 No cigar\r\n"
                    "Server: WWW\r\n"
                    "WWW-Authenticate: Basic realm=\"Tessel Authenticate\"\r\n"
                    "Cache-control: no-cache\r\n"
                    "\r\n") &&
         SendString(socket,
                    "<html><head><meta http-equiv=\"Refresh\" content=\"0;url=/\"></head></html>");
}

bool CServiceHttp::SendRedirectHome(int socket) const {
  return SendString(socket,
                    "HTTP/1.1 302 Found\r\n"
                    "Server: Tessel\r\n"
                    "Pragma: no-cache,no-store\r\n"
                    "Cache-control: no-cache,no-store\r\n"
                    "Location: /\r\n"
                    "\r\n");
}
