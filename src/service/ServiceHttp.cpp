#include "service/ServiceHttp.h"

#include <string_view>
#include <utility>

using tessel::EqualsNoCase;

CServiceHttp::~CServiceHttp() {
  Stop();
}

bool CServiceHttp::Handle(ClientTask& task) {
  HttpRequest request;
  std::vector<std::string> lines;
  if (!ReadRequestHead(task, request, lines)) return false;

  const int socket = task.socket;
  if (EqualsNoCase(request.path, "/index.htm")) return SendAuthRequired(socket);
  if (EqualsNoCase(request.path, "/logout.htm")) return SendAuthRequired(socket);
  if (request.method != HttpRequest::kGet) return SendRedirectHome(socket);
  return SendNotFound(socket);
}

bool CServiceHttp::ReadRequestHead(const ClientTask& task, HttpRequest& request,
                                   std::vector<std::string>& lines) const {
  lines.clear();
  std::string line;
  for (;;) {
    if (!IsRunning() || !ReadLine(task.socket, line)) return false;
    // A header line is text: a NUL ends it.
    if (std::size_t nul = line.find('\0'); nul != std::string::npos) line.resize(nul);
    if (line.empty()) break;
    lines.push_back(std::move(line));
    if (lines.size() > kMaxHeaderLines) return false;
  }
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
