#pragma once
#include <chrono>
#include <string>

#include "service/ServiceHttp.h"
#include "service/ThreadPool.h"
#include "service/TransferRegistry.h"
#include "store/DataAccount.h"
#include "store/DataFileShare.h"
#include "store/DataLog.h"
#include "store/DataSystem.h"

// The serving half of the program, wired in one place for the program, its tests and its
// fuzzers: the stores on one data folder, the worker pool and the HTTP service over them. The
// members go in reverse order, so the service stops before the pool and the stores close.
class CServiceStack {
 public:
  struct Options {
    std::string data_folder = "";  // holds tessel.mdb and the upload folder
    std::string web_folder = "";   // the images and icons; data folder + "/web" when empty
    CThreadPool::Limits limits{};
    std::chrono::milliseconds io_timeout = CServiceBasic::kIoTimeout;
    std::chrono::milliseconds head_timeout = CServiceBasic::kHeadTimeout;
  };

  explicit CServiceStack(const Options& options);
  CServiceStack(const CServiceStack&) = delete;
  CServiceStack& operator=(const CServiceStack&) = delete;

  // Opens every store, whatever the others did (each has its own connections); false when one
  // cannot be opened, with the first such store's reason in *error when given. The log opens
  // nothing.
  bool OpenStores(std::string* error = nullptr);
  // Hands the database's failures met while running, of every store, to the activity log.
  void LogStoreFailures();

  CDataAccount accounts;
  CDataFileShare shares;
  CDataLog log;
  CDataSystem settings;
  CThreadPool pool;
  // Before the service, which registers its transfers here until it stops.
  CTransferRegistry transfers;
  CServiceHttp service;
};
