#include "app/TransferReport.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "service/TransferRegistry.h"
#include "service/TransferText.h"

namespace {

// Made once and kept to the end: a signal may arrive at any moment, even as a report goes.
int g_report_pipe[2] = {-1, -1};

void OnReportSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // The pipe never blocks: signals beyond what it holds are one report anyway.
  [[maybe_unused]] const ssize_t ignored = write(g_report_pipe[1], &byte, 1);
  errno = saved;
}

void SetReportHandler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);
}

}  // namespace

CTransferReport::CTransferReport(const CTransferRegistry& registry, Print print)
    : m_registry(registry), m_print(std::move(print)) {
  if (g_report_pipe[0] < 0 && pipe2(g_report_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  m_notifier = std::make_unique<QSocketNotifier>(g_report_pipe[0], QSocketNotifier::Read);
  QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
    char drained[64];
    while (read(g_report_pipe[0], drained, sizeof drained) > 0) {
    }
    m_print(Text());
  });
  SetReportHandler(OnReportSignal);
}

CTransferReport::~CTransferReport() {
  SetReportHandler(SIG_IGN);
}

std::string CTransferReport::Text() const {
  return tessel::transfers::Table(m_registry.Snapshot(), CTransferRegistry::Clock::now());
}
