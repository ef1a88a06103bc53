#include "desktop/TesselDlg.h"

#include <sys/stat.h>

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QShortcut>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "desktop/DesktopShell.h"
#include "desktop/DlgAccount.h"
#include "desktop/DlgFileShare.h"
#include "desktop/DlgSettings.h"
#include "desktop/ExtStatusControlBar.h"
#include "desktop/GfxOutBarCtrl.h"
#include "desktop/InfoBar.h"
#include "desktop/Led.h"
#include "desktop/LogBridge.h"
#include "desktop/UiString.h"
#include "desktop/WindowIcons.h"
#include "res/StringIds.h"
#include "service/ServiceHttp.h"
#include "service/ThreadPool.h"
#include "store/DataAccount.h"
#include "store/DataFileShare.h"
#include "store/DataLog.h"
#include "store/DataSystem.h"
#include "store/SizeText.h"

namespace res = tessel::res;
using tessel::desktop::UiString;
using Icons = CWindowIcons;

namespace {

// Status bar panes, left to right.
constexpr int kPaneLed = 100;
constexpr int kPaneProgress = 101;
constexpr int kPaneText = 102;
constexpr int kPaneDate = 103;
constexpr int kPaneTime = 104;

// The out bar's width (74 dialog units) and the window's first size in dialog units; a dialog
// unit is a quarter of the font's average character width across and an eighth of its height.
constexpr int kOutBarWidth = 112;
constexpr QSize kStartUnits(554, 304);

// A hidden window whose tray went away is iconified after this many ticks without one, so a tray
// host that is only restarting does not flash it onto the taskbar.
constexpr int kTrayGraceTicks = 5;

// A list row whose tip is its text, so a cut-off cell can be read by pointing at it.
class CListRow : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  QVariant data(int column, int role) const override {
    if (role == Qt::ToolTipRole) return QTreeWidgetItem::data(column, Qt::DisplayRole);
    return QTreeWidgetItem::data(column, role);
  }
};

QString Local(const std::string& text) {
  return QString::fromStdString(text);
}

QString TimeText(std::time_t time) {
  return CLogModel::TimeText(time);
}

// The report-style look the three lists share.
void SetUpList(QTreeView* list) {
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setAlternatingRowColors(true);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setAllColumnsShowFocus(true);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setTextElideMode(Qt::ElideRight);
  list->header()->setSectionsMovable(true);
  list->header()->setStretchLastSection(true);
  list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->setContextMenuPolicy(Qt::CustomContextMenu);
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
  BuildActions();
  BuildMenus();
  BuildToolBar();

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
  BuildStatusBar();
  m_info_bar = new CInfoBar(central);
  m_info_bar->setToolTip(UiString(res::IDS_TIP_DROP));
  right->addWidget(m_info_bar);
  right->addWidget(m_stack, 1);
  body->addWidget(m_out_bar);
  body->addLayout(right, 1);
  outer->addLayout(body, 1);
  outer->addWidget(m_status_bar);
  setCentralWidget(central);

  m_log_bridge = std::make_unique<CLogBridge>(
      m_context.log, m_context.print_log_line,
      [this](std::vector<CLogModel::Line>&& lines, bool shares_changed) {
        DeliverLog(std::move(lines), shares_changed);
      });
  CDataSystem* system = &m_context.system;
  CServiceHttp* service = &m_context.service;
  m_check = std::make_unique<CInternetCheck>(
      m_nat, *this, [system](const std::string& name) { return system->GetParam(name); },
      [service] { return service->Port(); }, m_web);

  ShowList(m_out_bar->GetSelectedItem(), true);
  UpdateDateTime();
  ShowNotices();
  PlaceAtStart();
  connect(&m_timer, &QTimer::timeout, this, &CTesselDlg::OnTimer);
  m_timer.start(kTickMs);
}

CTesselDlg::~CTesselDlg() {
  m_check.reset();  // no check thread calls in from here on
  m_timer.stop();
  ReleaseLog();
  if (m_tray) m_tray->hide();
}

// --- Building the window.

void CTesselDlg::BuildActions() {
  struct Entry {
    int id;
    int text;
    Icons::Kind icon;
    bool has_icon;
  };
  const Entry entries[] = {
      {kHide, res::IDS_MENU_HIDE, Icons::Kind::kHide, true},
      {kExit, res::IDS_MENU_EXIT, Icons::Kind::kExit, true},
      {kCopyUrl, res::IDS_MENU_COPY_URL, Icons::Kind::kCopyUrl, true},
      {kNewShare, res::IDS_MENU_NEW_SHARE, Icons::Kind::kNewShare, true},
      {kEditShare, res::IDS_MENU_EDIT_SHARE, Icons::Kind::kPublicShare, false},
      {kDeleteShare, res::IDS_MENU_DELETE_SHARE, Icons::Kind::kPublicShare, false},
      {kNewAccount, res::IDS_MENU_NEW_ACCOUNT, Icons::Kind::kNewAccount, true},
      {kEditAccount, res::IDS_MENU_EDIT_ACCOUNT, Icons::Kind::kFriend, false},
      {kDeleteAccount, res::IDS_MENU_DELETE_ACCOUNT, Icons::Kind::kFriend, false},
      {kSettings, res::IDS_MENU_SETTINGS, Icons::Kind::kSettings, true},
      {kInternetCheck, res::IDS_MENU_INTERNET_CHECK, Icons::Kind::kInternetCheck, true},
      {kHelp, res::IDS_MENU_HELP_DOCUMENT, Icons::Kind::kProgram, false},
      {kHomepage, res::IDS_MENU_HOMEPAGE, Icons::Kind::kMyShare, false},
      {kAbout, res::IDS_MENU_ABOUT, Icons::Kind::kProgram, true},
  };
  for (const Entry& entry : entries) {
    auto* action = new QAction(UiString(entry.text), this);
    if (entry.has_icon) action->setIcon(Icons::Icon(entry.icon));
    const int id = entry.id;
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    m_actions[id] = action;
  }
  // The Delete key deletes shares only while File Share is in front: with another list shown
  // it would remove rows the owner cannot see. The menu shows the key beside its item.
  m_actions[kDeleteShare]->setText(
      UiString(res::IDS_MENU_DELETE_SHARE) + '\t' +
      QKeySequence(QKeySequence::Delete).toString(QKeySequence::NativeText));
  auto* del = new QShortcut(QKeySequence::Delete, this);
  connect(del, &QShortcut::activated, this, [this] {
    if (CurrentView() == kViewFileShare) OnCommand(kDeleteShare);
  });
}

void CTesselDlg::BuildMenus() {
  QMenuBar* bar = menuBar();
  QMenu* file = bar->addMenu(UiString(res::IDS_MENU_FILE));
  file->addAction(m_actions[kHide]);
  file->addAction(m_actions[kExit]);
  m_share_menu = bar->addMenu(UiString(res::IDS_MENU_SHARE));
  m_share_menu->addAction(m_actions[kCopyUrl]);
  m_share_menu->addSeparator();
  m_share_menu->addAction(m_actions[kNewShare]);
  m_share_menu->addAction(m_actions[kEditShare]);
  m_share_menu->addAction(m_actions[kDeleteShare]);
  m_account_menu = bar->addMenu(UiString(res::IDS_MENU_ACCOUNT));
  m_account_menu->addAction(m_actions[kNewAccount]);
  m_account_menu->addAction(m_actions[kEditAccount]);
  m_account_menu->addAction(m_actions[kDeleteAccount]);
  QMenu* options = bar->addMenu(UiString(res::IDS_MENU_OPTIONS));
  options->addAction(m_actions[kSettings]);
  options->addAction(m_actions[kInternetCheck]);
  QMenu* help = bar->addMenu(UiString(res::IDS_MENU_HELP));
  help->addAction(m_actions[kHelp]);
  help->addAction(m_actions[kHomepage]);
  help->addSeparator();
  help->addAction(m_actions[kAbout]);
}

void CTesselDlg::BuildToolBar() {
  struct Button {
    int id;  // 0: a separator
    Icons::Kind icon;
    int tip;
  };
  const Button buttons[] = {
      {kNewAccount, Icons::Kind::kNewAccount, res::IDS_TIP_NEW_ACCOUNT},
      {kNewShare, Icons::Kind::kNewShare, res::IDS_TIP_NEW_SHARE},
      {0, Icons::Kind::kProgram, 0},
      {kMyComputer, Icons::Kind::kMyComputer, res::IDS_TIP_MY_COMPUTER},
      {kMyShare, Icons::Kind::kMyShare, res::IDS_TIP_MY_SHARE},
      {kUploadPath, Icons::Kind::kUploadPath, res::IDS_TIP_UPLOAD_PATH},
      {kCopyUrl, Icons::Kind::kCopyUrl, res::IDS_TIP_COPY_URL},
      {0, Icons::Kind::kProgram, 0},
      {kInternetCheck, Icons::Kind::kInternetCheck, res::IDS_TIP_INTERNET_CHECK},
      {kSettings, Icons::Kind::kSettings, res::IDS_TIP_SETTINGS},
      {kHide, Icons::Kind::kHide, res::IDS_TIP_HIDE},
      {kExit, Icons::Kind::kExit, res::IDS_TIP_EXIT},
  };
  const QStringList labels = UiString(res::IDS_TOOLBAR_LABELS).split('|');
  m_tool_bar = new QToolBar(this);
  m_tool_bar->setObjectName("toolbar");
  m_tool_bar->setMovable(false);
  m_tool_bar->setFloatable(false);
  m_tool_bar->setContextMenuPolicy(Qt::PreventContextMenu);
  m_tool_bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  m_tool_bar->setIconSize(QSize(20, 20));
  int position = 0;
  for (const Button& button : buttons) {
    const QString label = position < labels.size() ? labels[position].trimmed() : QString();
    ++position;
    if (button.id == 0) {
      m_tool_bar->addSeparator();
      continue;
    }
    QAction* action = m_tool_bar->addAction(Icons::Icon(button.icon), label);
    action->setToolTip(UiString(button.tip));
    const int id = button.id;
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
  }
  addToolBar(Qt::TopToolBarArea, m_tool_bar);
}

void CTesselDlg::BuildOutBar() {
  m_out_bar = new CGfxOutBarCtrl(nullptr, CGfxOutBarCtrl::kSelHighlight);
  m_out_bar->SetImageList(
      {Icons::Icon(Icons::Kind::kFileShareView), Icons::Icon(Icons::Kind::kFriendsView),
       Icons::Icon(Icons::Kind::kLogsView)},
      CGfxOutBarCtrl::kImageLarge, QSize(32, 32));
  const int folder = m_out_bar->AddFolder(QString());
  m_out_bar->InsertItem(folder, kViewFileShare, UiString(res::IDS_VIEW_FILE_SHARE), 0);
  m_out_bar->InsertItem(folder, kViewMyFriends, UiString(res::IDS_VIEW_MY_FRIENDS), 1);
  m_out_bar->InsertItem(folder, kViewLogs, UiString(res::IDS_VIEW_LOGS), 2);
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
  const double scale = std::max(1.0, fontMetrics().averageCharWidth() / 5.5);
  auto width = [scale](int pixels) { return static_cast<int>(pixels * scale); };
  // Time stamps are shown whole.
  const int stamp = fontMetrics().horizontalAdvance("0000-00-00 00:00:00") + 16;

  m_shares = new QTreeWidget;
  m_shares->setObjectName("shares");
  SetUpList(m_shares);
  m_shares->setHeaderLabels({UiString(res::IDS_COL_FILE_NAME), UiString(res::IDS_COL_TYPE),
                             UiString(res::IDS_COL_SIZE), UiString(res::IDS_COL_FILE_TIME),
                             UiString(res::IDS_COL_SHARE_TIME), UiString(res::IDS_COL_UPLOADER),
                             UiString(res::IDS_COL_FILE_PATH), UiString(res::IDS_COL_DESCRIPTION)});
  m_shares->headerItem()->setTextAlignment(kColSize, Qt::AlignRight | Qt::AlignVCenter);
  const int share_widths[] = {150, 50, 70, 120, 120, 70, 200, 90};
  for (int column = 0; column < 8; ++column)
    m_shares->setColumnWidth(column, width(share_widths[column]));
  m_shares->setColumnWidth(kColFileTime, stamp);
  m_shares->setColumnWidth(kColShareTime, stamp);
  connect(m_shares, &QTreeWidget::itemDoubleClicked, this, [this] { OnCommand(kEditShare); });
  connect(m_shares, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    m_share_menu->popup(m_shares->viewport()->mapToGlobal(pos));
  });

  m_accounts = new QTreeWidget;
  m_accounts->setObjectName("accounts");
  SetUpList(m_accounts);
  m_accounts->setHeaderLabels({UiString(res::IDS_COL_ACCOUNT_NAME), UiString(res::IDS_COL_STATUS),
                               UiString(res::IDS_COL_AUTH_TYPE), UiString(res::IDS_COL_IP_ADDRESS),
                               UiString(res::IDS_COL_PASSWORD), UiString(res::IDS_COL_MODIFY_TIME),
                               UiString(res::IDS_COL_ACCOUNT_DESCRIPTION)});
  const int account_widths[] = {110, 70, 100, 100, 80, 120, 100};
  for (int column = 0; column < 7; ++column)
    m_accounts->setColumnWidth(column, width(account_widths[column]));
  m_accounts->setColumnWidth(5, stamp);
  connect(m_accounts, &QTreeWidget::itemDoubleClicked, this, [this] { OnCommand(kEditAccount); });
  connect(m_accounts, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    m_account_menu->popup(m_accounts->viewport()->mapToGlobal(pos));
  });

  m_log_model = new CLogModel(this);
  m_logs = new QTreeView;
  m_logs->setObjectName("logs");
  SetUpList(m_logs);
  m_logs->setContextMenuPolicy(Qt::NoContextMenu);
  m_logs->setModel(m_log_model);
  m_logs->setColumnWidth(0, stamp);

  // In the order of the out bar's items.
  m_stack->addWidget(m_shares);
  m_stack->addWidget(m_accounts);
  m_stack->addWidget(m_logs);
}

void CTesselDlg::BuildStatusBar() {
  m_status_bar = new CExtStatusControlBar;
  const int ids[] = {kPaneLed, kPaneProgress, kPaneText, kPaneDate, kPaneTime};
  for (int position = 0; position < 5; ++position) m_status_bar->AddPane(ids[position], position);
  const int clock_width =
      std::max(70, m_status_bar->fontMetrics().horizontalAdvance(" 0000-00-00 ") + 8);
  m_status_bar->SetPaneWidth(kPaneLed, 20);
  m_status_bar->SetPaneWidth(kPaneProgress, 90);
  m_status_bar->SetPaneStyle(kPaneText, CExtStatusControlBar::kPaneStretch);
  m_status_bar->SetPaneWidth(kPaneDate, clock_width);
  m_status_bar->SetPaneWidth(kPaneTime, clock_width);

  m_led = new CLed;
  m_led->SetLed(CLed::Color::kGreen, CLed::Mode::kOff, CLed::Shape::kRound);
  m_status_bar->AddPaneControl(m_led, kPaneLed, true);
  m_progress = new CExtStatusBarProgressCtrl;
  m_progress->setRange(0, 10);
  m_progress->SetStep(1);
  m_progress->setValue(0);
  m_status_bar->AddPaneControl(m_progress, kPaneProgress, true);
  m_status_text = new QLineEdit;
  m_status_text->setObjectName("statusText");
  m_status_text->setReadOnly(true);
  m_status_text->setFrame(false);
  m_status_text->setFocusPolicy(Qt::ClickFocus);
  m_status_text->setStyleSheet("QLineEdit { background: transparent; }");
  m_status_bar->AddPaneControl(m_status_text, kPaneText, true);
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

template <typename F>
void CTesselDlg::Post(F&& f) {
  QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::QueuedConnection);
}

void CTesselDlg::SetStatusText(const std::string& text) {
  Post([this, text = Local(text)] {
    m_status_text->setText(text);
    m_status_text->setCursorPosition(0);
  });
}

void CTesselDlg::SetPageUrl(const std::string& url) {
  {
    std::lock_guard lock(m_url_mutex);
    m_page_url = url;
  }
  Post([this, url = Local(url)] {
    m_info_bar->SetText(UiString(res::IDS_INFO_DOWNLOAD_FROM) + url);
    m_info_bar->SetQrText(url);
  });
}

void CTesselDlg::SetDirectUrl(const std::string& url) {
  std::lock_guard lock(m_url_mutex);
  m_direct_url = url;
}

void CTesselDlg::SetInfoText(const std::string& text) {
  Post([this, text = Local(text)] { m_info_bar->SetText(text); });
}

void CTesselDlg::SetProgress(int position) {
  Post([this, position] { m_progress->setValue(position); });
}

void CTesselDlg::StepProgress() {
  Post([this] { m_progress->StepIt(); });
}

QString CTesselDlg::StatusText() const {
  return m_status_text->text();
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
  m_status_text->setText(Local(shown->text).replace('\n', ' '));
  m_status_text->setCursorPosition(0);
  m_status_text->setToolTip(all.join('\n'));
}

std::string CTesselDlg::PageUrl() const {
  std::lock_guard lock(m_url_mutex);
  return m_page_url;
}

std::string CTesselDlg::DirectUrl() const {
  std::lock_guard lock(m_url_mutex);
  return m_direct_url;
}

// --- Commands.

void CTesselDlg::OnCommand(int id) {
  switch (id) {
    case kNewAccount:
      EditAccount(true);
      break;
    case kEditAccount:
      EditAccount(false);
      break;
    case kDeleteAccount:
      DeleteAccount();
      break;
    case kNewShare:
      EditShare(true);
      break;
    case kEditShare:
      EditShare(false);
      break;
    case kDeleteShare:
      DeleteSelectedShares();
      break;
    case kCopyUrl:
      CopyUrl();
      break;
    case kMyShare:
      if (const std::string url = PageUrl(); !url.empty()) OpenAddress(QUrl(Local(url)));
      break;
    case kMyComputer:
      OpenAddress(QUrl::fromLocalFile(QDir::homePath()));
      break;
    case kUploadPath:
      OpenAddress(QUrl::fromLocalFile(Local(m_context.system.GetUploadPath())));
      break;
    case kSettings:
      OpenSettings();
      break;
    case kInternetCheck:
      StartInternetCheck();
      break;
    case kHide:
      HideOrIconify();
      break;
    case kExit:
      hide();
      if (m_tray) m_tray->hide();
      // The program destroys the window once the loop has ended.
      QCoreApplication::exit(0);
      break;
    case kHelp:
      OpenAddress(QUrl(WebAddress("download/tessel.pdf")));
      break;
    case kHomepage:
      OpenAddress(QUrl(WebAddress(QString())));
      break;
    case kAbout:
      ShowAbout();
      break;
    case kRefreshShares:
      ShowList(kViewFileShare, false);
      break;
    default:
      break;
  }
}

int CTesselDlg::CurrentView() const {
  return m_stack->currentIndex();
}

void CTesselDlg::ShowList(int view, bool show) {
  if (view < kViewFileShare || view > kViewLogs) return;
  if (show) {
    m_stack->setCurrentIndex(view);
    m_out_bar->SetSelectedItem(view);
    m_out_bar->update();
    // The keyboard goes on in the list, unless it is walking the out bar's items.
    if (!m_out_bar->hasFocus()) m_stack->currentWidget()->setFocus();
  }
  switch (view) {
    case kViewFileShare:
      FillShares();
      break;
    case kViewMyFriends:
      FillAccounts();
      break;
    case kViewLogs:
      m_logs->scrollToBottom();
      break;
  }
}

void CTesselDlg::FillShares() {
  // The rows chosen before stay chosen, so a refill after an upload does not undo a selection.
  QSet<QString> selected;
  for (const QTreeWidgetItem* item : m_shares->selectedItems())
    selected.insert(item->text(kColName));
  const QString current =
      m_shares->currentItem() ? m_shares->currentItem()->text(kColName) : QString();

  std::vector<FileShareRecord> shares;
  m_context.shares.ListShares(shares);
  const QIcon public_icon = Icons::Icon(Icons::Kind::kPublicShare);
  const QIcon auth_icon = Icons::Icon(Icons::Kind::kAuthShare);
  const QString public_text = UiString(res::IDS_SHARE_PUBLIC);
  const QString auth_text = UiString(res::IDS_SHARE_AUTH);
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(shares.size()));
  QTreeWidgetItem* current_row = nullptr;
  std::vector<QTreeWidgetItem*> selected_rows;
  for (const FileShareRecord& share : shares) {
    struct stat info {};
    bool known = ::stat(share.path.c_str(), &info) == 0;
    // Only a path the file system says is gone ends its share. One that cannot be read now (no
    // permission, a drive not mounted, an I/O error) keeps it, shown without size and time.
    if (!known && (errno == ENOENT || errno == ENOTDIR)) {
      m_context.shares.RemoveShare(share.name);
      continue;
    }
    auto* row = new CListRow;
    const QString name = Local(share.name);
    const bool is_public = share.share_mode == FileShareRecord::kModePublic;
    row->setText(kColName, name);
    row->setIcon(kColName, is_public ? public_icon : auth_icon);
    row->setText(kColType, is_public ? public_text : auth_text);
    if (known) {
      // A folder's own size is the file system's bookkeeping, not its content: shown as 0.
      const uint64_t size = S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
      row->setText(kColSize, Local(FormatNumber(size)));
      row->setText(kColFileTime, TimeText(info.st_mtime));
    }
    row->setTextAlignment(kColSize, Qt::AlignRight | Qt::AlignVCenter);
    row->setText(kColShareTime, Local(share.share_time));
    row->setText(kColUploader, Local(share.uploader));
    row->setText(kColPath, Local(share.path));
    row->setText(kColDescription, Local(share.description));
    if (name == current) current_row = row;
    if (selected.contains(name)) selected_rows.push_back(row);
    rows.append(row);
  }
  m_shares->setUpdatesEnabled(false);
  m_shares->clear();
  m_shares->addTopLevelItems(rows);
  if (current_row) m_shares->setCurrentItem(current_row, 0, QItemSelectionModel::NoUpdate);
  for (QTreeWidgetItem* row : selected_rows) row->setSelected(true);
  m_shares->setUpdatesEnabled(true);
}

void CTesselDlg::FillAccounts() {
  const QString current =
      m_accounts->currentItem() ? m_accounts->currentItem()->text(0) : QString();
  std::vector<AccountRecord> accounts;
  m_context.accounts.ListAccounts(accounts);
  const QIcon icon = Icons::Icon(Icons::Kind::kFriend);
  m_accounts->clear();
  for (const AccountRecord& account : accounts) {
    auto* row = new CListRow;
    row->setIcon(0, icon);
    row->setText(0, Local(account.account_name));
    row->setText(1,
                 UiString(account.enabled ? res::IDS_ACCOUNT_ENABLED : res::IDS_ACCOUNT_DISABLED));
    row->setText(2, UiString(account.auth_type != 0 ? res::IDS_AUTH_IP_ADDRESS
                                                    : res::IDS_AUTH_USER_PASSWORD));
    row->setText(3, Local(account.ip_address));
    row->setText(4, Local(account.password));
    row->setText(5, Local(account.change_time));
    row->setText(6, Local(account.description));
    m_accounts->addTopLevelItem(row);
    if (row->text(0) == current) m_accounts->setCurrentItem(row);
  }
}

QTreeWidgetItem* CTesselDlg::FocusedSelected(QTreeWidget* list) {
  QTreeWidgetItem* item = list->currentItem();
  return item && item->isSelected() ? item : nullptr;
}

void CTesselDlg::DeleteSelectedShares() {
  const QList<QTreeWidgetItem*> rows = m_shares->selectedItems();
  for (QTreeWidgetItem* row : rows) {
    CDlgFileShare::DeleteShare(m_context.shares, row->text(kColName).toStdString());
    delete row;
  }
}

void CTesselDlg::CopyUrl() {
  std::string page, direct;
  {
    std::lock_guard lock(m_url_mutex);
    page = m_page_url;
    direct = m_direct_url;
  }
  if (page.empty()) return;
  QString text = Local(direct);
  // The name goes as it stands: a browser escapes what needs escaping when it is pasted.
  if (const QTreeWidgetItem* row = FocusedSelected(m_shares))
    text += "/download.htm?file=" + row->text(kColName);
  QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

void CTesselDlg::EditShare(bool new_share) {
  std::string name;
  if (!new_share) {
    const QTreeWidgetItem* row = FocusedSelected(m_shares);
    if (!row) return;
    name = row->text(kColName).toStdString();
  }
  CDlgFileShare dialog(m_context.shares, new_share, name, this, &m_shell);
  if (dialog.exec() == QDialog::Accepted) ShowList(kViewFileShare, true);
}

void CTesselDlg::EditAccount(bool new_account) {
  std::string name;
  if (!new_account) {
    const QTreeWidgetItem* row = FocusedSelected(m_accounts);
    if (!row) return;
    name = row->text(0).toStdString();
  }
  CDlgAccount dialog(m_context.accounts, new_account, name, this, &m_shell);
  if (dialog.exec() == QDialog::Accepted) ShowList(kViewMyFriends, true);
}

void CTesselDlg::DeleteAccount() {
  const QTreeWidgetItem* row = FocusedSelected(m_accounts);
  if (!row) return;
  if (CDlgAccount::DeleteAccount(m_context.accounts, row->text(0).toStdString(), this, &m_shell))
    ShowList(kViewMyFriends, true);
}

void CTesselDlg::OpenSettings() {
  CDlgSettings dialog(m_context.system, m_context.program_path, this, &m_shell, m_web);
  if (dialog.exec() != QDialog::Accepted) return;
  if (dialog.NewPort() != 0) {
    MoveService(dialog.NewPort());
  } else {
    m_status_text->setText(dialog.PortProblem());
    m_status_text->setCursorPosition(0);
  }
  StartInternetCheck();
}

void CTesselDlg::MoveService(int port) {
  CServiceHttp& service = m_context.service;
  const int old = service.Port();
  QString status;
  errno = 0;
  if (service.Restart(port)) {
    status = UiString(res::IDS_STATUS_SERVING).arg(port);
  } else {
    // A port that cannot be opened must not leave friends without a server: back to the old one.
    const QString reason = Local(std::strerror(errno != 0 ? errno : EADDRINUSE));
    if (old > 0 && service.Restart(old))
      status = UiString(res::IDS_STATUS_PORT_TAKEN).arg(port).arg(reason).arg(old);
    else
      status = UiString(res::IDS_STATUS_PORT_LOST).arg(port).arg(reason).arg(old);
  }
  m_status_text->setText(status);
  m_status_text->setCursorPosition(0);
}

void CTesselDlg::ShowAbout() {
  if (m_about) {
    m_about->raise();
    m_about->activateWindow();
    return;
  }
  auto* box = new QMessageBox(this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowTitle(UiString(res::IDS_ABOUT_TITLE));
  box->setIconPixmap(Icons::Pixmap(Icons::Kind::kProgram, 64));
  box->setText(UiString(res::IDS_ABOUT_VERSION));
  box->setStandardButtons(QMessageBox::Ok);
  m_about = box;
  box->open();
}

void CTesselDlg::OpenAddress(const QUrl& url) {
  // Failures are left alone: the desktop says itself when it has no handler.
  m_shell.OpenUrl(url);
}

QString CTesselDlg::WebAddress(const QString& path) const {
  QString address = "http://" + Local(m_web.host);
  if (m_web.port != 80) address += ':' + QString::number(m_web.port);
  return address + '/' + path;
}

// --- Hiding and the tray.

bool CTesselDlg::SystemTrayAvailable() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void CTesselDlg::HideOrIconify() {
  if (SystemTrayAvailable()) {
    UpdateTrayIcon();
    hide();
  } else {
    showMinimized();
  }
}

void CTesselDlg::UpdateTrayIcon() {
  const bool available = SystemTrayAvailable();
  if (available) {
    if (!m_tray) {
      m_tray = new QSystemTrayIcon(Icons::Icon(Icons::Kind::kProgram), this);
      m_tray->setToolTip(UiString(res::IDS_TRAY_TIP));
      connect(m_tray, &QSystemTrayIcon::activated, this,
              [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) ShowWindow();
              });
    }
    // A tray that has come (back) gets the icon anew; while it stays, showing again is a no-op.
    if (!m_tray_available) m_tray->hide();
    m_tray->show();
  } else if (m_tray_available && m_tray) {
    m_tray->hide();
  }
  m_tray_available = available;
}

void CTesselDlg::closeEvent(QCloseEvent* event) {
  // Closing hides: only Exit ends the program.
  event->ignore();
  HideOrIconify();
}

void CTesselDlg::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized() || !SystemTrayAvailable())
    return;
  // Hidden once the window manager is done iconifying, which it may still be doing now.
  QTimer::singleShot(0, this, [this] {
    if (isMinimized() && SystemTrayAvailable()) {
      UpdateTrayIcon();
      hide();
    }
  });
}

void CTesselDlg::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if ((key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) &&
      event->modifiers() == Qt::NoModifier && SystemTrayAvailable()) {
    UpdateTrayIcon();
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
  UpdateDateTime();
  UpdateTrayIcon();
  // Without a tray a hidden window would be out of reach: iconified, it is on the taskbar.
  if (m_tray_available)
    m_ticks_without_tray = 0;
  else if (++m_ticks_without_tray >= kTrayGraceTicks && isHidden())
    showMinimized();
  m_led->SetBlink(m_context.pool.CountActive(&m_context.service) > 0 ? 1000 : 0);
  if (++m_check_counter >= kCheckTicks) {
    m_check_counter = 0;
    StartInternetCheck();
  }
}

void CTesselDlg::UpdateDateTime() {
  const std::time_t now = std::time(nullptr);
  const QString stamp = TimeText(now);  // "%Y-%m-%d %H:%M:%S"
  m_status_bar->SetPaneText(kPaneDate, ' ' + stamp.left(10) + ' ');
  m_status_bar->SetPaneText(kPaneTime, ' ' + stamp.mid(11) + ' ');
}

void CTesselDlg::StartUpdaterOnce() {
  // Only the exact text "0" turns the check off; a missing setting leaves it on.
  if (m_context.system.GetParam("CheckNewVersion") == "0") return;
  const std::filesystem::path folder = std::filesystem::path(m_context.program_path).parent_path();
  const QString program = Local((folder / kUpdaterName).string());
  const QFileInfo info(program);
  if (!info.isFile() || !info.isExecutable()) return;
  StartUpdater(program, {QString("/LocalVersion=") + kVersion,
                         "/RemoteURL=" + WebAddress("download/tesselsetup.ini")});
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
    m_log_model->Append(std::move(lines));
    m_logs->scrollToBottom();
  }
  if (shares_changed) ShowList(kViewFileShare, false);
}
