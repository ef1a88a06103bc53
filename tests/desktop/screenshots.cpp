// Takes the README's pictures of the main window: File Share with shares, My Friends, Logs and
// Transfers, filled with a small sample of each, the About box and the three edit dialogs (Settings
// with a self-signed certificate in use and an ACME failure). Run it on an X display with a window
// manager, as scripts/screenshots does, so the pictures show the window as a desktop frames it:
//
//   tessel_screenshots OUTPUT_FOLDER
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTreeView>
#include <QTreeWidget>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/DesktopFrontEnd.h"
#include "base/TlsCertificate.h"
#include "desktop/DlgAccount.h"
#include "desktop/DlgFileShare.h"
#include "desktop/DlgSettings.h"
#include "desktop/TesselDlg.h"
#include "desktop/TransfersView.h"
#include "res/StringTable.h"
#include "service/Connection.h"
#include "service/ServiceHttp.h"
#include "service/ThreadPool.h"
#include "service/TransferRegistry.h"
#include "store/DataAccount.h"
#include "store/DataFileShare.h"
#include "store/DataLog.h"
#include "store/DataSystem.h"

namespace fs = std::filesystem;

namespace {

void Wait(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

// The window as the screen shows it, frame and title bar included.
bool Shoot(QWidget& window, const std::string& path) {
  Wait(600);
  const QRect frame = window.frameGeometry();
  const QPixmap shot =
      window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  const bool saved = shot.save(QString::fromStdString(path));
  std::printf("%s %s\n", saved ? "wrote" : "could not write", path.c_str());
  return saved;
}

void MakeFile(const std::string& path, uintmax_t size) {
  std::ofstream(path, std::ios::binary) << "sample";
  fs::resize_file(path, size);
}

struct Sample {
  std::string folder;
  CDataAccount accounts{folder};
  CDataFileShare shares{folder};
  CDataLog log{folder};
  CDataSystem system{folder};

  explicit Sample(std::string where) : folder(std::move(where)) {
    log.Open();
    system.Open();
    accounts.Open();
    shares.Open();
  }

  void Share(const std::string& path, int mode, const std::string& time,
             const std::string& uploader = "", const std::string& description = "") {
    const std::string name = shares.ShareFile(path, uploader, mode);
    FileShareRecord record;
    if (name.empty() || !shares.GetShare(name, record)) return;
    record.share_time = time;
    record.description = description;
    shares.ModifyShare(record, name);
  }

  void Fill() {
    const std::string files = folder + "/Shared";
    fs::create_directories(files + "/Holiday photos 2026");
    fs::create_directories(files + "/Band rehearsal");
    MakeFile(files + "/Quarterly report.pdf", 2'415'918);
    MakeFile(files + "/Reading list.txt", 4'213);
    MakeFile(files + "/Garden plan.png", 845'302);
    MakeFile(files + "/Tessel setup notes.odt", 38'112);
    MakeFile(files + "/Concert.mp3", 7'864'320);
    Share(files + "/Holiday photos 2026", 0, "2026-11-28 18:42:10", "", "Lisbon and Porto");
    Share(files + "/Quarterly report.pdf", 1, "2026-12-01 09:14:03", "", "For the board");
    Share(files + "/Band rehearsal", 1, "2026-12-02 21:05:47");
    Share(files + "/Reading list.txt", 0, "2026-12-03 08:30:00");
    Share(files + "/Garden plan.png", 0, "2026-12-05 16:12:29", "", "Spring beds");
    Share(files + "/Concert.mp3", 0, "2026-12-06 23:58:11", "bob", "Live at the hall");
    Share(files + "/Tessel setup notes.odt", 1, "2026-12-07 10:01:36", "alice");

    auto add = [&](const char* name, int type, const char* address, const char* password,
                   int enabled, const char* description) {
      AccountRecord account;
      account.account_name = name;
      account.auth_type = type;
      account.ip_address = address;
      account.password = password;
      account.enabled = enabled;
      account.description = description;
      accounts.AddAccount(account);
    };
    add("alice", AccountRecord::kAuthPassword, "", "sunflower", 1, "Sister");
    add("bob", AccountRecord::kAuthPassword, "", "b4ss-line", 1, "Band");
    add("living-room-tv", AccountRecord::kAuthAddress, "192.168.1.40", "", 1, "Plays the videos");
    add("old-laptop", AccountRecord::kAuthAddress, "192.168.1.33", "", 0, "Given away");
  }

  void Activity() {
    log.AddLog("192.168.1.40", "living-room-tv", CDataLog::kDownloadFolder, "Holiday photos 2026",
               0, CDataLog::kUnknownSize, CDataLog::kPhaseStart);
    log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, "Quarterly report.pdf", 0, 2'415'918,
               CDataLog::kPhaseStart);
    log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, "Quarterly report.pdf", 2'415'918,
               2'415'918, CDataLog::kPhaseEnd);
    log.AddLog("192.168.1.40", "living-room-tv", CDataLog::kDownloadFolder, "Holiday photos 2026",
               52'428'800, CDataLog::kUnknownSize, CDataLog::kPhaseEnd);
    log.AddLog("10.0.0.9", "alice", CDataLog::kUploadFile, "", 0, 0, CDataLog::kPhaseStart);
    log.AddLog("10.0.0.9", "alice", CDataLog::kUploadFile, "Tessel setup notes.odt", 0, 38'112,
               CDataLog::kPhaseEnd);
    log.AddLog("192.168.1.20", "local", CDataLog::kDownloadFile, "Concert.mp3", 0, 7'864'320,
               CDataLog::kPhaseStart);
    log.AddLog("192.168.1.20", "local", CDataLog::kDownloadFile, "Concert.mp3", 3'145'728,
               7'864'320, CDataLog::kPhaseEnd);
    log.AddLog("10.0.0.7", "bob", CDataLog::kRemoveShare, "old-mix.mp3", 0, 0, CDataLog::kPhaseEnd);
  }
};

// Friends' downloads and an upload under way, registered as the service registers them, their
// bytes moving at each one's own pace until the object goes.
class SampleTransfers {
 public:
  explicit SampleTransfers(CTransferRegistry& registry)
      : m_thread([this, &registry] {
          struct Sample {
            const char* account;
            const char* address;
            const char* item;
            CTransferRegistry::Direction direction;
            std::int64_t total;
            std::uint64_t done;  // before the picture's first second
            std::uint64_t rate;  // bytes a second
          };
          using enum CTransferRegistry::Direction;
          const Sample samples[] = {
              {"living-room-tv", "192.168.1.40", "Holiday photos 2026", kDownload, 182'452'224,
               96'000'000, 5'400'000},
              {"bob", "10.0.0.7", "Concert.mp3", kDownload, 7'864'320, 2'100'000, 880'000},
              {"", "203.0.113.58", "Garden plan.png", kDownload, 845'302, 190'000, 120'000},
              {"alice", "10.0.0.9", "Lisbon by night.mp4", kUpload, 214'958'080, 31'000'000,
               1'150'000},
              {"local", "192.168.1.20", "Quarterly report.pdf", kDownload, 2'415'918, 0, 310'000},
          };
          ConnectionRules rules;
          std::vector<std::unique_ptr<CConnection>> connections;
          std::vector<std::unique_ptr<CTransferRegistry::Transfer>> running;
          for (const Sample& sample : samples) {
            connections.push_back(std::make_unique<CConnection>(-1, rules));
            running.push_back(std::make_unique<CTransferRegistry::Transfer>(
                &registry, *connections.back(), sample.account, sample.address, sample.item,
                sample.direction, sample.total));
            connections.back()->AddProgress(sample.done);
          }
          constexpr int kStepsPerSecond = 20;
          while (!m_done) {
            for (std::size_t i = 0; i < running.size(); ++i)
              connections[i]->AddProgress(samples[i].rate / kStepsPerSecond);
            std::this_thread::sleep_for(std::chrono::milliseconds(1000 / kStepsPerSecond));
          }
        }) {}
  ~SampleTransfers() {
    m_done = true;
    m_thread.join();
  }

 private:
  std::atomic<bool> m_done{false};
  std::thread m_thread;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  QApplication app(argc, argv);
  tessel::res::SetLanguage(tessel::res::Language::kEnglish);
  // A short, fixed folder: its paths show in the pictures.
  const std::string pattern = (fs::temp_directory_path() / "tessel-shots").string();
  fs::remove_all(pattern);
  fs::create_directories(pattern);
  int failures = 0;
  {
    Sample sample(pattern);
    sample.Fill();
    CThreadPool pool;
    CServiceHttp service(pool,
                         HttpStores{sample.accounts, sample.shares, sample.system, sample.log});
    CTransferRegistry transfers;
    MainWindowContext context{sample.accounts,
                              sample.shares,
                              sample.log,
                              sample.system,
                              pool,
                              service,
                              pattern + "/tessel",
                              [](const std::string&) {}};
    context.transfers = &transfers;
    CTesselDlg window(context);
    window.TickTimer().setInterval(1000);
    // What an Internet check that reached the router would have left.
    window.CheckView().SetPageUrl("http://203.0.113.24:8080");
    window.CheckView().SetDirectUrl("http://203.0.113.24:8080");
    window.CheckView().SetStatusText("Internet set up successfully.");
    window.CheckView().SetProgress(10);
    sample.Activity();
    window.ShowWindow();
    Wait(1500);

    window.ShowList(CTesselDlg::kViewFileShare, true);
    QTreeWidget* shares = window.SharesList();
    if (shares->topLevelItemCount() > 1) {
      shares->setCurrentItem(shares->topLevelItem(1));
      shares->setFocus();
    }
    failures += !Shoot(window, out + "/window-file-share.png");
    window.ShowList(CTesselDlg::kViewMyFriends, true);
    failures += !Shoot(window, out + "/window-my-friends.png");
    window.ShowList(CTesselDlg::kViewLogs, true);
    failures += !Shoot(window, out + "/window-logs.png");
    {
      const SampleTransfers running(transfers);
      window.ShowList(CTesselDlg::kViewTransfers, true);
      // A few ticks, so the speeds have settled.
      Wait(3500);
      CTransfersView* list = window.TransfersList();
      list->setCurrentIndex(list->model()->index(1, 0));
      failures += !Shoot(window, out + "/transfers.png");
    }

    window.Action(CTesselDlg::kAbout)->trigger();
    Wait(300);
    if (auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      failures += !Shoot(*about, out + "/about.png");
      about->close();
    } else {
      ++failures;
    }

    // The dialogs as they open over the window, each on a sample record.
    sample.system.SetParam("LocalPort", "8080");
    sample.system.SetParam("UploadPath", "/home/alice/Tessel/upload");
    sample.system.SetParam("URLUsername", "alice");
    sample.system.SetParam("URLPassword", "secret");
    sample.system.SetParam("EnableZipFolder", "1");
    {
      CDlgAccount dialog(sample.accounts, false, "alice", &window);
      dialog.show();
      failures += !Shoot(dialog, out + "/dialog-account.png");
    }
    {
      CDlgFileShare dialog(sample.shares, false, "Holiday photos 2026", &window);
      dialog.show();
      failures += !Shoot(dialog, out + "/dialog-share.png");
    }
    {
      // The self-signed certificate serving while ACME cannot validate the address.
      std::string error;
      const auto self_signed = CTlsCertificate::MakeSelfSigned(
          {"ann-laptop", "localhost", "127.0.0.1", "192.168.1.20"}, 3650, &error);
      const CHttpsSetup::State https{
          {CTlsCertificates::Source::kSelfSigned, self_signed, ""},
          "the certificate authority could not validate 203.0.113.24: 203.0.113.24: Fetching "
          "http://203.0.113.24/.well-known/acme-challenge/kJ3x: Timeout during connect (likely "
          "firewall problem)"};
      CDlgSettings dialog(sample.system, context.program_path, &window, nullptr,
                          tessel::WebService::Default(), https);
      dialog.show();
      failures += !Shoot(dialog, out + "/dialog-settings.png");
    }

    // The tray icon's menu, where a tray host docks the icon (scripts/screenshots starts one).
    window.Action(CTesselDlg::kHide)->trigger();
    QElapsedTimer docking;
    docking.start();
    while (!(window.TrayIcon() && window.TrayIcon()->isVisible()) && docking.elapsed() < 8000)
      Wait(200);
    if (QSystemTrayIcon* icon = window.TrayIcon(); icon && icon->isVisible()) {
      Wait(1000);
      // An embedded icon may not know where it is: then the tray host's corner (as started by
      // scripts/screenshots, 120 x 28 at the bottom right).
      const QRect screen = window.screen()->geometry();
      QRect at = icon->geometry();
      if (!at.isValid() || at.topLeft().isNull())
        at = QRect(screen.right() - 119, screen.bottom() - 27, 120, 28);
      QMenu* menu = icon->contextMenu();
      menu->popup(at.topLeft());
      Wait(600);
      const QRect area = menu->geometry().united(at).adjusted(-60, -30, 30, 10).intersected(screen);
      const QPixmap shot =
          window.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
      const std::string path = out + "/tray-menu.png";
      const bool saved = shot.save(QString::fromStdString(path));
      std::printf("%s %s\n", saved ? "wrote" : "could not write", path.c_str());
      failures += !saved;
      menu->hide();
    } else {
      std::printf("no tray: tray-menu.png not taken\n");
    }
    window.ReleaseLog();
  }
  fs::remove_all(pattern);
  return failures == 0 ? 0 : 1;
}
