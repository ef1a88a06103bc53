// The window's own figures, measured in one process on a real display (bench/window runs it):
//
//   tessel_window_bench fill PROGRAM_FOLDER
//     Fills File Share from the program folder's database and prints the time to fill and show
//     the list, beside the time the same data takes without the window (the store's list and
//     one stat per share).
//   tessel_window_bench flood PROGRAM_FOLDER LINES SECONDS
//     Shows the window while a worker thread logs LINES lines spread over SECONDS (all at once
//     when SECONDS is 0) and prints the event loop's longest stall, seen by a 10 ms timer.
//   tessel_window_bench transfers PROGRAM_FOLDER COUNT SECONDS
//     Shows the Transfers list while COUNT transfers run in the registry (each moving bytes all
//     the time, a twentieth of them ending and as many beginning every second) and prints the
//     longest refresh of the list (sample, merge and repaint) and the event loop's longest stall.
//
// Output: "name value" lines.
#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/DesktopFrontEnd.h"
#include "desktop/LogModel.h"
#include "desktop/TesselDlg.h"
#include "desktop/TransfersView.h"
#include "service/Connection.h"
#include "service/ServiceStack.h"
#include "service/TransferRegistry.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void Run(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// The service as the program wires it, with the window's view of it.
struct Program {
  CServiceStack stack;
  CDataFileShare& shares = stack.shares;
  CDataLog& log = stack.log;
  CTransferRegistry& transfers = stack.transfers;

  explicit Program(const std::string& folder) : stack({.data_folder = folder}) {
    stack.OpenStores();
  }

  MainWindowContext Context(const std::string& folder) {
    MainWindowContext context{
        stack.accounts, stack.shares,  stack.log,          stack.settings,
        stack.pool,     stack.service, folder + "/tessel", [](const std::string&) {}};
    context.transfers = &stack.transfers;
    return context;
  }
};

int Fill(const std::string& folder) {
  Program program(folder);
  // Without the window: what the list is made of.
  const auto bare_start = Clock::now();
  std::vector<FileShareRecord> list;
  program.shares.ListShares(list);
  int found = 0;
  for (const FileShareRecord& share : list) {
    struct stat info {};
    found += ::stat(share.path.c_str(), &info) == 0;
  }
  const double bare = Ms(Clock::now() - bare_start);

  CTesselDlg window(program.Context(folder));
  window.TickTimer().stop();
  window.ShowWindow();
  Run(500);
  const auto start = Clock::now();
  window.ShowList(CTesselDlg::kViewFileShare, true);
  window.SharesList()->viewport()->repaint();
  const double fill = Ms(Clock::now() - start);
  std::printf("shares %d\nrows %d\nfill_ms %.1f\nbare_ms %.1f\nfound %d\n",
              static_cast<int>(list.size()), window.SharesList()->topLevelItemCount(), fill, bare,
              found);
  window.ReleaseLog();
  return 0;
}

int Flood(const std::string& folder, int lines, double seconds) {
  Program program(folder);
  CTesselDlg window(program.Context(folder));
  window.TickTimer().stop();
  window.ShowWindow();
  window.ShowList(CTesselDlg::kViewLogs, true);
  Run(500);

  // The longest time between two ticks of a 10 ms timer is the longest stall of the loop.
  std::vector<double> gaps;
  QElapsedTimer since;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    gaps.push_back(static_cast<double>(since.nsecsElapsed()) / 1e6);
    since.restart();
  });
  since.start();
  probe.start(10);

  std::atomic<bool> done{false};
  std::thread worker([&] {
    const auto start = Clock::now();
    for (int i = 0; i < lines; ++i) {
      if (seconds > 0) {
        const auto due = start + std::chrono::duration<double>(seconds * i / lines);
        std::this_thread::sleep_until(due);
      }
      program.log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile,
                         "music\\album\\track-" + std::to_string(i) + ".mp3", 0, 5'000'000, i % 2);
    }
    done = true;
  });
  const int run_ms = static_cast<int>(std::max(seconds, 0.0) * 1000) + 2000;
  Run(run_ms);
  worker.join();
  Run(300);
  probe.stop();
  std::sort(gaps.begin(), gaps.end());
  const double worst = gaps.empty() ? 0 : gaps.back();
  const double p99 = gaps.empty() ? 0 : gaps[gaps.size() * 99 / 100];
  std::printf("lines %d\nrows %d\nmax_stall_ms %.1f\np99_gap_ms %.1f\nticks %zu\n", lines,
              window.LogModel()->rowCount(), worst, p99, gaps.size());
  window.ReleaseLog();
  return 0;
}

// The longest gap between two ticks of a 10 ms timer is the longest stall of the loop.
class StallProbe {
 public:
  StallProbe() {
    m_probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_probe, &QTimer::timeout, [this] {
      m_worst = std::max(m_worst, static_cast<double>(m_since.nsecsElapsed()) / 1e6);
      m_since.restart();
    });
    m_since.start();
    m_probe.start(10);
  }
  double Worst() const { return m_worst; }

 private:
  QTimer m_probe;
  QElapsedTimer m_since;
  double m_worst = 0;
};

int Transfers(const std::string& folder, int count, double seconds) {
  Program program(folder);
  CTesselDlg window(program.Context(folder));
  window.TickTimer().stop();
  window.ShowWindow();
  Run(300);

  // The transfers live on a thread of their own, as they would on the workers.
  std::atomic<bool> done{false};
  std::atomic<bool> started{false};
  std::thread worker([&] {
    ConnectionRules rules;
    std::deque<std::unique_ptr<CConnection>> connections;
    std::deque<std::unique_ptr<CTransferRegistry::Transfer>> running;
    std::vector<std::string> names;
    for (int i = 0; i < count * 2; ++i)
      names.push_back("music/album-" + std::to_string(i) + ".flac");
    const std::string account = "friend", address = "192.168.1.20";
    int next = 0;
    const auto begin = [&] {
      connections.push_back(std::make_unique<CConnection>(-1, rules));
      running.push_back(std::make_unique<CTransferRegistry::Transfer>(
          &program.transfers, *connections.back(), account, address,
          names[static_cast<std::size_t>(next++) % names.size()],
          CTransferRegistry::Direction::kDownload, 700 << 20));
    };
    for (int i = 0; i < count; ++i) begin();
    started = true;
    auto churn = Clock::now();
    while (!done) {
      for (auto& connection : connections) connection->AddProgress(64 << 10);
      if (Clock::now() - churn >= std::chrono::seconds(1)) {
        churn = Clock::now();
        for (int i = 0; i < count / 20; ++i) {
          running.pop_front();
          connections.pop_front();
          begin();
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    running.clear();
  });
  while (!started) std::this_thread::yield();

  // The list in front, refreshed a tick at a time, each refresh timed to its repaint.
  window.ShowList(CTesselDlg::kViewTransfers, true);
  CTransfersView& list = *window.TransfersList();
  list.TickTimer().stop();
  double worst_refresh = 0;
  int refreshes = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const auto start = Clock::now();
    list.Refresh();
    list.viewport()->repaint();
    worst_refresh = std::max(worst_refresh, Ms(Clock::now() - start));
    ++refreshes;
  });
  Run(100);
  const StallProbe probe;
  tick.start(CTransfersView::kTickMs);
  Run(static_cast<int>(seconds * 1000));
  tick.stop();
  done = true;
  worker.join();
  std::printf("transfers %d\nrows %d\nrefreshes %d\nmax_refresh_ms %.1f\nmax_stall_ms %.1f\n",
              count, list.Model()->rowCount(), refreshes, worst_refresh, probe.Worst());
  window.ReleaseLog();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "fill" && argc == 3) return Fill(argv[2]);
  if (mode == "flood" && argc == 5) return Flood(argv[2], std::atoi(argv[3]), std::atof(argv[4]));
  if (mode == "transfers" && argc == 5)
    return Transfers(argv[2], std::atoi(argv[3]), std::atof(argv[4]));
  std::fprintf(stderr,
               "usage: tessel_window_bench fill PROGRAM_FOLDER\n"
               "       tessel_window_bench flood PROGRAM_FOLDER LINES SECONDS\n"
               "       tessel_window_bench transfers PROGRAM_FOLDER COUNT SECONDS\n");
  return 2;
}
