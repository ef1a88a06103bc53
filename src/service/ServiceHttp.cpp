#include "service/ServiceHttp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "service/FolderZipSender.h"
#include "service/RequestOrigin.h"
#include "service/UploadReceiver.h"

using tessel::EqualsNoCase;
using tessel::StartsWithNoCase;

namespace {

// Browsers apply a stylesheet only when its reply says it is one, and scripts deserve the same;
// everything else in the web folder goes out with the download type every file gets.
std::string_view WebFileType(std::string_view path) {
  auto ends_with = [path](std::string_view suffix) {
    return path.size() >= suffix.size() &&
           EqualsNoCase(path.substr(path.size() - suffix.size()), suffix);
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
  const std::string& path = request.path;

  // The first matching route answers; rules before the method check take any method.
  if (EqualsNoCase(path, "/index.htm"))
    return visitor.authenticated ? SendRedirectHome(socket) : SendAuthRequired(socket);
  if (EqualsNoCase(path, "/logout.htm")) return SendAuthRequired(socket);
  // Another site's page may make the owner's browser ask for a change: it gets no right to.
  if (StartsWithNoCase(path, "/remove.htm"))
    return visitor.allow_delete && !tessel::IsCrossSite(request)
               ? HandleRemove(socket, request, visitor)
               : SendAuthRequired(socket);
  if (EqualsNoCase(path, "/upload") && request.method == HttpRequest::kPost)
    return HandleUpload(socket, request, visitor);
  if (request.method != HttpRequest::kGet) return SendRedirectHome(socket);
  if (path == "/" || EqualsNoCase(path, "/download.htm?file=/"))
    return m_pages.SendShareListPage(socket, visitor.account, visitor.authenticated,
                                     visitor.allow_upload, visitor.allow_delete,
                                     request.accepts_gzip);
  if (EqualsNoCase(path, "/download.htm?file=/&icon=1"))
    return m_files.SendIcon(socket, "..", request.if_modified_since);
  return HandleResolvedPath(socket, request, visitor);
}

CServiceHttp::Visitor CServiceHttp::IdentifyVisitor(const HttpRequest& request) {
  Visitor visitor;
  const std::string& ip = request.client_ip;
  // A page of another site can point a name of its own at 127.0.0.1 and so reach us from this
  // machine in the owner's browser: only a Host no such page can send keeps the rights of the
  // machine's address. Browsers always send Host; its absence means some other client.
  std::string address = ip;
  if (ip.rfind("127.", 0) == 0 && request.has_host && !tessel::IsLocalHostName(request.host))
    address.clear();
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
  const int kind = m_stores.shares.ResolveRequestPath(request.path, name, local, &mode);
  if (kind == CDataFileShare::kPathNotFound) return SendNotFound(socket);
  // A public share admits everyone; only the others need the access check's lookups.
  if (kind != CDataFileShare::kPathWebFile && mode != FileShareRecord::kModePublic &&
      !m_stores.shares.CanAccessShare(name, visitor.account))
    return SendAuthRequired(socket);

  switch (kind) {
    case CDataFileShare::kPathFile:
      return HandleSharedFile(socket, request, visitor, name, local);
    case CDataFileShare::kPathFolder:
      return m_pages.SendFolderPage(socket, local, name, visitor.authenticated,
                                    visitor.allow_upload, request.accepts_gzip);
    case CDataFileShare::kPathFolderZip: {
      const std::uint64_t start = request.range_start;
      const auto length = static_cast<std::uint64_t>(request.range_length);
      const std::string& ip = request.client_ip;
      std::uint64_t sent = 0;
      m_stores.log.AddLog(ip, visitor.account, CDataLog::kDownloadFolder, name, start, length,
                          CDataLog::kPhaseStart);
      HandleFolderZip(socket, request, local, m_stores.shares.GetShareBoundary(name), sent);
      m_stores.log.AddLog(ip, visitor.account, CDataLog::kDownloadFolder, name, start, length,
                          CDataLog::kPhaseEnd);
      return true;
    }
    case CDataFileShare::kPathIcon:
      return m_files.SendIcon(socket, local, request.if_modified_since);
    case CDataFileShare::kPathWebFile: {
      std::uint64_t sent = 0;
      return m_files.SendWebFile(socket, local, request.range_start, request.range_length,
                                 request.range_suffix, request.if_modified_since,
                                 WebFileType(local), sent);
    }
  }
  return SendNotFound(socket);
}

bool CServiceHttp::HandleSharedFile(int socket, const HttpRequest& request, const Visitor& visitor,
                                    const std::string& relative_name,
                                    const std::string& local_path) {
  // The log states the range the visitor asked for, so it is settled against the file's size
  // first; a file gone meanwhile keeps the unknown length and fails to send below.
  std::uint64_t start = request.range_start;
  std::int64_t length = request.range_length;
  struct stat info {};
  if (stat(local_path.c_str(), &info) == 0) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (request.range_suffix > 0) {
      const std::uint64_t last = std::min(request.range_suffix, size);
      start = size - last;
      length = static_cast<std::int64_t>(last);
    } else if (length == -1) {
      length = static_cast<std::int64_t>(size);
    }
  }
  const std::string& ip = request.client_ip;
  const auto total = static_cast<std::uint64_t>(length);
  m_stores.log.AddLog(ip, visitor.account, CDataLog::kDownloadFile, relative_name, start, total,
                      CDataLog::kPhaseStart);
  std::uint64_t sent = 0;
  m_files.SendFile(socket, local_path, start, length, {}, sent);
  m_stores.log.AddLog(ip, visitor.account, CDataLog::kDownloadFile, relative_name, sent, total,
                      CDataLog::kPhaseEnd);
  return true;
}

bool CServiceHttp::HandleRemove(int socket, const HttpRequest& request, const Visitor& visitor) {
  std::string name, local;
  m_stores.shares.ResolveRequestPath(request.path, name, local);
  // A share whose file is gone must still be removable: its name is the value's first part.
  constexpr std::string_view kPrefix = "/remove.htm?file=";
  if (name.empty() && StartsWithNoCase(request.path, kPrefix)) {
    const std::string value = request.path.substr(kPrefix.size());
    name = value.substr(0, value.find('\\'));
  }
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
                                   std::uint64_t& bytes_sent) {
  CFolderZipSender sender(*this, m_files, m_zip_slots);
  sender.SetBoundary(boundary);
  return sender.SendFolderZip(socket, local_path, request.range_start, request.range_length,
                              bytes_sent, request.range_suffix);
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
