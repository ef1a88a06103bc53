#include "store/DataLog.h"

#include "store/SizeText.h"

namespace {

std::string LogLine(const std::string& client_address, const std::string& account_name, int kind,
                    const std::string& item_name, uint64_t first_amount, uint64_t second_amount,
                    int phase) {
  bool start = phase == CDataLog::kPhaseStart;
  const char* action = nullptr;
  switch (kind) {
    case CDataLog::kDownloadFile:
      action = start ? "download file start" : "download file end";
      break;
    case CDataLog::kDownloadFolder:
      action = start ? "download folder start" : "download folder end";
      break;
    case CDataLog::kUploadFile:
      action = start ? "upload file start" : "upload file end";
      break;
    case CDataLog::kRemoveShare:
      action = "delete file share";
      break;
    default:
      return "";
  }
  std::string line = "user(" + account_name + ":" + client_address + ") " + action;
  switch (kind) {
    case CDataLog::kDownloadFile:
    case CDataLog::kDownloadFolder:
      if (second_amount == CDataLog::kUnknownSize) second_amount = 1;
      return line + " " + item_name + "(" + FormatSize(static_cast<int64_t>(first_amount)) + "/" +
             FormatSize(static_cast<int64_t>(second_amount)) + ")";
    case CDataLog::kUploadFile:
      if (start) return line;
      return line + " " + item_name + "(" + FormatSize(static_cast<int64_t>(second_amount)) + ")";
    default:
      return line + " " + item_name;
  }
}

}  // namespace

CDataLog::CDataLog(const std::string& program_folder) : CDataBasic(program_folder) {}

CDataLog::~CDataLog() = default;

void CDataLog::SetLogSink(LogSink sink) {
  std::lock_guard lock(m_sink_mutex);
  const LogSink* installed = nullptr;
  if (sink)
    installed = m_log_sinks.emplace_back(std::make_unique<const LogSink>(std::move(sink))).get();
  m_log_sink.store(installed, std::memory_order_release);
}

void CDataLog::SetSharesChangedSink(SharesChangedSink sink) {
  std::lock_guard lock(m_sink_mutex);
  const SharesChangedSink* installed = nullptr;
  if (sink) {
    installed = m_shares_changed_sinks
                    .emplace_back(std::make_unique<const SharesChangedSink>(std::move(sink)))
                    .get();
  }
  m_shares_changed_sink.store(installed, std::memory_order_release);
}

void CDataLog::AddLog(const std::string& client_address, const std::string& account_name, int kind,
                      const std::string& item_name, uint64_t first_amount, uint64_t second_amount,
                      int phase) {
  std::string line =
      LogLine(client_address, account_name, kind, item_name, first_amount, second_amount, phase);
  if (line.empty()) return;
  if (const LogSink* log_sink = m_log_sink.load(std::memory_order_acquire)) (*log_sink)(line);
  if (kind == kUploadFile || kind == kRemoveShare) {
    if (const SharesChangedSink* sink = m_shares_changed_sink.load(std::memory_order_acquire))
      (*sink)();
  }
}

void CDataLog::AddNotice(const std::string& line) {
  if (line.empty()) return;
  if (const LogSink* log_sink = m_log_sink.load(std::memory_order_acquire)) (*log_sink)(line);
}
