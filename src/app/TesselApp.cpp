#include "app/TesselApp.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "app/AccountCommand.h"
#include "app/AutoStart.h"
#include "app/DisplayCheck.h"
#include "app/HeadlessCheckView.h"
#include "app/InternetCheckTimer.h"
#include "app/TransferReport.h"
#include "app/ZipCommand.h"
#include "base/ProgramFolder.h"
#include "base/TimeStamp.h"
#include "net/InternetCheck.h"
#include "net/Ipv6Addresses.h"

namespace fs = std::filesystem;

namespace {

// One line on standard output, written whole by one system call: a reader of the log sees each
// line as it happens, and lines from several threads never mix, with no lock between the
// workers that log downloads.
void PrintLine(const std::string& text) {
  const std::string line = text + "\n";
  for (std::size_t done = 0; done < line.size();) {
    const ssize_t written = write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // nobody reads standard output any more
    done += static_cast<std::size_t>(written);
  }
}

// An activity line: the local time "%Y-%m-%d %H:%M:%S", a space and the line.
void PrintLogLine(const std::string& text) {
  PrintLine(tessel::CurrentTimeStamp() + " " + text);
}

// A path given on the command line as the running instance needs it: absolute (the instance
// does not share the caller's working folder) and without a trailing "/".
std::string FullPath(const std::string& path) {
  std::error_code ec;
  std::string full = fs::absolute(path, ec).lexically_normal().string();
  if (ec) full = path;
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  return full;
}

// SIGTERM and SIGINT become the Exit command: the handler only writes a byte into a pipe that
// the event loop watches.
int g_stop_pipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
  errno = saved;
}

void RaiseDescriptorLimit() {
  constexpr rlim_t kWanted = 65536;
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= kWanted) return;
  files.rlim_cur = std::min(kWanted, files.rlim_max);
  setrlimit(RLIMIT_NOFILE, &files);
}

void SetStopSignalHandler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace

CTesselApp::CTesselApp(int& argc, char** argv, DesktopLoader load_desktop)
    : m_argc(argc),
      m_argv(argv),
      m_program_path(tessel::ExecutablePath()),
      m_load_desktop(std::move(load_desktop)),
      m_folders(tessel::ProgramFolders::OfThisProcess()),
      m_https(
          m_folders.data, [this](const std::string& name) { return m_system.GetParam(name); },
          [this] { return m_service.Port(); }),
      m_stack({.data_folder = m_folders.data, .web_folder = m_folders.web}) {}

// The log sink stays installed to the end: lines of downloads finishing while the service stops
// still go to standard output, which outlives everything here.
CTesselApp::~CTesselApp() {
  // The renewal's thread reads the settings, which go with the stores before the HTTPS set-up:
  // an early return (no free port, say) must stop it first, as the end of the event loop does.
  m_https.Stop();
  m_transfer_report.reset();
}

int CTesselApp::PortFromSetting(const std::string& value) {
  constexpr int kDefaultPort = 80;
  const char* text = value.c_str();
  char* end = nullptr;
  errno = 0;
  const long port = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || port < 1 || port > 65535) return kDefaultPort;
  return static_cast<int>(port);
}

int CTesselApp::InitInstance() {
  // A vanished client must never end the process (sendfile cannot suppress SIGPIPE).
  signal(SIGPIPE, SIG_IGN);
  // Every connection takes a descriptor: the pool's 1503 workers need more than the usual 1024.
  RaiseDescriptorLimit();

  const CommandLine line = CommandLine::Parse(m_argc, m_argv);
  if (AnswerWithoutStarting(line)) return 0;

  PrepareDataFolder();
  std::string store_error;
  const bool stores_open = m_stack.OpenStores(&store_error);

  const bool running = m_channel.Connect();
  if (line.selected == CommandLine::Switch::kPassword ||
      line.selected == CommandLine::Switch::kAccounts)
    return tessel::RunAccountCommand(line.selected == CommandLine::Switch::kPassword, line.path,
                                     m_channel, stores_open ? &m_accounts : nullptr, store_error);
  int status = 0;
  if (!ObeyCommandLine(line, &status)) return status;
  if (running) {
    const int shown = HandOverToRunningInstance();
    return status != 0 ? status : shown;
  }
  // This process serves: the user hears first what is wrong with what it serves from. Without
  // a window nobody could mend a broken database, so serving nothing would only hide it.
  const std::string database = m_system.GetDatabasePath();
  if (!stores_open) {
    Notify("cannot open the database " + database + ": " + store_error, true,
           "The database " + database + " cannot be opened: " + store_error + ".");
    if (m_headless) return 1;
  } else if (m_accounts.HasDefaultAdminPassword()) {
    const std::string admin = CDataAccount::kDefaultAdminName;
    Notify("the account " + admin +
               " still has the well-known default password, so anyone can log in with every "
               "right; change it with: tessel -password " +
               admin,
           true,
           "The account " + admin +
               " still has the well-known default password: change it in My Friends.");
  }

  // From here on this process is the instance. The event loop's object exists before any thread
  // starts, as it sets the process's locale.
  m_with_window = ChooseWindow();
  if (m_with_window)
    m_qt = m_desktop->CreateApplication(m_argc, m_argv);
  else
    m_qt = std::make_unique<QCoreApplication>(m_argc, m_argv);
  switch (m_channel.ClaimEndpoint()) {
    case CInstanceChannel::Claim::kOwned:
      break;
    case CInstanceChannel::Claim::kOtherRunning:  // started at the same moment as this one
      return HandOverToRunningInstance();
    case CInstanceChannel::Claim::kBusy:
      std::fprintf(stderr,
                   "tessel: another instance holds %s but does not answer; try again shortly\n",
                   m_channel.SocketPath().c_str());
      return 1;
    case CInstanceChannel::Claim::kUnavailable:
      std::fprintf(stderr,
                   "tessel: no private folder for the single-instance socket (set "
                   "XDG_RUNTIME_DIR); later starts will not find this one\n");
      break;
  }
  if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) == 0) SetStopSignalHandler(OnStopSignal);
  // Before the address is printed, which tells scripts the instance is up. The table ends with
  // an empty line, which sets it apart from the activity lines around it.
  m_transfer_report = std::make_unique<CTransferReport>(m_stack.transfers, PrintLine);

  m_pool.Start();
  // Only the result of the whole start-up matters; the firewall's answer does not.
  m_firewall.Attach();
  m_firewall.AuthorizeApp(m_program_path.c_str(), "Tessel");

  // No window yet: the activity log goes to standard output, with the database's failures.
  m_log.SetLogSink(PrintLogLine);
  m_stack.LogStoreFailures();
  Notify("Database: " + m_system.GetDatabasePath(), false);
  m_https.Start();
  m_service.SetAcmeChallenges(&m_https.Challenges());
  m_service.SetTls(&m_https.Context(), &m_https.Certificates());
  if (!StartService() && m_headless) return 1;
  if (m_with_window)
    OpenMainWindow();
  else
    StartInternetChecks();
  // The certificate lines go where the activity log goes: the window's Logs list, if any.
  m_https.SetLog([this](const std::string& line) { m_log.AddNotice(line); });
  // Without the window's Settings dialog, its HTTPS facts are start-up lines.
  if (!m_with_window)
    for (const std::string& line : m_https.FactLines(false)) m_log.AddNotice(line);
  return RunEventLoop();
}

bool CTesselApp::ChooseWindow() {
  if (!m_load_desktop || m_headless) return false;
  std::string reason;
  if (tessel::DisplayAvailable(&reason)) {
    m_desktop = m_load_desktop(&reason);
    if (m_desktop) return true;
    reason = "cannot load the window: " + reason;
  }
  std::fprintf(stderr, "tessel: %s; serving without a window\n", reason.c_str());
  return false;
}

void CTesselApp::OpenMainWindow() {
  MainWindowContext context{m_accounts, m_shares,  m_log,          m_system,
                            m_pool,     m_service, m_program_path, PrintLogLine};
  for (const StartupNotice& notice : m_notices)
    context.notices.push_back(
        {notice.status.empty() ? notice.text : notice.status, notice.problem});
  context.https = &m_https;
  context.transfers = &m_stack.transfers;
  m_window = m_desktop->CreateMainWindow(context);
  if (m_show_window) m_window->ShowWindow();
}

bool CTesselApp::ObeyCommandLine(const CommandLine& line, int* status) {
  using Switch = CommandLine::Switch;
  if (line.NeedsPath() && (!line.has_path || line.path.empty())) {
    std::fprintf(stderr, "tessel: %s needs a path\n", line.first.c_str());
    *status = 2;
    return false;
  }
  switch (line.selected) {
    case Switch::kShareFile:
    case Switch::kShareAuth:
      // A share the running instance did not take fails this start; without an instance,
      // start-up goes on whatever the store said.
      if (!ShareFromCommandLine(line)) *status = 1;
      return true;
    case Switch::kUninstall:
      *status = 0;
      if (!tessel::RemoveAutoStartEntry()) {
        std::fprintf(stderr, "tessel: cannot remove %s\n", tessel::AutoStartEntryPath().c_str());
        *status = 1;
      }
      if (m_channel.IsConnected() && !m_channel.Send({InstanceRequest::kExit, 0, {}})) {
        std::fprintf(stderr, "tessel: the running instance did not confirm its exit\n");
        *status = 1;
      }
      return false;
    case Switch::kZip:
      *status = ZipFromCommandLine(line);
      return false;
    case Switch::kMini:
      // The window starts hidden in the tray (the auto-start entry's way); where there is no
      // tray it puts itself on the taskbar.
      m_show_window = false;
      return true;
    case Switch::kHeadless:
      m_headless = true;
      return true;
    case Switch::kHelp:
    case Switch::kVersion:  // answered before anything started
    case Switch::kPassword:
    case Switch::kAccounts:
      *status = 0;
      return false;
    case Switch::kNone:
      if (!line.first.empty())
        std::fprintf(stderr, "tessel: ignoring the unknown argument \"%s\"\n", line.first.c_str());
      return true;
  }
  return true;
}

bool CTesselApp::ShareFromCommandLine(const CommandLine& line) {
  const int mode = line.selected == CommandLine::Switch::kShareFile ? FileShareRecord::kModePublic
                                                                    : FileShareRecord::kModeAuth;
  const std::string path = FullPath(line.path);
  bool shared = false;
  if (m_channel.IsConnected()) {
    shared = m_channel.Send({InstanceRequest::kShare, mode, path});
  } else {
    shared = !m_shares.ShareFile(path, "", mode).empty();
  }
  if (!shared) std::fprintf(stderr, "tessel: could not share %s\n", path.c_str());
  return shared;
}

int CTesselApp::ZipFromCommandLine(const CommandLine& line) {
  // A long job must not hold the running instance's endpoint.
  m_channel.Disconnect();
  std::string archive;
  switch (tessel::ZipBeside(line.path, archive)) {
    case tessel::ZipOutcome::kWritten:
      PrintLine(archive);
      return 0;
    case tessel::ZipOutcome::kNotFound:
      std::fprintf(stderr, "tessel: %s: no such file or folder\n", line.path.c_str());
      break;
    case tessel::ZipOutcome::kSameFile:
      std::fprintf(stderr, "tessel: the archive of %s would replace the file itself\n",
                   line.path.c_str());
      break;
    case tessel::ZipOutcome::kCannotCreate:
      std::fprintf(stderr, "tessel: cannot create %s\n",
                   archive.empty() ? "the archive" : archive.c_str());
      break;
    case tessel::ZipOutcome::kWriteFailed:
      std::fprintf(stderr, "tessel: %s is incomplete: an item could not be read or written\n",
                   archive.c_str());
      break;
  }
  return 1;
}

int CTesselApp::HandOverToRunningInstance() {
  if (!m_channel.Send({InstanceRequest::kShow, 0, {}}))
    std::fprintf(stderr, "tessel: the running instance did not answer\n");
  else
    PrintLine("Tessel is already running.");
  return 0;
}

bool CTesselApp::AnswerWithoutStarting(const CommandLine& line) {
  switch (line.selected) {
    case CommandLine::Switch::kHelp:
      PrintLine(CommandLine::Usage());
      return true;
    case CommandLine::Switch::kVersion:
      PrintLine(CommandLine::VersionText());
      return true;
    default:
      return false;
  }
}

void CTesselApp::PrepareDataFolder() {
  // A portable program's folder is the user's own; only the per-user folder may need making.
  if (!m_folders.installed) return;
  std::string error;
  if (!tessel::MakePrivateFolder(m_folders.data, &error))
    Notify("cannot make the data folder " + error + "; running without a database", true);
}

int CTesselApp::StartOnFirstFreePort(int first, int last, bool* denied, int* error) {
  *denied = true;
  *error = 0;
  for (int port = first; port <= last; ++port) {
    errno = 0;
    if (m_service.Start(port)) return port;
    *error = errno;  // the listening socket's failure, left by the service
    if (*error != EACCES) *denied = false;
  }
  return 0;
}

bool CTesselApp::StartService() {
  const int first = PortFromSetting(m_system.GetParam("LocalPort"));
  const int last = std::min(first + kMorePorts, 65535);
  const std::string range = std::to_string(first) + " to " + std::to_string(last);
  bool denied = false;
  int error = 0;
  int port = StartOnFirstFreePort(first, last, &denied, &error);
  std::string failure = "cannot listen on any port from " + range;
  if (error != 0) failure += std::string(" (") + std::strerror(error) + ")";

  // Ports below 1024 need privilege on Linux, which a first start by an ordinary user lacks:
  // serving elsewhere beats serving nothing. The setting stays, for when privilege comes.
  if (port == 0 && denied) {
    const int other_last = kUnprivilegedPort + kMorePorts;
    bool other_denied = false;
    port = StartOnFirstFreePort(kUnprivilegedPort, other_last, &other_denied, &error);
    if (port != 0) {
      Notify("ports " + range + " need root or the CAP_NET_BIND_SERVICE capability, so Tessel " +
                 "serves on port " + std::to_string(port) + " instead.\n" + LowPortAdvice(),
             true);
    } else {
      failure +=
          ", nor from " + std::to_string(kUnprivilegedPort) + " to " + std::to_string(other_last);
      if (error != 0) failure += std::string(" (") + std::strerror(error) + ")";
    }
  }
  if (port != 0) {
    PrintLine("Serving on port " + std::to_string(port));
    PrintAddresses();
    return true;
  }
  failure += "; running without a service.";
  if (denied)
    failure +=
        "\nPorts below 1024 need root or the CAP_NET_BIND_SERVICE capability: set the "
        "LocalPort setting to 1024 or above, or grant the capability.\n" +
        LowPortAdvice();
  Notify(failure, true);
  return false;
}

std::string CTesselApp::LowPortAdvice() const {
  // The package grants the capability when it installs; a copy elsewhere (or one unpacked by
  // hand) needs it granted, again after each rebuild replaces the file.
  const char* package = m_folders.installed ? "reinstall" : "install";
  return std::string("For port 80, ") + package +
         " the Tessel package (it grants the capability), or run:"
         "\n  sudo setcap cap_net_bind_service=+ep " +
         m_program_path;
}

void CTesselApp::Notify(const std::string& text, bool problem, const std::string& status) {
  m_notices.push_back({text, problem, status});
  if (!problem) {
    PrintLine(text);
    return;
  }
  const std::string line = "tessel: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void CTesselApp::PrintAddresses() const {
  const int port = m_service.Port();
  const std::string suffix = port == 80 ? "/" : ":" + std::to_string(port) + "/";
  const std::vector<std::string> addresses = tessel::GetLocalAddresses();
  for (const std::string& address : addresses) PrintLine("URL: http://" + address + suffix);
  const std::vector<std::string> v6_addresses = tessel::GetStableV6Addresses();
  for (const std::string& address : v6_addresses)
    PrintLine("URL: http://[" + address + "]" + suffix);
  if (addresses.empty() && v6_addresses.empty())
    PrintLine("URL: http://127.0.0.1" + suffix + " (this computer only: no network address)");
}

bool CTesselApp::OnInstanceRequest(const InstanceRequest& request, std::string& text) {
  switch (request.kind) {
    case InstanceRequest::kShare: {
      const int mode =
          request.share_mode == 0 ? FileShareRecord::kModePublic : FileShareRecord::kModeAuth;
      if (m_window) return m_window->ShareHandedOver(request.path, mode);
      const std::string name = m_shares.ShareFile(request.path, "", mode);
      if (name.empty()) return false;
      PrintLogLine("shared " + request.path + " as " + name);
      return true;
    }
    case InstanceRequest::kShow:
      if (m_window) m_window->ShowWindow();
      return true;
    case InstanceRequest::kExit:
      QCoreApplication::exit(0);
      return true;
    case InstanceRequest::kAccounts: {
      const tessel::AccountTaskOutcome listed = tessel::ListAccountsTask(m_accounts);
      text = listed.text;
      return listed.done;
    }
    case InstanceRequest::kPassword: {
      const tessel::AccountTaskOutcome changed =
          tessel::SetPasswordTask(m_accounts, request.path, request.secret);
      text = changed.text;
      if (!changed.done) return false;
      m_log.AddNotice(changed.text + " (from the command line)");
      if (m_window) m_window->AccountsChanged();
      return true;
    }
  }
  return false;
}

void CTesselApp::StartInternetChecks() {
  // No window yet: what the check shows goes to standard output.
  m_internet_check = std::make_unique<CInternetCheckTimer>(
      std::make_unique<CHeadlessCheckView>(PrintLine, [this] { return m_https.FactLines(true); }),
      [this](const std::string& name) { return m_system.GetParam(name); },
      [this] { return m_service.Port(); });
  m_internet_check->Start();
}

int CTesselApp::RunEventLoop() {
  m_channel.Serve([this](const InstanceRequest& request, std::string& text) {
    return OnInstanceRequest(request, text);
  });
  if (g_stop_pipe[0] >= 0) {
    m_stop_notifier = std::make_unique<QSocketNotifier>(g_stop_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_stop_notifier.get(), &QSocketNotifier::activated, [] {
      char drained[16];
      while (read(g_stop_pipe[0], drained, sizeof drained) > 0) {
      }
      QCoreApplication::exit(0);
    });
  }
  const int code = QCoreApplication::exec();

  // A second signal during shutdown ends the process the hard way, as the user then wants.
  SetStopSignalHandler(SIG_DFL);
  // The window hands the activity log back to standard output as it goes.
  m_window.reset();
  m_https.Stop();
  m_stop_notifier.reset();
  m_transfer_report.reset();
  m_channel.StopServing();
  return code;
}
