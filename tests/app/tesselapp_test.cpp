// The whole program, run as a child process: start-up, the single instance, the switches, the
// port rule, the headless log and shutdown.
#include "app/TesselApp.h"

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>
#include <regex>

#include "app/AutoStart.h"
#include "app/CommandLine.h"
#include "support/Eventually.h"
#include "support/NetworkIsolation.h"
#include "support/ProgramRunner.h"

namespace fs = std::filesystem;
using Child = ProgramRunner::Child;

namespace {

// Holds a TCP port on every address, as another server would; -1 when it cannot.
int HoldPort(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Past connections of an earlier test in this process may linger on the port; a listener
  // still excludes every other.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends request to 127.0.0.1:port and returns all that comes back.
std::string Exchange(int port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
  }
  close(fd);
  return reply;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class TesselAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tessel::test::NetworkIsolated()) GTEST_SKIP() << "no private network namespace";
  }

  void SetSetting(const std::string& name, const std::string& value) {
    CDataSystem settings(m_runner.ProgramFolder());
    ASSERT_TRUE(settings.Open());
    ASSERT_TRUE(settings.SetParam(name, value));
  }
  std::string GetSetting(const std::string& name) {
    CDataSystem settings(m_runner.ProgramFolder());
    settings.Open();
    return settings.GetParam(name);
  }
  std::vector<FileShareRecord> Shares() {
    CDataFileShare shares(m_runner.ProgramFolder());
    std::vector<FileShareRecord> list;
    if (shares.Open()) shares.ListShares(list);
    return list;
  }
  // The one share of path; fails the test when there is not exactly one.
  FileShareRecord ShareOf(const std::string& path) {
    FileShareRecord found;
    int count = 0;
    for (const FileShareRecord& share : Shares()) {
      if (share.path == path) {
        found = share;
        ++count;
      }
    }
    EXPECT_EQ(count, 1) << path;
    return found;
  }
  // Writes the auto-start entry as the program would, into the child's config folder.
  void WriteEntry(const std::string& program) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string restore = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", (m_runner.Root() + "/config").c_str(), 1);
    EXPECT_EQ(tessel::AutoStartEntryPath(), m_runner.AutoStartEntry());
    EXPECT_TRUE(tessel::WriteAutoStartEntry(program));
    saved ? setenv("XDG_CONFIG_HOME", restore.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    const std::string entry = ProgramRunner::Read(m_runner.AutoStartEntry());
    EXPECT_NE(entry.find("\nExec=" + program + " -mini\n"), std::string::npos) << entry;
  }
  std::string Out(const Child& child) { return ProgramRunner::Read(child.out); }
  std::string Err(const Child& child) { return ProgramRunner::Read(child.err); }
  // The port of "Serving on port N"; 0 when there is none.
  int ServedPort(const Child& child) {
    std::smatch match;
    const std::string out = Out(child);
    return std::regex_search(out, match, std::regex("Serving on port (\\d+)\n"))
               ? std::stoi(match[1])
               : 0;
  }
  static size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++count;
    return count;
  }

  ProgramRunner m_runner;
};

TEST(CommandLineTest, FirstArgumentSelectsWithoutRegardToCase) {
  auto parse = [](std::vector<const char*> args) {
    args.insert(args.begin(), "tessel");
    return CommandLine::Parse(static_cast<int>(args.size()), args.data());
  };
  using Switch = CommandLine::Switch;
  EXPECT_EQ(parse({}).selected, Switch::kNone);
  EXPECT_EQ(parse({"-F", "/a"}).selected, Switch::kShareFile);
  EXPECT_EQ(parse({"-a", "/a"}).selected, Switch::kShareAuth);
  EXPECT_EQ(parse({"-UnInstall"}).selected, Switch::kUninstall);
  EXPECT_EQ(parse({"-Z", "x"}).selected, Switch::kZip);
  EXPECT_EQ(parse({"-MINI", "-f", "/a"}).selected, Switch::kMini);
  EXPECT_EQ(parse({"-HeadLess"}).selected, Switch::kHeadless);
  // Only the first argument selects, and only exactly.
  EXPECT_EQ(parse({"/a", "-f"}).selected, Switch::kNone);
  EXPECT_EQ(parse({"-ff", "/a"}).selected, Switch::kNone);
  EXPECT_EQ(parse({"f", "/a"}).selected, Switch::kNone);
  const CommandLine line = parse({"-f", "/a b", "ignored"});
  EXPECT_TRUE(line.has_path);
  EXPECT_EQ(line.path, "/a b");
  EXPECT_FALSE(parse({"-f"}).has_path);
}

TEST(PortSettingTest, LeadingIntegerWithZeroAndNonPortsMeaning80) {
  EXPECT_EQ(CTesselApp::PortFromSetting("8080"), 8080);
  EXPECT_EQ(CTesselApp::PortFromSetting("  \t8080"), 8080);
  EXPECT_EQ(CTesselApp::PortFromSetting("+8080"), 8080);
  EXPECT_EQ(CTesselApp::PortFromSetting("8080 and more"), 8080);
  EXPECT_EQ(CTesselApp::PortFromSetting("65535"), 65535);
  EXPECT_EQ(CTesselApp::PortFromSetting(""), 80);
  EXPECT_EQ(CTesselApp::PortFromSetting("http"), 80);
  EXPECT_EQ(CTesselApp::PortFromSetting("0"), 80);
  EXPECT_EQ(CTesselApp::PortFromSetting("-0"), 80);
  // Numbers that are no port would wrap around into some other port.
  EXPECT_EQ(CTesselApp::PortFromSetting("-8080"), 80);
  EXPECT_EQ(CTesselApp::PortFromSetting("65536"), 80);
  EXPECT_EQ(CTesselApp::PortFromSetting("99999999999999999999999"), 80);
}

TEST(AutoStartTest, EntryPathAndExecLine) {
  const char* saved_config = std::getenv("XDG_CONFIG_HOME");
  const std::string restore = saved_config ? saved_config : "";
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(tessel::AutoStartEntryPath(), "/cfg/autostart/Tessel.desktop");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  const char* home = std::getenv("HOME");
  if (home && *home) {
    EXPECT_EQ(tessel::AutoStartEntryPath(),
              std::string(home) + "/.config/autostart/Tessel.desktop");
  }
  saved_config ? setenv("XDG_CONFIG_HOME", restore.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");

  EXPECT_EQ(tessel::AutoStartExec("/opt/tessel/tessel"), "/opt/tessel/tessel -mini");
  // Quoted for the blank; "$" escaped inside the quotes, "%" doubled, and the backslash of the
  // escape doubled again by the entry's own string escapes.
  EXPECT_EQ(tessel::AutoStartExec("/my apps/$x/100%/tessel"),
            "\"/my apps/\\\\$x/100%%/tessel\" -mini");
}

TEST_F(TesselAppTest, FirstStartMakesStoreAndSecondStartsEndAtOnce) {
  const std::string folder = m_runner.ProgramFolder();
  ASSERT_FALSE(fs::exists(folder + "/tessel.mdb"));
  Child first;
  m_runner.Start(first, {"-headless"});
  ASSERT_TRUE(m_runner.WaitForOutput(first, "URL: ")) << Err(first);
  // The store comes first, whatever happens to the port, and start-up says where it is.
  EXPECT_TRUE(fs::is_regular_file(folder + "/tessel.mdb"));
  EXPECT_TRUE(fs::is_directory(folder + "/upload"));
  EXPECT_EQ(GetSetting("UploadPath"), folder + "/upload");
  EXPECT_EQ(Count(Out(first), "Database: " + folder + "/tessel.mdb\n"), 1u) << Out(first);
  const bool privileged = ServedPort(first) == 80;
  if (privileged) {
    EXPECT_NE(Out(first).find("URL: http://127.0.0.1/"), std::string::npos) << Out(first);
  } else {
    // Without the right to bind ports below 1024 (not root): the first port after them.
    EXPECT_EQ(ServedPort(first), 8080) << Out(first);
    EXPECT_NE(Out(first).find("URL: http://127.0.0.1:8080/"), std::string::npos) << Out(first);
  }
  EXPECT_TRUE(fs::exists(m_runner.SocketPath()));

  // Later starts of any kind find it, hand over and end without serving.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-headless"}, {"-Mini", "extra"}, {"--unknown"}}) {
    Child second;
    EXPECT_EQ(m_runner.Run(second, args), 0);
    EXPECT_EQ(Out(second).find("Serving"), std::string::npos) << Out(second);
    EXPECT_NE(Out(second).find("already running"), std::string::npos);
  }
  EXPECT_TRUE(m_runner.IsRunning(first));
  const std::string out = Out(first);
  EXPECT_EQ(out.find("Serving"), out.rfind("Serving"));

  EXPECT_EQ(m_runner.Stop(first, SIGTERM), 0);
  EXPECT_FALSE(fs::exists(m_runner.SocketPath()));
  // A new database lets anybody in as admin: that is said on standard error, with nothing else
  // when the port needed no other choice.
  const std::string warning =
      "tessel: the account admin still has the well-known default password, so anyone can log in "
      "with every right; change it with: tessel -password admin\n";
  EXPECT_NE(Err(first).find(warning), std::string::npos) << Err(first);
  if (privileged) {
    EXPECT_EQ(Err(first), warning);
  }
}

TEST_F(TesselAppTest, ShareSwitchesWithoutRunningInstanceShareAndStart) {
  SetSetting("LocalPort", "8090");
  const std::string file = m_runner.Root() + "/a.txt";
  const std::string folder = m_runner.Root() + "/docs";
  WriteFile(file, "hello");
  fs::create_directory(folder);

  // A relative path is shared as the full path it names.
  Child first;
  m_runner.Start(first, {"-f", "a.txt"});
  ASSERT_TRUE(m_runner.WaitForOutput(first, "URL: http://127.0.0.1:8090/")) << Err(first);
  FileShareRecord share = ShareOf(file);
  EXPECT_EQ(share.share_mode, FileShareRecord::kModePublic);
  EXPECT_EQ(share.uploader, "");
  EXPECT_EQ(share.name, "a.txt");
  EXPECT_EQ(m_runner.Stop(first, SIGINT), 0);

  Child second;
  m_runner.Start(second, {"-A", folder + "/", "ignored"});
  ASSERT_TRUE(m_runner.WaitForOutput(second, "URL: http://127.0.0.1:8090/")) << Err(second);
  share = ShareOf(folder);
  EXPECT_EQ(share.share_mode, FileShareRecord::kModeAuth);
  EXPECT_EQ(share.uploader, "");
  EXPECT_EQ(share.name, "docs");
  EXPECT_EQ(m_runner.Stop(second), 0);

  // A switch that needs a path and has none ends without starting.
  Child bare;
  EXPECT_EQ(m_runner.Run(bare, {"-f"}), 2);
  EXPECT_NE(Err(bare).find("needs a path"), std::string::npos);
  EXPECT_EQ(Shares().size(), 2u);
}

TEST_F(TesselAppTest, ShareSwitchesHandOverAndUninstallEndsTheInstance) {
  SetSetting("LocalPort", "8090");
  const std::string file = m_runner.Root() + "/report.pdf";
  const std::string folder = m_runner.Root() + "/photos";
  WriteFile(file, "pdf");
  fs::create_directory(folder);
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);

  // Each hand-over is answered once the share is recorded: it is there when the sender ends.
  Child sender;
  EXPECT_EQ(m_runner.Run(sender, {"-F", "report.pdf"}), 0);
  FileShareRecord share = ShareOf(file);
  EXPECT_EQ(share.share_mode, FileShareRecord::kModePublic);
  EXPECT_EQ(share.uploader, "");
  EXPECT_EQ(m_runner.Run(sender, {"-a", folder}), 0);
  share = ShareOf(folder);
  EXPECT_EQ(share.share_mode, FileShareRecord::kModeAuth);
  EXPECT_EQ(share.uploader, "");
  // The same file again gets a second name.
  EXPECT_EQ(m_runner.Run(sender, {"-f", file}), 0);
  EXPECT_EQ(Shares().size(), 3u);
  EXPECT_TRUE(m_runner.WaitForOutput(instance, "shared " + folder + " as photos"));
  EXPECT_EQ(Out(sender).find("Serving"), std::string::npos);
  // A hand-over the instance cannot take is the sender's failure.
  EXPECT_EQ(m_runner.Run(sender, {"-f", "/" + std::string(70000, 'x')}), 1);
  EXPECT_NE(Err(sender).find("could not share"), std::string::npos);
  EXPECT_EQ(Shares().size(), 3u);

  // "-uninstall" removes the entry and returns only once the instance has stopped serving and
  // closed its stores (the last connection to close removes the write-ahead log); the process
  // itself ends right after.
  const std::string wal = m_runner.ProgramFolder() + "/tessel.mdb-wal";
  EXPECT_TRUE(fs::exists(wal));
  WriteEntry(m_runner.ProgramFolder() + "/tessel");
  Child uninstall;
  EXPECT_EQ(m_runner.Run(uninstall, {"-UNINSTALL", "extra"}), 0);
  EXPECT_FALSE(fs::exists(m_runner.AutoStartEntry()));
  EXPECT_FALSE(fs::exists(m_runner.SocketPath()));
  EXPECT_FALSE(fs::exists(wal));
  EXPECT_TRUE(m_runner.Wait(instance));
  EXPECT_EQ(instance.status, 0);
  // The shares stay.
  EXPECT_EQ(Shares().size(), 3u);
}

TEST_F(TesselAppTest, UninstallWithoutInstanceOnlyRemovesTheEntry) {
  WriteEntry(m_runner.ProgramFolder() + "/tessel");
  Child uninstall;
  EXPECT_EQ(m_runner.Run(uninstall, {"-uninstall"}), 0);
  EXPECT_FALSE(fs::exists(m_runner.AutoStartEntry()));
  EXPECT_EQ(Out(uninstall).find("Serving"), std::string::npos);
  // Nothing is left listening.
  EXPECT_FALSE(fs::exists(m_runner.SocketPath()));
  // Without an entry there is nothing to remove, which is no failure.
  EXPECT_EQ(m_runner.Run(uninstall, {"-uninstall"}), 0);
  EXPECT_EQ(Err(uninstall), "");
}

TEST_F(TesselAppTest, TakenPortsMoveTheServiceOnButNotTheSetting) {
  SetSetting("LocalPort", "8080");
  const int held[] = {HoldPort(8080), HoldPort(8081)};
  ASSERT_GE(held[0], 0);
  ASSERT_GE(held[1], 0);
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  EXPECT_NE(Out(instance).find("Serving on port 8082\n"), std::string::npos) << Out(instance);
  EXPECT_NE(Out(instance).find("URL: http://127.0.0.1:8082/"), std::string::npos);
  EXPECT_NE(Exchange(8082, "GET /nothing HTTP/1.0\r\n\r\n").find("HTTP/1."), std::string::npos);
  EXPECT_EQ(GetSetting("LocalPort"), "8080");
  EXPECT_EQ(m_runner.Stop(instance), 0);
  for (int fd : held) close(fd);
}

TEST_F(TesselAppTest, UnusablePortSettingTriesPorts80To89) {
  // Port 80 is taken, so a service that starts at 80 lands on 81.
  const int held = HoldPort(80);
  for (const std::string value : {"", "web", "0"}) {
    SCOPED_TRACE("LocalPort \"" + value + "\"");
    SetSetting("LocalPort", value);
    Child instance;
    ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
    if (held >= 0) {
      EXPECT_NE(Out(instance).find("Serving on port 81\n"), std::string::npos) << Out(instance);
    } else {
      // Not root: none of 80 to 89 can be bound, so the first port after them.
      EXPECT_NE(Out(instance).find("Serving on port 8080\n"), std::string::npos) << Out(instance);
      EXPECT_NE(Err(instance).find("ports 80 to 89 need root"), std::string::npos) << Err(instance);
    }
    EXPECT_EQ(m_runner.Stop(instance), 0);
  }
  if (held >= 0) close(held);
}

TEST_F(TesselAppTest, NoFreePortIsReportedAndEndsHeadlessMode) {
  SetSetting("LocalPort", "8080");
  std::vector<int> held;
  for (int port = 8080; port <= 8089; ++port) held.push_back(HoldPort(port));
  for (int fd : held) ASSERT_GE(fd, 0);

  Child headless;
  EXPECT_EQ(m_runner.Run(headless, {"-headless"}), 1);
  const std::string err = Err(headless);
  EXPECT_NE(err.find("cannot listen on any port from 8080 to 8089"), std::string::npos) << err;
  EXPECT_NE(err.find("Address already in use"), std::string::npos) << err;
  EXPECT_EQ(err.find("CAP_NET_BIND_SERVICE"), std::string::npos);  // not the reason here
  EXPECT_EQ(Out(headless).find("Serving"), std::string::npos);
  EXPECT_FALSE(fs::exists(m_runner.SocketPath()));

  // A plain start says so too but stays, reachable by later starts.
  Child plain;
  m_runner.Start(plain, {});
  tessel::test::Eventually([&] { return Err(plain).find("running without") != std::string::npos; });
  EXPECT_NE(Err(plain).find("from 8080 to 8089"), std::string::npos);
  Child later;
  const std::string file = m_runner.Root() + "/late.txt";
  WriteFile(file, "x");
  EXPECT_EQ(m_runner.Run(later, {"-f", file}), 0);
  EXPECT_EQ(ShareOf(file).share_mode, 0);
  EXPECT_TRUE(m_runner.IsRunning(plain));
  EXPECT_EQ(m_runner.Stop(plain, SIGINT), 0);
  for (int fd : held) close(fd);
}

TEST_F(TesselAppTest, PlainStartWithoutUsableDisplayServesHeadlessAndSaysSo) {
  SetSetting("LocalPort", "8090");
  Child plain;
  m_runner.Start(plain, {});
  ASSERT_TRUE(m_runner.WaitForOutput(plain, "URL: http://127.0.0.1:8090/")) << Err(plain);
  // One line says so (other lines may warn of other things, such as the default password).
  const std::string no_display =
      "tessel: no display (DISPLAY and WAYLAND_DISPLAY are not set); serving without a window\n";
  EXPECT_NE(Err(plain).find(no_display), std::string::npos) << Err(plain);
  EXPECT_EQ(Err(plain).find("window"), Err(plain).rfind("window")) << Err(plain);
  EXPECT_EQ(m_runner.Stop(plain), 0);

  // A display that is named but gone (a stale DISPLAY in an SSH session) must not abort in Qt.
  m_runner.SetEnvironment("DISPLAY", ":4097");
  Child stale;
  m_runner.Start(stale, {"-mini"});
  ASSERT_TRUE(m_runner.WaitForOutput(stale, "URL: ")) << Err(stale);
  EXPECT_NE(
      Err(stale).find("tessel: the display :4097 does not answer; serving without a window\n"),
      std::string::npos)
      << Err(stale);
  EXPECT_EQ(m_runner.Stop(stale), 0);

  // A display, but no window module beside the program.
  m_runner.SetEnvironment("QT_QPA_PLATFORM", "offscreen");
  Child alone;
  m_runner.Start(alone, {});
  ASSERT_TRUE(m_runner.WaitForOutput(alone, "URL: ")) << Err(alone);
  EXPECT_NE(Err(alone).find("cannot load the window"), std::string::npos) << Err(alone);
  EXPECT_EQ(m_runner.Stop(alone), 0);
}

TEST_F(TesselAppTest, WithADisplayTheWindowTakesHandOversAndExit) {
  SetSetting("LocalPort", "8090");
  const std::string module = fs::path(TESSEL_BINARY).parent_path() / "tessel-desktop.so";
  fs::copy_file(module, m_runner.ProgramFolder() + "/tessel-desktop.so");
  m_runner.SetEnvironment("QT_QPA_PLATFORM", "offscreen");
  m_runner.SetEnvironment("DBUS_SESSION_BUS_ADDRESS", "disabled:");
  Child instance;
  m_runner.Start(instance, {"-mini"});
  ASSERT_TRUE(m_runner.WaitForOutput(instance, "URL: http://127.0.0.1:8090/")) << Err(instance);
  EXPECT_EQ(Err(instance).find("without a window"), std::string::npos) << Err(instance);

  // Later starts reach the window: a share handed over, a plain start showing it.
  const std::string file = m_runner.Root() + "/given.txt";
  WriteFile(file, "x");
  Child share;
  EXPECT_EQ(m_runner.Run(share, {"-a", file}), 0) << Err(share);
  EXPECT_EQ(ShareOf(file).share_mode, FileShareRecord::kModeAuth);
  Child show;
  EXPECT_EQ(m_runner.Run(show, {}), 0);
  EXPECT_NE(Out(show).find("already running"), std::string::npos);
  // An owner's account task reaches the window's instance too.
  Child password;
  password.input = "from the shell\n";
  EXPECT_EQ(m_runner.Run(password, {"-password", "admin"}), 0) << Err(password);
  EXPECT_NE(Out(password).find("in the running Tessel."), std::string::npos) << Out(password);

  // Downloads are logged to the window's list now, not to standard output.
  const std::string reply = Exchange(8090, "GET /download.htm?file=given.txt HTTP/1.0\r\n\r\n");
  EXPECT_NE(reply.find("\r\n\r\nx"), std::string::npos) << reply;
  Child uninstall;
  EXPECT_EQ(m_runner.Run(uninstall, {"-uninstall"}), 0) << Err(uninstall);
  ASSERT_TRUE(m_runner.Wait(instance));
  EXPECT_EQ(instance.status, 0);
  EXPECT_EQ(Out(instance).find("download file start"), std::string::npos) << Out(instance);
}

TEST_F(TesselAppTest, HeadlessLogsDownloadsWithLocalTime) {
  SetSetting("LocalPort", "8090");
  const std::string file = m_runner.Root() + "/notes.txt";
  WriteFile(file, std::string(300, 'n'));
  {
    CDataFileShare shares(m_runner.ProgramFolder());
    ASSERT_TRUE(shares.Open());
    ASSERT_EQ(shares.ShareFile(file, "", FileShareRecord::kModePublic), "notes.txt");
  }
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  const std::string reply = Exchange(8090, "GET /download.htm?file=notes.txt HTTP/1.0\r\n\r\n");
  ASSERT_NE(reply.find("\r\n\r\n" + std::string(300, 'n')), std::string::npos) << reply;
  ASSERT_TRUE(m_runner.WaitForOutput(instance, "download file end"));
  const std::string out = Out(instance);
  const std::regex start(
      R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d user\(local:127\.0\.0\.1\) download file start )"
      R"(notes\.txt\(0 K/0\.3 K\)\n)");
  const std::regex end(
      R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d user\(local:127\.0\.0\.1\) download file end )"
      R"(notes\.txt\(0\.3 K/0\.3 K\)\n)");
  EXPECT_TRUE(std::regex_search(out, start)) << out;
  EXPECT_TRUE(std::regex_search(out, end)) << out;
  EXPECT_EQ(m_runner.Stop(instance), 0);
}

TEST_F(TesselAppTest, ABrokenDatabaseIsReportedAndEndsHeadlessMode) {
  const std::string database = m_runner.ProgramFolder() + "/tessel.mdb";
  const auto expect_refused = [&](const std::string& reason) {
    Child child;
    EXPECT_EQ(m_runner.Run(child, {"-headless"}), 1) << reason;
    EXPECT_EQ(Err(child), "tessel: cannot open the database " + database + ": " + reason + "\n");
    EXPECT_EQ(Out(child).find("Serving"), std::string::npos) << Out(child);
    EXPECT_FALSE(fs::exists(m_runner.SocketPath()));
  };
  WriteFile(database, std::string(20000, '\x5a'));
  expect_refused("file is not a database");
  fs::remove(database);
  fs::create_directory(database);
  expect_refused("it is a folder, not a database file");
  fs::remove(database);
  {
    CADO::CADODatabase other;  // some other program's database
    ASSERT_TRUE(other.Create(database));
    ASSERT_TRUE(other.Execute("create table notes(x)"));
  }
  expect_refused("it is not a Tessel database (no such table: account)");
  fs::remove(database);
  SetSetting("LocalPort", "8090");
  chmod(database.c_str(), 0);
  if (geteuid() == 0) {  // root reads any file: the program runs as somebody else
    const passwd* nobody = getpwnam("nobody");
    const group* nogroup = getgrnam("nogroup");
    ASSERT_TRUE(nobody && nogroup);
    m_runner.RunAs(nobody->pw_uid, nogroup->gr_gid);
  }
  expect_refused("Permission denied");
  m_runner.RunAs(0, 0);

  // An empty file holds nothing: it is made a new database, and the program serves.
  fs::remove(database);
  WriteFile(database, "");
  Child fresh;
  ASSERT_TRUE(m_runner.StartServing(fresh)) << Err(fresh);
  EXPECT_NE(Err(fresh).find("default password"), std::string::npos) << Err(fresh);
  EXPECT_EQ(GetSetting("LocalPort"), "80");
  EXPECT_EQ(m_runner.Stop(fresh), 0);
}

TEST_F(TesselAppTest, ADatabaseFailingWhileServingIsLoggedOncePerKind) {
  SetSetting("LocalPort", "8090");
  {
    CDataAccount accounts(m_runner.ProgramFolder());
    ASSERT_TRUE(accounts.Open());
    AccountRecord admin;
    ASSERT_TRUE(accounts.GetAccount("admin", admin));
    admin.password = "changed";
    ASSERT_TRUE(accounts.ModifyAccount(admin));
  }
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  EXPECT_EQ(Err(instance), "");  // no default password any more
  {
    CADO::CADODatabase other;
    ASSERT_TRUE(other.Open(m_runner.ProgramFolder() + "/tessel.mdb"));
    ASSERT_TRUE(other.Execute("drop table account"));
  }
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(Exchange(8090, "GET /index.htm HTTP/1.0\r\n\r\n").find("401"), std::string::npos);
  const std::string line =
      "database " + m_runner.ProgramFolder() + "/tessel.mdb failed: no such table: account\n";
  ASSERT_TRUE(m_runner.WaitForOutput(instance, line)) << Out(instance);
  const std::string out = Out(instance);
  EXPECT_EQ(out.find(line), out.rfind(line)) << out;
  EXPECT_EQ(m_runner.Stop(instance), 0);
}

TEST_F(TesselAppTest, StaleSocketAndBadLocalClientsDoNotStopTheInstance) {
  SetSetting("LocalPort", "8090");
  // A crashed instance leaves its socket file behind.
  {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, m_runner.SocketPath().c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    ASSERT_TRUE(fs::exists(m_runner.SocketPath()));
  }
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);

  auto connect_local = [&] {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, m_runner.SocketPath().c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
  };
  // An unknown request kind, and a path longer than any allowed: the connection is dropped
  // without an answer.
  const std::string unknown("\x63\0\0\0\0\0\0\0\0", 9);
  const std::string huge("\x01\0\0\0\0\xff\xff\xff\x7f", 9);
  for (const std::string& request : {unknown, huge}) {
    const int fd = connect_local();
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char answer = 0;
    EXPECT_EQ(recv(fd, &answer, 1, 0), 0);
    close(fd);
  }
  // A client that connects and says nothing holds nothing up.
  const int idle = connect_local();
  const std::string file = m_runner.Root() + "/after.txt";
  WriteFile(file, "x");
  Child sender;
  EXPECT_EQ(m_runner.Run(sender, {"-f", file}), 0);
  EXPECT_EQ(ShareOf(file).share_mode, 0);
  close(idle);
  EXPECT_EQ(m_runner.Stop(instance, SIGINT), 0);
}

TEST_F(TesselAppTest, HelpAndVersionAnswerWithoutStartingAnything) {
  for (const std::string help : {"--help", "-h", "--HELP"}) {
    Child child;
    EXPECT_EQ(m_runner.Run(child, {help, "-f"}), 0) << help;
    EXPECT_EQ(Out(child).rfind("Usage: tessel [SWITCH [PATH]]\n", 0), 0u) << Out(child);
    for (const char* item : {"-f PATH", "-a PATH", "-z PATH", "-mini", "-headless", "-uninstall",
                             "--version", "tessel(1)"})
      EXPECT_NE(Out(child).find(item), std::string::npos) << item;
    EXPECT_EQ(Err(child), "");
  }
  Child version;
  EXPECT_EQ(m_runner.Run(version, {"--version"}), 0);
  EXPECT_EQ(Out(version), "Tessel 3.6\n");
  EXPECT_EQ(Err(version), "");
  // No store, no instance: nothing was made or started.
  EXPECT_FALSE(fs::exists(m_runner.ProgramFolder() + "/tessel.mdb"));
  EXPECT_FALSE(fs::exists(m_runner.ProgramFolder() + "/upload"));
  EXPECT_FALSE(fs::exists(m_runner.SocketPath()));

  // Nor is a running instance told anything.
  SetSetting("LocalPort", "8090");
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  Child help;
  EXPECT_EQ(m_runner.Run(help, {"--help"}), 0);
  EXPECT_EQ(Out(help).find("already running"), std::string::npos);
  EXPECT_EQ(m_runner.Run(help, {"--version"}), 0);
  EXPECT_EQ(Out(help), "Tessel 3.6\n");
  EXPECT_TRUE(m_runner.IsRunning(instance));
  EXPECT_EQ(m_runner.Stop(instance), 0);
}

TEST_F(TesselAppTest, PortableProgramKeepsItsDataBesideItself) {
  m_runner.MakePortable();
  const std::string folder = m_runner.ProgramFolder();
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  EXPECT_NE(Out(instance).find("Database: " + folder + "/tessel.mdb\n"), std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(folder + "/tessel.mdb"));
  EXPECT_TRUE(fs::is_directory(folder + "/upload"));
  EXPECT_FALSE(fs::exists(m_runner.Home() + "/.local"));
  // The images come from the web folder beside it.
  const std::string reply = Exchange(ServedPort(instance), "GET /images/home.gif HTTP/1.0\r\n\r\n");
  EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4),
            ProgramRunner::Read(folder + "/web/images/home.gif"));
  EXPECT_EQ(m_runner.Stop(instance), 0);
  EXPECT_EQ(GetSetting("UploadPath"), folder + "/upload");
}

TEST_F(TesselAppTest, InstalledProgramKeepsItsDataPerUser) {
  m_runner.MakeInstalled();
  const std::string bin = m_runner.ProgramFolder();
  const std::string data = m_runner.Home() + "/.local/share/tessel";
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  EXPECT_EQ(Count(Out(instance), "Database: " + data + "/tessel.mdb\n"), 1u) << Out(instance);
  EXPECT_TRUE(fs::is_regular_file(data + "/tessel.mdb"));
  EXPECT_TRUE(fs::is_directory(data + "/upload"));
  // Private to the user, down from the first folder it made.
  for (const std::string& made : {m_runner.Home() + "/.local", data}) {
    struct stat status {};
    ASSERT_EQ(stat(made.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u) << made;
  }
  // Nothing beside the program but the program.
  std::vector<std::string> beside;
  for (const auto& entry : fs::directory_iterator(bin)) beside.push_back(entry.path().string());
  EXPECT_EQ(beside, std::vector<std::string>{bin + "/tessel"});
  // The images come from the installed web folder.
  const std::string reply = Exchange(ServedPort(instance), "GET /images/home.gif HTTP/1.0\r\n\r\n");
  EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4),
            ProgramRunner::Read(m_runner.Root() + "/usr/share/tessel/web/images/home.gif"));
  EXPECT_EQ(m_runner.Stop(instance), 0);
  {
    CDataSystem settings(data);
    ASSERT_TRUE(settings.Open());
    EXPECT_EQ(settings.GetParam("UploadPath"), data + "/upload");
  }

  // XDG_DATA_HOME moves it.
  const std::string other = m_runner.Root() + "/xdg";
  m_runner.SetEnvironment("XDG_DATA_HOME", other);
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  EXPECT_NE(Out(instance).find("Database: " + other + "/tessel/tessel.mdb\n"), std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(other + "/tessel/tessel.mdb"));
  EXPECT_EQ(m_runner.Stop(instance), 0);
}

TEST_F(TesselAppTest, UnprivilegedUserServesOn8080AndSaysWhy) {
  if (geteuid() != 0) GTEST_SKIP() << "starting the program as another user needs root";
  const passwd* nobody = getpwnam("nobody");
  const group* nogroup = getgrnam("nogroup");
  if (!nobody || !nogroup) GTEST_SKIP() << "no user nobody or group nogroup";
  m_runner.MakePortable();
  m_runner.RunAs(nobody->pw_uid, nogroup->gr_gid);
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  EXPECT_NE(Out(instance).find("Serving on port 8080\n"), std::string::npos) << Out(instance);
  EXPECT_NE(Out(instance).find("URL: http://127.0.0.1:8080/"), std::string::npos);
  EXPECT_NE(Exchange(8080, "GET / HTTP/1.0\r\n\r\n").find("HTTP/1.0 200"), std::string::npos);
  // Said once, on standard error, with the way to port 80.
  const std::string err = Err(instance);
  EXPECT_EQ(Count(err,
                  "ports 80 to 89 need root or the CAP_NET_BIND_SERVICE capability, so "
                  "Tessel serves on port 8080 instead."),
            1u)
      << err;
  EXPECT_NE(err.find("sudo setcap cap_net_bind_service=+ep " + m_runner.Program() + "\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Tessel package"), std::string::npos) << err;
  EXPECT_EQ(m_runner.Stop(instance), 0);
  // The setting stays, for when the program may have port 80.
  EXPECT_EQ(GetSetting("LocalPort"), "80");
}

}  // namespace
