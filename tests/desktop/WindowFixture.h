#pragma once
// A main window over stores of its own in a temporary program folder, with the Internet check,
// the updater and the tray replaced by recorders the test reads.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStringList>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/DesktopFrontEnd.h"
#include "desktop/FakeShell.h"
#include "desktop/OffscreenApp.h"
#include "desktop/TesselDlg.h"
#include "service/ServiceStack.h"
#include "support/TempFolder.h"

namespace tessel::test {

class RecordingDlg : public CTesselDlg {
 public:
  // Ticks come from the test, not the clock.
  template <typename... Args>
  explicit RecordingDlg(Args&&... args) : CTesselDlg(std::forward<Args>(args)...) {
    TickTimer().stop();
  }

  bool StartInternetCheck() override {
    ++checks;
    return true;
  }
  bool StartUpdater(const QString& program, const QStringList& arguments) override {
    updater_starts.push_back(program);
    updater_arguments = arguments;
    return true;
  }
  bool SystemTrayAvailable() const override { return tray; }

  int checks = 0;
  std::vector<QString> updater_starts;
  QStringList updater_arguments;
  bool tray = false;
};

class WindowFixture : public ::testing::Test {
 protected:
  WindowFixture() : m_stack({.data_folder = m_folder.path()}) {
    OffscreenApp();
    m_stack.OpenStores();
    std::filesystem::create_directory(m_folder / "files");
  }

  ~WindowFixture() override {
    m_dlg.reset();
    m_log.SetLogSink({});
  }

  MainWindowContext Context() {
    return MainWindowContext{m_accounts,
                             m_shares,
                             m_log,
                             m_system,
                             m_pool,
                             m_service,
                             m_folder / "tessel",
                             [this](const std::string& line) {
                               std::lock_guard lock(m_printed_mutex);
                               m_printed.push_back(line);
                             }};
  }

  RecordingDlg& Dlg() {
    if (!m_dlg)
      m_dlg = std::make_unique<RecordingDlg>(Context(), &m_shell, WebService{"web.test", 80});
    return *m_dlg;
  }

  // Shows File Share and waits for the look at its paths (sizes, times, missing ones).
  void ShowShares() {
    Dlg().ShowList(CTesselDlg::kViewFileShare, true);
    ASSERT_TRUE(ProcessUntil([&] { return !Dlg().SharesList()->Looking(); }));
  }

  // A file under the test's "files" folder with some bytes in it; its full path.
  std::string MakeFile(const std::string& name, size_t size = 10) {
    const std::string path = m_folder / ("files/" + name);
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    return path;
  }

  // Runs the event loop until cond holds or about ten seconds have gone; cond's last answer.
  template <typename Cond>
  static bool ProcessUntil(Cond cond) {
    for (int i = 0; i < 1000 && !cond(); ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QCoreApplication::sendPostedEvents();
      if (!cond()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
  }

  TempFolder m_folder;
  CServiceStack m_stack;
  CDataAccount& m_accounts = m_stack.accounts;
  CDataFileShare& m_shares = m_stack.shares;
  CDataLog& m_log = m_stack.log;
  CDataSystem& m_system = m_stack.settings;
  CThreadPool& m_pool = m_stack.pool;
  CServiceHttp& m_service = m_stack.service;
  FakeShell m_shell;
  std::mutex m_printed_mutex;
  std::vector<std::string> m_printed;  // lines the log hands to the fallback printer
  std::unique_ptr<RecordingDlg> m_dlg;
};

}  // namespace tessel::test
