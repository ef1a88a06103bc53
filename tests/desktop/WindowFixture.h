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
#include "service/ServiceHttp.h"
#include "service/ThreadPool.h"
#include "store/DataAccount.h"
#include "store/DataFileShare.h"
#include "store/DataLog.h"
#include "store/DataSystem.h"
#include "store/TempFolder.h"

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
  WindowFixture()
      : accounts_(folder_.path()),
        shares_(folder_.path()),
        log_(folder_.path()),
        system_(folder_.path()),
        service_(pool_, HttpStores{accounts_, shares_, system_, log_}) {
    OffscreenApp();
    log_.Open();
    system_.Open();
    accounts_.Open();
    shares_.Open();
    std::filesystem::create_directory(folder_ / "files");
  }

  ~WindowFixture() override {
    dlg_.reset();
    log_.SetLogSink({});
  }

  MainWindowContext Context() {
    return MainWindowContext{accounts_,
                             shares_,
                             log_,
                             system_,
                             pool_,
                             service_,
                             folder_ / "tessel",
                             [this](const std::string& line) {
                               std::lock_guard lock(printed_mutex_);
                               printed_.push_back(line);
                             }};
  }

  RecordingDlg& Dlg() {
    if (!dlg_)
      dlg_ = std::make_unique<RecordingDlg>(Context(), &shell_, WebService{"web.test", 80});
    return *dlg_;
  }

  // A file under the test's "files" folder with some bytes in it; its full path.
  std::string MakeFile(const std::string& name, size_t size = 10) {
    const std::string path = folder_ / ("files/" + name);
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

  TempFolder folder_;
  CDataAccount accounts_;
  CDataFileShare shares_;
  CDataLog log_;
  CDataSystem system_;
  CThreadPool pool_;
  CServiceHttp service_;
  FakeShell shell_;
  std::mutex printed_mutex_;
  std::vector<std::string> printed_;  // lines the log hands to the fallback printer
  std::unique_ptr<RecordingDlg> dlg_;
};

}  // namespace tessel::test
