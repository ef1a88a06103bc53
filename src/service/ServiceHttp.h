#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "service/AcmeChallenges.h"
#include "service/FileSender.h"
#include "service/HttpRequest.h"
#include "service/LoginThrottle.h"
#include "service/Reply.h"
#include "service/RequestResolver.h"
#include "service/ServiceBasic.h"
#include "service/SharePages.h"
#include "service/SlotQueue.h"
#include "service/TlsCertificates.h"
#include "service/TlsContext.h"
#include "service/TlsTransport.h"
#include "service/TransferRegistry.h"
#include "service/ZipCrcCache.h"
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

// The HTTP service. An HTTP/1.1 connection carries requests one after the other, waiting idle in
// the pool between them; any other request is answered as the only one of its connection, which
// the pool then closes. Visitors are identified on every request; the shares and the pages are
// reached through the stores.
class CServiceHttp : public CServiceBasic {
 public:
  // A request head of more lines than this is dropped without a reply.
  static constexpr std::size_t kMaxHeaderLines = 100;
  // Requests one connection may carry; the last is answered as one that ends it.
  static constexpr int kMaxRequestsPerConnection = 100;

  CServiceHttp(CThreadPool& pool, const HttpStores& stores,
               std::chrono::milliseconds io_timeout = kIoTimeout,
               std::chrono::milliseconds head_timeout = kHeadTimeout);
  ~CServiceHttp() override;

  // Reads the head, identifies the visitor, answers by route and writes the request's end line in
  // the activity log. True when the reply went out whole.
  bool Handle(CConnection& connection) override;

  // Serves TLS on the same port as plain HTTP: a connection whose first byte starts a handshake
  // record gets a TLS session of context's current certificate, after certificates has taken up
  // changed files. Both must outlive the service. Set before Start.
  void SetTls(CTlsContext* context, CTlsCertificates* certificates) {
    m_tls_context = context;
    m_certificates = certificates;
  }

  // Answers the certificate authority's challenges from challenges, which must outlive the
  // service. Set before Start.
  void SetAcmeChallenges(const CAcmeChallenges* challenges) { m_challenges = challenges; }

  // Where "/images/" and "/favicon.ico" are found; by default the share store's program folder
  // + "/web". Set before Start.
  void SetWebFolder(const std::string& folder) { m_resolver.SetWebFolder(folder); }

  // Registers the downloads of files and folders and the uploads there while they run; it must
  // outlive the service. Set before Start.
  void SetTransfers(CTransferRegistry* transfers) { m_transfers = transfers; }

  // The clock of the login throttle; tests pass one of their own.
  void SetLoginClock(CLoginThrottle::Now now) { m_throttle.SetClock(std::move(now)); }

  // Reads the head's lines up to the empty line that ends it and parses them into request (the
  // client IP from the connection's peer). False, with nothing sent, when the connection ends,
  // fails or times out first, the head is not whole by the connection's head deadline, the
  // service stops, or the head has more than kMaxHeaderLines lines.
  bool ReadRequestHead(CConnection& connection, HttpRequest& request,
                       std::vector<std::string>& lines) const;

 private:
  enum class Opening { kPlain, kTls, kEnd };
  // Waits for the first byte by the head deadline and, when it starts a handshake record,
  // completes the handshake by then as well; kEnd when the connection is to be closed quietly.
  Opening StartTls(CConnection& connection, std::unique_ptr<CTlsTransport>& tls);
  // Serves a request of a TLS connection; one that ends gets close_notify.
  bool HandleSecure(CConnection& connection);
  // secure: the request came over TLS.
  bool HandleRequest(CConnection& connection, bool secure);
  // A 302 to the same target on https, for a plain request from outside the LAN.
  ReplyOutcome SendSecureRedirect(CConnection& connection, const HttpRequest& request,
                                  std::string_view request_line);
  // Who is asking, established afresh for each request.
  struct Visitor {
    bool authenticated = false;
    std::string account;  // empty when not authenticated
    bool allow_upload = false;
    bool allow_delete = false;
  };

  class Activity;

  // Who sent the request: the account its credentials or its address admit, through the login
  // throttle; a request that another site's page may have made has no rights by address.
  Visitor IdentifyVisitor(const HttpRequest& request);
  // The routing table: the first matching route answers.
  ReplyOutcome Dispatch(CConnection& connection, const HttpRequest& request, const Visitor& visitor,
                        Activity& activity);
  // The routes that name a shared item or a file of the web folder.
  ReplyOutcome HandleResolvedPath(CConnection& connection, const HttpRequest& request,
                                  const Visitor& visitor, Activity& activity);
  ReplyOutcome HandleSharedFile(CConnection& connection, const HttpRequest& request,
                                const std::string& relative_name, const std::string& local_path,
                                std::int64_t file_size, int mode, Activity& activity);
  // Sends the folder at local_path as a zip archive, honouring the request's range; links that
  // the share's boundary does not admit are left out. Files and archives of a share whose mode
  // is not public go out for the visitor alone.
  ReplyOutcome HandleFolderZip(CConnection& connection, const HttpRequest& request,
                               const std::string& relative_name, const std::string& local_path,
                               int mode, Activity& activity);
  // "/remove.htm?file=..." for a visitor allowed to remove shares, not sent for another site.
  ReplyOutcome HandleRemove(CConnection& connection, const HttpRequest& request,
                            const Visitor& visitor, Activity& activity);
  // A POST of "/upload": the upload of a visitor allowed to upload, else (or when another site
  // sent it) the 401 reply. The body follows the head on the connection.
  ReplyOutcome HandleUpload(CConnection& connection, const HttpRequest& request,
                            const Visitor& visitor, Activity& activity);

  HttpStores m_stores;
  CRequestResolver m_resolver;
  CSharePages m_pages;
  CFileSender m_files;
  CSlotQueue m_zip_slots;
  CZipCrcCache m_zip_crcs;
  CLoginThrottle m_throttle;
  const CAcmeChallenges* m_challenges = nullptr;
  CTlsContext* m_tls_context = nullptr;
  CTlsCertificates* m_certificates = nullptr;
  CTransferRegistry* m_transfers = nullptr;
};
