#include "desktop/TesselDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <ctime>
#include <filesystem>

#include "desktop/ActivityNote.h"
#include "desktop/DesktopShell.h"
#include "desktop/GfxOutBarCtrl.h"
#include "desktop/InfoBar.h"
#include "desktop/Led.h"
#include "desktop/LogBridge.h"
#include "desktop/PlainText.h"
#include "desktop/ReportList.h"
#include "desktop/TransfersView.h"
#include "desktop/UiString.h"
#include "desktop/WindowCheckView.h"
#include "desktop/WindowCommands.h"
#include "desktop/WindowIcons.h"
#include "desktop/WindowStatusBar.h"
#include "res/StringIds.h"
#include "service/ServiceHttp.h"
#include "service/ThreadPool.h"
#include "store/DataFileShare.h"
#include "store/DataLog.h"
#include "store/DataSystem.h"

namespace res = tessel::res;
using tessel::desktop::UiString;
using Icons = CWindowIcons;

namespace {

// The out bar's width (74 dialog units) and the window's first size in dialog units; a dialog
// unit is a quarter of the font's average character width across and an eighth of its height.
constexpr int kOutBarWidth = 112;
constexpr QSize kStartUnits(554, 304);

QString Local(const std::string& text) {
  return QString::fromStdString(text);
}

// The local paths among dropped URLs.
QStringList LocalPaths(const QMimeData* data) {
  QStringList paths;
  if (!data || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  return paths;
}

}  // namespace

CTesselDlg::CTesselDlg(const MainWindowContext& context, CDesktopShell* shell,
                       const tessel::WebService& web)
    : m_context(context), m_shell(shell ? *shell : CDesktopShell::Standard()), m_web(web) {
  setWindowTitle(UiString(res::IDS_WND_CAPTION));
  setWindowIcon(Icons::Icon(Icons::Kind::kProgram));
  setAcceptDrops(true);
  m_actions = new CWindowActions(this);
  m_actions->BuildMenus(this);
  m_tool_bar = m_actions->BuildToolBar(this);
  m_tray = new CWindowTray([this] { return SystemTrayAvailable(); }, this);
  m_tray->SetMenu(m_actions->BuildTrayMenu(this));
  connect(m_tray, &CWindowTray::Restore, this, &CTesselDlg::ShowWindow);

  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  auto* body = new QHBoxLayout;
  body->setContentsMargins(0, 0, 0, 0);
  body->setSpacing(0);
  auto* right = new QVBoxLayout;
  right->setContentsMargins(0, 0, 0, 0);
  right->setSpacing(0);
  BuildOutBar();
  BuildLists();
  m_status_bar = new CWindowStatusBar;
  m_info_bar = new CInfoBar(central);
  m_info_bar->setToolTip(UiString(res::IDS_TIP_DROP));
  right->addWidget(m_info_bar);
  right->addWidget(m_stack, 1);
  body->addWidget(m_out_bar);
  body->addLayout(right, 1);
  outer->addLayout(body, 1);
  outer->addWidget(m_status_bar);
  setCentralWidget(central);
  ConnectActions();

  m_log_bridge = std::make_unique<CLogBridge>(
      m_context.log, m_context.print_log_line,
      [this](std::vector<CLogModel::Line>&& lines, bool shares_changed) {
        DeliverLog(std::move(lines), shares_changed);
      });
  m_check_view =
      new CWindowCheckView(m_status_bar->Text(), m_info_bar, m_status_bar->Progress(), this);
  m_commands = new CWindowCommands(
      {this, m_shares, m_accounts, m_check_view, m_tray, [this] { ShowList(kViewFileShare, true); },
       [this] { ShowList(kViewMyFriends, true); }, [this] { StartInternetCheck(); }},
      m_context, m_shell, m_web);
  m_commands->Connect(*m_actions);
  CDataSystem* system = &m_context.system;
  CServiceHttp* service = &m_context.service;
  connect(m_check_view, &CWindowCheckView::PageUrlChanged, this,
          [this](const QString& url) { Notify(UiString(res::IDS_NOTE_URL_CHANGED).arg(url)); });
  connect(m_check_view, &CWindowCheckView::CheckFailed, this,
          [this](const QString& text) { Notify(UiString(res::IDS_NOTE_CHECK_FAILED).arg(text)); });
  m_check = std::make_unique<CInternetCheck>(
      m_nat, *m_check_view, [system](const std::string& name) { return system->GetParam(name); },
      [service] { return service->Port(); }, m_web);

  ShowList(m_out_bar->GetSelectedItem(), true);
  m_status_bar->UpdateDateTime();
  ShowNotices();
  PlaceAtStart();
  connect(&m_timer, &QTimer::timeout, this, &CTesselDlg::OnTimer);
  m_timer.start(kTickMs);
}

CTesselDlg::~CTesselDlg() {
  m_check.reset();  // no check thread calls in from here on
  m_timer.stop();
  ReleaseLog();
  m_tray->Remove();
}

// --- Building the window.

void CTesselDlg::ConnectActions() {
  const auto on = [this](Command command, auto handler) {
    connect(Action(command), &QAction::triggered, this, handler);
  };
  on(kHide, [this] { HideOrIconify(); });
  on(kShowWindow, [this] { ShowWindow(); });
  on(kExit, [this] { Exit(); });
  // Only the list in front: a selection the owner cannot see is never deleted.
  on(kDeleteShare, [this] {
    if (CurrentView() == kViewFileShare) m_shares->DeleteSelected();
  });
  on(kInternetCheck, [this] { StartInternetCheck(); });
  on(kRefreshShares, [this] { ShowList(kViewFileShare, false); });

  // F2 and Delete act on the list in front only: with another list shown they would change
  // rows the owner cannot see.
  const auto key = [this](QKeySequence sequence, Command shares, Command accounts) {
    connect(new QShortcut(sequence, this), &QShortcut::activated, this, [=, this] {
      if (CurrentView() == kViewFileShare) Action(shares)->trigger();
      if (CurrentView() == kViewMyFriends) Action(accounts)->trigger();
    });
  };
  key(QKeySequence::Delete, kDeleteShare, kDeleteAccount);
  key(QKeySequence(Qt::Key_F2), kEditShare, kEditAccount);
  for (QTreeWidget* list :
       {static_cast<QTreeWidget*>(m_shares), static_cast<QTreeWidget*>(m_accounts)})
    connect(list, &QTreeWidget::itemSelectionChanged, this, &CTesselDlg::UpdateActions);
  UpdateActions();
}

void CTesselDlg::BuildOutBar() {
  m_out_bar = new CGfxOutBarCtrl(nullptr, CGfxOutBarCtrl::kSelHighlight);
  m_out_bar->SetImageList(
      {Icons::Icon(Icons::Kind::kFileShareView), Icons::Icon(Icons::Kind::kFriendsView),
       Icons::Icon(Icons::Kind::kLogsView), Icons::Icon(Icons::Kind::kTransfersView)},
      CGfxOutBarCtrl::kImageLarge, QSize(32, 32));
  const int folder = m_out_bar->AddFolder(QString());
  m_out_bar->InsertItem(folder, kViewFileShare, UiString(res::IDS_VIEW_FILE_SHARE), 0);
  m_out_bar->InsertItem(folder, kViewMyFriends, UiString(res::IDS_VIEW_MY_FRIENDS), 1);
  m_out_bar->InsertItem(folder, kViewLogs, UiString(res::IDS_VIEW_LOGS), 2);
  m_out_bar->InsertItem(folder, kViewTransfers, UiString(res::IDS_VIEW_TRANSFERS), 3);
  m_out_bar->SetSelFolder(folder);
  m_out_bar->SetTimerPeriod(150);
  m_out_bar->setFixedWidth(kOutBarWidth);
  m_out_bar->SetOwner([this](int code, const CGfxOutBarCtrl::Notification& notification) -> long {
    if (code == CGfxOutBarCtrl::kNotifyItemClicked) ShowList(notification.index, true);
    return 0;
  });
}

void CTesselDlg::BuildLists() {
  m_stack = new QStackedWidget;
  m_shares = new CShareList(m_context.shares);
  connect(m_shares, &QTreeWidget::itemDoubleClicked, Action(kEditShare), &QAction::trigger);
  connect(m_shares, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    ShareMenu()->popup(m_shares->viewport()->mapToGlobal(pos));
  });
  m_accounts = new CAccountList(m_context.accounts);
  connect(m_accounts, &QTreeWidget::itemDoubleClicked, Action(kEditAccount), &QAction::trigger);
  connect(m_accounts, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    AccountMenu()->popup(m_accounts->viewport()->mapToGlobal(pos));
  });
  m_log_model = new CLogModel(this);
  m_logs = new QTreeView;
  m_logs->setObjectName("logs");
  SetUpReportList(m_logs);
  m_logs->setContextMenuPolicy(Qt::NoContextMenu);
  m_logs->setModel(m_log_model);
  m_logs->setColumnWidth(0, fontMetrics().horizontalAdvance("0000-00-00 00:00:00") + 16);

  // In the order of the out bar's items.
  m_stack->addWidget(m_shares);
  m_stack->addWidget(m_accounts);
  m_stack->addWidget(m_logs);
  m_transfers = new CTransfersView(CTransfersView::FromRegistry(m_context.transfers));
  m_stack->addWidget(m_transfers);
}

void CTesselDlg::PlaceAtStart() {
  const QFontMetrics metrics = fontMetrics();
  QSize size(kStartUnits.width() * metrics.averageCharWidth() / 4,
             kStartUnits.height() * metrics.height() / 8);
  // Wide enough for every toolbar button, which would otherwise hide behind an overflow mark.
  size.setWidth(std::max(size.width(), m_tool_bar->sizeHint().width() + 8));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect available = screen->availableGeometry();
    size = size.boundedTo(available.size());
    resize(size);
    move(available.center() - QPoint(size.width() / 2, size.height() / 2));
  } else {
    resize(size);
  }
}

// --- The outside world's requests.

void CTesselDlg::ShowWindow() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
  // An open dialog of the window comes to the front with it.
  if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != this) {
    modal->raise();
    modal->activateWindow();
  }
}

bool CTesselDlg::ShareHandedOver(const std::string& path, int share_mode) {
  const int mode = share_mode == 0 ? FileShareRecord::kModePublic : FileShareRecord::kModeAuth;
  const bool shared = !m_context.shares.ShareFile(path, "", mode).empty();
  ShowList(kViewFileShare, true);
  return shared;
}

CLed* CTesselDlg::Led() const {
  return m_status_bar->Led();
}

CExtStatusBarProgressCtrl* CTesselDlg::Progress() const {
  return m_status_bar->Progress();
}

QString CTesselDlg::StatusText() const {
  return m_check_view->StatusText();
}

std::string CTesselDlg::PageUrl() const {
  return m_check_view->PageUrl();
}

std::string CTesselDlg::DirectUrl() const {
  return m_check_view->DirectUrl();
}

QSystemTrayIcon* CTesselDlg::TrayIcon() const {
  return m_tray->Icon();
}

void CTesselDlg::ShowNotices() {
  // The line shows the latest problem, or else the latest notice; the tip has them all. The
  // Internet check soon writes over the line, so the notices also open the Logs list.
  const MainWindowContext::Notice* shown = nullptr;
  QStringList all;
  std::vector<CLogModel::Line> rows;
  const std::time_t now = std::time(nullptr);
  for (const MainWindowContext::Notice& notice : m_context.notices) {
    if (!shown || notice.problem || !shown->problem) shown = &notice;
    all << Local(notice.text);
    rows.push_back({now, QString(all.back()).replace('\n', ' ').toStdString()});
  }
  if (!shown) return;
  m_log_model->Append(std::move(rows));
  m_check_view->ShowStatusText(Local(shown->text).replace('\n', ' '));
  m_status_bar->Text()->setToolTip(tessel::desktop::PlainText(all.join('\n')));
}

// --- Commands.

int CTesselDlg::CurrentView() const {
  return m_stack->currentIndex();
}

void CTesselDlg::UpdateActions() {
  Action(kEditShare)->setEnabled(!m_shares->FocusedName().isEmpty());
  Action(kDeleteShare)->setEnabled(!m_shares->selectedItems().isEmpty());
  Action(kEditAccount)->setEnabled(!m_accounts->FocusedName().isEmpty());
  Action(kDeleteAccount)->setEnabled(!m_accounts->FocusedName().isEmpty());
}

void CTesselDlg::Notify(const QString& text) {
  if (m_context.system.GetParam("Notifications") != "0") m_tray->Notify(text);
}

void CTesselDlg::ShowList(int view, bool show) {
  if (view < kViewFileShare || view > kViewTransfers) return;
  if (show) {
    m_stack->setCurrentIndex(view);
    m_out_bar->SetSelectedItem(view);
    m_out_bar->update();
    // The keyboard goes on in the list, unless it is walking the out bar's items.
    if (!m_out_bar->hasFocus()) m_stack->currentWidget()->setFocus();
  }
  if (view == kViewFileShare) m_shares->Fill();
  if (view == kViewMyFriends) m_accounts->Fill();
  if (view == kViewLogs) m_logs->scrollToBottom();
}

void CTesselDlg::Exit() {
  hide();
  m_tray->Remove();
  // The program destroys the window once the loop has ended.
  QCoreApplication::exit(0);
}

// --- Hiding.

bool CTesselDlg::SystemTrayAvailable() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void CTesselDlg::HideOrIconify() {
  if (m_tray->Available()) {
    m_tray->Update();
    hide();
  } else {
    showMinimized();
  }
}

void CTesselDlg::closeEvent(QCloseEvent* event) {
  // Closing hides: only Exit ends the program.
  event->ignore();
  HideOrIconify();
}

void CTesselDlg::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized() || !m_tray->Available()) return;
  // Hidden once the window manager is done iconifying, which it may still be doing now.
  QTimer::singleShot(0, this, [this] {
    if (isMinimized() && m_tray->Available()) {
      m_tray->Update();
      hide();
    }
  });
}

void CTesselDlg::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy) && CurrentView() == kViewFileShare) {
    Action(kCopyUrl)->trigger();
    return;
  }
  const int key = event->key();
  const bool plain = event->modifiers() == Qt::NoModifier ||
                     (key == Qt::Key_Enter && event->modifiers() == Qt::KeypadModifier);
  if ((key == Qt::Key_Return || key == Qt::Key_Enter) && plain) {
    // The lists pass Enter on: it opens the selected row's dialog.
    if (CurrentView() == kViewFileShare) Action(kEditShare)->trigger();
    if (CurrentView() == kViewMyFriends) Action(kEditAccount)->trigger();
    return;
  }
  if (key == Qt::Key_Escape && plain && m_tray->Available()) {
    m_tray->Update();
    hide();
    return;
  }
  QMainWindow::keyPressEvent(event);
}

// --- Dropped files.

void CTesselDlg::dragEnterEvent(QDragEnterEvent* event) {
  if (!LocalPaths(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CTesselDlg::dragMoveEvent(QDragMoveEvent* event) {
  if (!LocalPaths(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CTesselDlg::dropEvent(QDropEvent* event) {
  const QStringList paths = LocalPaths(event->mimeData());
  if (paths.isEmpty()) return;
  event->acceptProposedAction();
  ShareDropped(paths);
}

int CTesselDlg::ShareDropped(const QStringList& paths) {
  int shared = 0;
  bool dropped = false;
  for (QString path : paths) {
    // A folder may come with a trailing "/", which would hide its name from the share name.
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    if (path.isEmpty()) continue;
    dropped = true;
    if (!m_context.shares.ShareFile(path.toStdString(), "", FileShareRecord::kModePublic).empty())
      ++shared;
  }
  if (dropped) ShowList(kViewFileShare, true);
  return shared;
}

// --- The timer and the log.

void CTesselDlg::OnTimer() {
  if (m_update_check) {
    m_update_check = false;
    StartUpdaterOnce();
  }
  m_status_bar->UpdateDateTime();
  // Without a tray a hidden window would be out of reach: iconified, it is on the taskbar.
  if (m_tray->Tick() && isHidden()) showMinimized();
  // A download shorter than a tick is seen by its log lines, not by the busy count.
  const bool busy = m_activity || m_context.pool.CountActive(&m_context.service) > 0;
  m_activity = false;
  Led()->SetBlink(busy ? 1000 : 0);
  if (++m_check_counter >= kCheckTicks) {
    m_check_counter = 0;
    StartInternetCheck();
  }
}

void CTesselDlg::StartUpdaterOnce() {
  // Only the exact text "0" turns the check off; a missing setting leaves it on.
  if (m_context.system.GetParam("CheckNewVersion") == "0") return;
  const std::filesystem::path folder = std::filesystem::path(m_context.program_path).parent_path();
  const QString program = Local((folder / kUpdaterName).string());
  const QFileInfo info(program);
  if (!info.isFile() || !info.isExecutable()) return;
  StartUpdater(program, {QString("/LocalVersion=") + kVersion,
                         "/RemoteURL=" + m_commands->WebAddress("download/tesselsetup.ini")});
}

bool CTesselDlg::StartUpdater(const QString& program, const QStringList& arguments) {
  return QProcess::startDetached(program, arguments);
}

bool CTesselDlg::StartInternetCheck() {
  return m_context.service.IsRunning() && m_context.service.Port() > 0 && m_check->Start();
}

void CTesselDlg::ReleaseLog() {
  if (m_log_bridge) m_log_bridge->Detach();
}

void CTesselDlg::DeliverLog(std::vector<CLogModel::Line>&& lines, bool shares_changed) {
  if (!lines.empty()) {
    m_activity = true;
    for (const CLogModel::Line& line : lines)
      if (const QString note = tessel::desktop::ActivityNote(line.text); !note.isEmpty())
        Notify(note);
    // The newest line is followed only from the bottom, so older lines can be read meanwhile.
    const QScrollBar* bar = m_logs->verticalScrollBar();
    const bool at_bottom = bar->value() >= bar->maximum();
    m_log_model->Append(std::move(lines));
    if (at_bottom) m_logs->scrollToBottom();
  }
  if (shares_changed) ShowList(kViewFileShare, false);
}
