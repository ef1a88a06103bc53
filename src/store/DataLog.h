#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/DataBasic.h"

// The activity log: one line per download, upload and removal by a visitor, handed to whoever
// shows it (the main window, or standard output without one). Nothing is stored: Open is the
// base's and opens nothing.
class CDataLog : public CDataBasic {
 public:
  // Event kinds and phases, as the HTTP service passes them.
  static constexpr int kDownloadFile = 2;
  static constexpr int kUploadFile = 3;
  static constexpr int kRemoveShare = 8;
  static constexpr int kDownloadFolder = 9;
  static constexpr int kPhaseStart = 0;
  static constexpr int kPhaseEnd = 1;
  // The second amount of a download whose size is not known.
  static constexpr uint64_t kUnknownSize = UINT64_MAX;

  using LogSink = std::function<void(const std::string& line)>;
  using SharesChangedSink = std::function<void()>;

  explicit CDataLog(const std::string& program_folder = tessel::ExecutableFolder());
  ~CDataLog() override;

  // Installs (or, with an empty function, removes) the receiver of log lines. It is called on
  // the logging thread, which waits for it. A line being delivered when the receiver is replaced
  // still goes to the old one, so a receiver must stay safe to call until such calls return.
  // Replaced receivers are kept until the log is destroyed (they are installed a handful of
  // times in a run), so that logging takes no lock.
  void SetLogSink(LogSink sink);
  // Installs (or removes) the receiver told after an upload or removal line that the shares
  // changed; the same rules as for the log sink.
  void SetSharesChangedSink(SharesChangedSink sink);

  // Builds the line for the event and hands it to the log sink (dropped without one):
  //   kinds 2 and 9: "user(bob:10.0.0.7) download file start docs\plan.txt(0 K/12.5 K)" with
  //     FormatSize of first and second amount (kUnknownSize shows as "0.1 K");
  //   kind 3 start: "user(bob:10.0.0.7) upload file start";
  //   kind 3 end: "user(bob:10.0.0.7) upload file end report-2.pdf(1.2 M)" (second amount);
  //   kind 8: "user(bob:10.0.0.7) delete file share report-2.pdf".
  // Any other phase than kPhaseStart counts as the end; other kinds log nothing. After kinds 3
  // and 8 the shares-changed sink is told as well.
  void AddLog(const std::string& client_address, const std::string& account_name, int kind,
              const std::string& item_name, uint64_t first_amount, uint64_t second_amount,
              int phase);
  // Hands a line of the program's own (a refusal, a failure) to the log sink as it is.
  void AddNotice(const std::string& line);

 private:
  std::mutex m_sink_mutex;  // serialises the setters; AddLog reads the pointers without it
  std::atomic<const LogSink*> m_log_sink{nullptr};
  std::atomic<const SharesChangedSink*> m_shares_changed_sink{nullptr};
  std::vector<std::unique_ptr<const LogSink>> m_log_sinks;  // every one installed
  std::vector<std::unique_ptr<const SharesChangedSink>> m_shares_changed_sinks;
};
