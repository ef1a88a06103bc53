#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "service/FileSender.h"
#include "service/HttpRequest.h"
#include "service/ServiceBasic.h"
#include "service/SharePages.h"
#include "store/DataAccount.h"
#include "store/DataFileShare.h"
#include "store/DataLog.h"
#include "store/DataSystem.h"

// The stores a request consults. They must be open and outlive the service.
struct HttpStores {
  CDataAccount& accounts;
  CDataFileShare& shares;
  CDataSystem& settings;
  CDataLog& log;
};

// The HTTP service: one request per connection, answered and then closed by the pool. Visitors
// are identified on every request; the shares, the web folder (program folder of the share store
// + "/web") and the pages are reached through the stores.
class CServiceHttp : public CServiceBasic {
 public:
  // A request head of more lines than this is dropped without a reply.
  static constexpr std::size_t kMaxHeaderLines = 100;

  CServiceHttp(CThreadPool& pool, const HttpStores& stores,
               std::chrono::milliseconds io_timeout = kIoTimeout,
               std::chrono::milliseconds head_timeout = kHeadTimeout);
  ~CServiceHttp() override;

  // Reads the head, identifies the visitor and answers by route.
  bool Handle(ClientTask& task) override;

  // Reads the head's lines up to the empty line that ends it and parses them into request (the
  // client IP from the task's peer). False, with nothing sent, when the connection ends, fails or
  // times out first, the head is not whole by the task's head deadline, the service stops, or
  // the head has more than kMaxHeaderLines lines.
  bool ReadRequestHead(const ClientTask& task, HttpRequest& request,
                       std::vector<std::string>& lines) const;

  // The fixed replies, byte for byte. Each is false when sending fails.
  bool SendNotFound(int socket) const;
  bool SendAuthRequired(int socket) const;
  bool SendRedirectHome(int socket) const;

 private:
  // Who is asking, established afresh for each request.
  struct Visitor {
    bool authenticated = false;
    std::string account;  // empty when not authenticated
    bool allow_upload = false;
    bool allow_delete = false;
  };

  Visitor IdentifyVisitor(const HttpRequest& request) const;
  // The routes that name a shared item or a file of the web folder.
  bool HandleResolvedPath(int socket, const HttpRequest& request, const Visitor& visitor);
  bool HandleSharedFile(int socket, const HttpRequest& request, const Visitor& visitor,
                        const std::string& relative_name, const std::string& local_path);
  // "/remove.htm?file=..." for a visitor allowed to remove shares.
  bool HandleRemove(int socket, const HttpRequest& request, const Visitor& visitor);
  // A POST of "/upload": the upload of a visitor allowed to upload, else the 401 reply. The body
  // follows the head in the socket.
  bool HandleUpload(int socket, const HttpRequest& request, const Visitor& visitor);
  // Sends the folder at local_path as a zip archive, honouring the request's range.
  bool HandleFolderZip(int socket, const HttpRequest& request, const std::string& local_path,
                       std::uint64_t& bytes_sent);

  HttpStores m_stores;
  CSharePages m_pages;
  CFileSender m_files;
};
