#include "service/ServiceStack.h"

CServiceStack::CServiceStack(const Options& options)
    : accounts(options.data_folder),
      shares(options.data_folder),
      log(options.data_folder),
      settings(options.data_folder),
      pool(options.limits),
      service(pool, HttpStores{accounts, shares, settings, log}, options.io_timeout,
              options.head_timeout) {
  service.SetWebFolder(options.web_folder);
  service.SetTransfers(&transfers);
}

bool CServiceStack::OpenStores(std::string* error) {
  log.Open();
  bool open = settings.Open();
  open = accounts.Open() && open;
  open = shares.Open() && open;
  if (error) {
    error->clear();
    for (CDataBasic* store :
         {static_cast<CDataBasic*>(&settings), static_cast<CDataBasic*>(&accounts),
          static_cast<CDataBasic*>(&shares)})
      if (error->empty()) *error = store->GetOpenError();
  }
  return open;
}

void CServiceStack::LogStoreFailures() {
  const auto log_failure = [this](const std::string& text) { log.AddNotice(text); };
  settings.SetFailureSink(log_failure);
  accounts.SetFailureSink(log_failure);
  shares.SetFailureSink(log_failure);
}
