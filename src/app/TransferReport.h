#pragma once

#include <functional>
#include <memory>
#include <string>

class CTransferRegistry;
class QSocketNotifier;

// Prints the transfers table (the window's Transfers list as text) whenever the process gets
// SIGUSR1, for owners without a window: `kill -USR1 PID`. The signal handler only writes a byte
// into a pipe; the table is made and printed on the event loop's thread.
class CTransferReport {
 public:
  using Print = std::function<void(const std::string& text)>;

  // Installs the handler; registry must outlive the report. Needs a running event loop's object.
  CTransferReport(const CTransferRegistry& registry, Print print);
  // From here on SIGUSR1 is ignored: it no longer prints, and never ends the process.
  ~CTransferReport();
  CTransferReport(const CTransferReport&) = delete;
  CTransferReport& operator=(const CTransferReport&) = delete;

  // The table of the transfers now.
  std::string Text() const;

 private:
  const CTransferRegistry& m_registry;
  Print m_print;
  std::unique_ptr<QSocketNotifier> m_notifier;
};
