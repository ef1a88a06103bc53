#pragma once
#include <string>
#include <vector>

#include "service/HttpRequest.h"
#include "service/ServiceBasic.h"

// The HTTP service: one request per connection, answered and then closed by the pool.
class CServiceHttp : public CServiceBasic {
 public:
  // A request head of more lines than this is dropped without a reply.
  static constexpr std::size_t kMaxHeaderLines = 100;

  using CServiceBasic::CServiceBasic;
  ~CServiceHttp() override;

  // Reads the head and answers it.
  bool Handle(ClientTask& task) override;

  // Reads the head's lines up to the empty line that ends it and parses them into request (the
  // client IP from the task's peer). False, with nothing sent, when the connection ends, fails or
  // times out first, the service stops, or the head has more than kMaxHeaderLines lines.
  bool ReadRequestHead(const ClientTask& task, HttpRequest& request,
                       std::vector<std::string>& lines) const;

  // The fixed replies, byte for byte. Each is false when sending fails.
  bool SendNotFound(int socket) const;
  bool SendAuthRequired(int socket) const;
  bool SendRedirectHome(int socket) const;
};
