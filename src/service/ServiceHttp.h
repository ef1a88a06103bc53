#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "service/AcmeChallenges.h"
#include "service/FileSender.h"
#include "service/HttpRequest.h"
#include "service/LoginThrottle.h"
#include "service/ServiceBasic.h"
#include "service/SharePages.h"
#include "service/SlotQueue.h"
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
// are identified on every request; the shares, the web folder (the share store's) and the pages
// are reached through the stores.
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

  // Answers the certificate authority's challenges from challenges, which must outlive the
  // service. Set before Start.
  void SetAcmeChallenges(const CAcmeChallenges* challenges) { m_challenges = challenges; }

  // The clock of the login throttle; tests pass one of their own.
  void SetLoginClock(CLoginThrottle::Now now) { m_throttle.SetClock(std::move(now)); }

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

  // Who sent the request: the account its credentials or its address admit, through the login
  // throttle; a request from this machine that another site's page may have made has no rights
  // by address.
  Visitor IdentifyVisitor(const HttpRequest& request);
  // The routes that name a shared item or a file of the web folder.
  bool HandleResolvedPath(int socket, const HttpRequest& request, const Visitor& visitor);
  bool HandleSharedFile(int socket, const HttpRequest& request, const Visitor& visitor,
                        const std::string& relative_name, const std::string& local_path,
                        std::int64_t file_size);
  // "/remove.htm?file=..." for a visitor allowed to remove shares, not sent for another site.
  bool HandleRemove(int socket, const HttpRequest& request, const Visitor& visitor);
  // A POST of "/upload": the upload of a visitor allowed to upload, else (or when another site
  // sent it) the 401 reply. The body follows the head in the socket.
  bool HandleUpload(int socket, const HttpRequest& request, const Visitor& visitor);
  // Sends the folder at local_path as a zip archive, honouring the request's range; links that
  // the share's boundary does not admit are left out. *archive_size: as CFolderZipSender says.
  bool HandleFolderZip(int socket, const HttpRequest& request, const std::string& local_path,
                       const CShareBoundary& boundary, std::uint64_t& bytes_sent,
                       std::uint64_t* archive_size);

  HttpStores m_stores;
  CSharePages m_pages;
  CFileSender m_files;
  CSlotQueue m_zip_slots;
  CLoginThrottle m_throttle;
  const CAcmeChallenges* m_challenges = nullptr;
};
