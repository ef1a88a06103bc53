// The whole program, run as a child process: start-up, the single instance, the switches, the
// port rule, the headless log and shutdown.
#include "app/TesselApp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <regex>

#include "ProgramRunner.h"
#include "app/AutoStart.h"
#include "app/CommandLine.h"
#include "support/NetworkIsolation.h"

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
    CDataSystem settings(runner_.ProgramFolder());
    ASSERT_TRUE(settings.Open());
    ASSERT_TRUE(settings.SetParam(name, value));
  }
  std::string GetSetting(const std::string& name) {
    CDataSystem settings(runner_.ProgramFolder());
    settings.Open();
    return settings.GetParam(name);
  }
  std::vector<FileShareRecord> Shares() {
    CDataFileShare shares(runner_.ProgramFolder());
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
    setenv("XDG_CONFIG_HOME", (runner_.Root() + "/config").c_str(), 1);
    EXPECT_EQ(tessel::AutoStartEntryPath(), runner_.AutoStartEntry());
    EXPECT_TRUE(tessel::WriteAutoStartEntry(program));
    saved ? setenv("XDG_CONFIG_HOME", restore.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    const std::string entry = ProgramRunner::Read(runner_.AutoStartEntry());
    EXPECT_NE(entry.find("\nExec=" + program + " -mini\n"), std::string::npos) << entry;
  }
  std::string Out(const Child& child) { return ProgramRunner::Read(child.out); }
  std::string Err(const Child& child) { return ProgramRunner::Read(child.err); }

  ProgramRunner runner_;
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
  const std::string folder = runner_.ProgramFolder();
  ASSERT_FALSE(fs::exists(folder + "/tessel.mdb"));
  Child first;
  runner_.Start(first, {"-headless"});
  const bool serving = runner_.WaitForOutput(first, "URL: ");
  // The store comes first, whatever happens to the port.
  EXPECT_TRUE(fs::is_regular_file(folder + "/tessel.mdb"));
  EXPECT_TRUE(fs::is_directory(folder + "/upload"));
  EXPECT_EQ(GetSetting("UploadPath"), folder + "/upload");
  if (!serving) {
    // Without the right to bind ports below 1024 (not root): the default port 80 fails.
    ASSERT_TRUE(runner_.Wait(first));
    EXPECT_NE(first.status, 0);
    EXPECT_NE(Err(first).find("from 80 to 89"), std::string::npos) << Err(first);
    EXPECT_NE(Err(first).find("CAP_NET_BIND_SERVICE"), std::string::npos);
    SetSetting("LocalPort", "8090");
    ASSERT_TRUE(runner_.StartServing(first)) << Err(first);
    EXPECT_NE(Out(first).find("URL: http://127.0.0.1:8090/"), std::string::npos) << Out(first);
  } else {
    EXPECT_NE(Out(first).find("Serving on port 80\n"), std::string::npos) << Out(first);
    EXPECT_NE(Out(first).find("URL: http://127.0.0.1/"), std::string::npos) << Out(first);
  }
  EXPECT_TRUE(fs::exists(runner_.SocketPath()));

  // Later starts of any kind find it, hand over and end without serving.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-headless"}, {"-Mini", "extra"}, {"--unknown"}}) {
    Child second;
    EXPECT_EQ(runner_.Run(second, args), 0);
    EXPECT_EQ(Out(second).find("Serving"), std::string::npos) << Out(second);
    EXPECT_NE(Out(second).find("already running"), std::string::npos);
  }
  EXPECT_TRUE(runner_.IsRunning(first));
  const std::string out = Out(first);
  EXPECT_EQ(out.find("Serving"), out.rfind("Serving"));

  EXPECT_EQ(runner_.Stop(first, SIGTERM), 0);
  EXPECT_FALSE(fs::exists(runner_.SocketPath()));
  EXPECT_EQ(Err(first), "");
}

TEST_F(TesselAppTest, ShareSwitchesWithoutRunningInstanceShareAndStart) {
  SetSetting("LocalPort", "8090");
  const std::string file = runner_.Root() + "/a.txt";
  const std::string folder = runner_.Root() + "/docs";
  WriteFile(file, "hello");
  fs::create_directory(folder);

  // A relative path is shared as the full path it names.
  Child first;
  runner_.Start(first, {"-f", "a.txt"});
  ASSERT_TRUE(runner_.WaitForOutput(first, "URL: http://127.0.0.1:8090/")) << Err(first);
  FileShareRecord share = ShareOf(file);
  EXPECT_EQ(share.share_mode, FileShareRecord::kModePublic);
  EXPECT_EQ(share.uploader, "");
  EXPECT_EQ(share.name, "a.txt");
  EXPECT_EQ(runner_.Stop(first, SIGINT), 0);

  Child second;
  runner_.Start(second, {"-A", folder + "/", "ignored"});
  ASSERT_TRUE(runner_.WaitForOutput(second, "URL: http://127.0.0.1:8090/")) << Err(second);
  share = ShareOf(folder);
  EXPECT_EQ(share.share_mode, FileShareRecord::kModeAuth);
  EXPECT_EQ(share.uploader, "");
  EXPECT_EQ(share.name, "docs");
  EXPECT_EQ(runner_.Stop(second), 0);

  // A switch that needs a path and has none ends without starting.
  Child bare;
  EXPECT_EQ(runner_.Run(bare, {"-f"}), 2);
  EXPECT_NE(Err(bare).find("needs a path"), std::string::npos);
  EXPECT_EQ(Shares().size(), 2u);
}

TEST_F(TesselAppTest, ShareSwitchesHandOverAndUninstallEndsTheInstance) {
  SetSetting("LocalPort", "8090");
  const std::string file = runner_.Root() + "/report.pdf";
  const std::string folder = runner_.Root() + "/photos";
  WriteFile(file, "pdf");
  fs::create_directory(folder);
  Child instance;
  ASSERT_TRUE(runner_.StartServing(instance)) << Err(instance);

  // Each hand-over is answered once the share is recorded: it is there when the sender ends.
  Child sender;
  EXPECT_EQ(runner_.Run(sender, {"-F", "report.pdf"}), 0);
  FileShareRecord share = ShareOf(file);
  EXPECT_EQ(share.share_mode, FileShareRecord::kModePublic);
  EXPECT_EQ(share.uploader, "");
  EXPECT_EQ(runner_.Run(sender, {"-a", folder}), 0);
  share = ShareOf(folder);
  EXPECT_EQ(share.share_mode, FileShareRecord::kModeAuth);
  EXPECT_EQ(share.uploader, "");
  // The same file again gets a second name.
  EXPECT_EQ(runner_.Run(sender, {"-f", file}), 0);
  EXPECT_EQ(Shares().size(), 3u);
  EXPECT_TRUE(runner_.WaitForOutput(instance, "shared " + folder + " as photos"));
  EXPECT_EQ(Out(sender).find("Serving"), std::string::npos);
  // A hand-over the instance cannot take is the sender's failure.
  EXPECT_EQ(runner_.Run(sender, {"-f", "/" + std::string(70000, 'x')}), 1);
  EXPECT_NE(Err(sender).find("could not share"), std::string::npos);
  EXPECT_EQ(Shares().size(), 3u);

  // "-uninstall" removes the entry and returns only once the instance has stopped serving and
  // closed its stores (the last connection to close removes the write-ahead log); the process
  // itself ends right after.
  const std::string wal = runner_.ProgramFolder() + "/tessel.mdb-wal";
  EXPECT_TRUE(fs::exists(wal));
  WriteEntry(runner_.ProgramFolder() + "/tessel");
  Child uninstall;
  EXPECT_EQ(runner_.Run(uninstall, {"-UNINSTALL", "extra"}), 0);
  EXPECT_FALSE(fs::exists(runner_.AutoStartEntry()));
  EXPECT_FALSE(fs::exists(runner_.SocketPath()));
  EXPECT_FALSE(fs::exists(wal));
  EXPECT_TRUE(runner_.Wait(instance));
  EXPECT_EQ(instance.status, 0);
  // The shares stay.
  EXPECT_EQ(Shares().size(), 3u);
}

TEST_F(TesselAppTest, UninstallWithoutInstanceOnlyRemovesTheEntry) {
  WriteEntry(runner_.ProgramFolder() + "/tessel");
  Child uninstall;
  EXPECT_EQ(runner_.Run(uninstall, {"-uninstall"}), 0);
  EXPECT_FALSE(fs::exists(runner_.AutoStartEntry()));
  EXPECT_EQ(Out(uninstall).find("Serving"), std::string::npos);
  // Nothing is left listening.
  EXPECT_FALSE(fs::exists(runner_.SocketPath()));
  // Without an entry there is nothing to remove, which is no failure.
  EXPECT_EQ(runner_.Run(uninstall, {"-uninstall"}), 0);
  EXPECT_EQ(Err(uninstall), "");
}

TEST_F(TesselAppTest, TakenPortsMoveTheServiceOnButNotTheSetting) {
  SetSetting("LocalPort", "8080");
  const int held[] = {HoldPort(8080), HoldPort(8081)};
  ASSERT_GE(held[0], 0);
  ASSERT_GE(held[1], 0);
  Child instance;
  ASSERT_TRUE(runner_.StartServing(instance)) << Err(instance);
  EXPECT_NE(Out(instance).find("Serving on port 8082\n"), std::string::npos) << Out(instance);
  EXPECT_NE(Out(instance).find("URL: http://127.0.0.1:8082/"), std::string::npos);
  EXPECT_NE(Exchange(8082, "GET /nothing HTTP/1.0\r\n\r\n").find("HTTP/1."), std::string::npos);
  EXPECT_EQ(GetSetting("LocalPort"), "8080");
  EXPECT_EQ(runner_.Stop(instance), 0);
  for (int fd : held) close(fd);
}

TEST_F(TesselAppTest, UnusablePortSettingTriesPorts80To89) {
  // Port 80 is taken, so a service that starts at 80 lands on 81.
  const int held = HoldPort(80);
  for (const std::string value : {"", "web", "0"}) {
    SCOPED_TRACE("LocalPort \"" + value + "\"");
    SetSetting("LocalPort", value);
    Child instance;
    runner_.Start(instance, {"-headless"});
    if (runner_.WaitForOutput(instance, "URL: ")) {
      EXPECT_GE(held, 0);
      EXPECT_NE(Out(instance).find("Serving on port 81\n"), std::string::npos) << Out(instance);
      EXPECT_EQ(runner_.Stop(instance), 0);
    } else {
      // Not root: none of 80 to 89 can be bound, and the user is told why.
      EXPECT_TRUE(runner_.Wait(instance));
      EXPECT_NE(instance.status, 0);
      EXPECT_NE(Err(instance).find("from 80 to 89"), std::string::npos) << Err(instance);
      EXPECT_NE(Err(instance).find("CAP_NET_BIND_SERVICE"), std::string::npos);
    }
  }
  if (held >= 0) close(held);
}

TEST_F(TesselAppTest, NoFreePortIsReportedAndEndsHeadlessMode) {
  SetSetting("LocalPort", "8080");
  std::vector<int> held;
  for (int port = 8080; port <= 8089; ++port) held.push_back(HoldPort(port));
  for (int fd : held) ASSERT_GE(fd, 0);

  Child headless;
  EXPECT_EQ(runner_.Run(headless, {"-headless"}), 1);
  const std::string err = Err(headless);
  EXPECT_NE(err.find("cannot listen on any port from 8080 to 8089"), std::string::npos) << err;
  EXPECT_NE(err.find("Address already in use"), std::string::npos) << err;
  EXPECT_EQ(err.find("CAP_NET_BIND_SERVICE"), std::string::npos);  // not the reason here
  EXPECT_EQ(Out(headless).find("Serving"), std::string::npos);
  EXPECT_FALSE(fs::exists(runner_.SocketPath()));

  // A plain start says so too but stays, reachable by later starts.
  Child plain;
  runner_.Start(plain, {});
  for (int i = 0; i < 500 && Err(plain).find("running without") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(Err(plain).find("from 8080 to 8089"), std::string::npos);
  Child later;
  const std::string file = runner_.Root() + "/late.txt";
  WriteFile(file, "x");
  EXPECT_EQ(runner_.Run(later, {"-f", file}), 0);
  EXPECT_EQ(ShareOf(file).share_mode, 0);
  EXPECT_TRUE(runner_.IsRunning(plain));
  EXPECT_EQ(runner_.Stop(plain, SIGINT), 0);
  for (int fd : held) close(fd);
}

TEST_F(TesselAppTest, PlainStartWithoutUsableDisplayServesHeadlessAndSaysSo) {
  SetSetting("LocalPort", "8090");
  Child plain;
  runner_.Start(plain, {});
  ASSERT_TRUE(runner_.WaitForOutput(plain, "URL: http://127.0.0.1:8090/")) << Err(plain);
  EXPECT_EQ(Err(plain),
            "tessel: no display (DISPLAY and WAYLAND_DISPLAY are not set); serving without a "
            "window\n");
  EXPECT_EQ(runner_.Stop(plain), 0);

  // A display that is named but gone (a stale DISPLAY in an SSH session) must not abort in Qt.
  runner_.extra_env = {"DISPLAY=:4097"};
  Child stale;
  runner_.Start(stale, {"-mini"});
  ASSERT_TRUE(runner_.WaitForOutput(stale, "URL: ")) << Err(stale);
  EXPECT_EQ(Err(stale), "tessel: the display :4097 does not answer; serving without a window\n");
  EXPECT_EQ(runner_.Stop(stale), 0);

  // A display, but no window module beside the program.
  runner_.extra_env = {"QT_QPA_PLATFORM=offscreen"};
  Child alone;
  runner_.Start(alone, {});
  ASSERT_TRUE(runner_.WaitForOutput(alone, "URL: ")) << Err(alone);
  EXPECT_NE(Err(alone).find("cannot load the window"), std::string::npos) << Err(alone);
  EXPECT_EQ(runner_.Stop(alone), 0);
}

TEST_F(TesselAppTest, WithADisplayTheWindowTakesHandOversAndExit) {
  SetSetting("LocalPort", "8090");
  const std::string module = fs::path(TESSEL_BINARY).parent_path() / "tessel-desktop.so";
  fs::copy_file(module, runner_.ProgramFolder() + "/tessel-desktop.so");
  runner_.extra_env = {"QT_QPA_PLATFORM=offscreen", "DBUS_SESSION_BUS_ADDRESS=disabled:"};
  Child instance;
  runner_.Start(instance, {"-mini"});
  ASSERT_TRUE(runner_.WaitForOutput(instance, "URL: http://127.0.0.1:8090/")) << Err(instance);
  EXPECT_EQ(Err(instance).find("without a window"), std::string::npos) << Err(instance);

  // Later starts reach the window: a share handed over, a plain start showing it.
  const std::string file = runner_.Root() + "/given.txt";
  WriteFile(file, "x");
  Child share;
  EXPECT_EQ(runner_.Run(share, {"-a", file}), 0) << Err(share);
  EXPECT_EQ(ShareOf(file).share_mode, FileShareRecord::kModeAuth);
  Child show;
  EXPECT_EQ(runner_.Run(show, {}), 0);
  EXPECT_NE(Out(show).find("already running"), std::string::npos);

  // Downloads are logged to the window's list now, not to standard output.
  const std::string reply = Exchange(8090, "GET /download.htm?file=given.txt HTTP/1.0\r\n\r\n");
  EXPECT_NE(reply.find("\r\n\r\nx"), std::string::npos) << reply;
  Child uninstall;
  EXPECT_EQ(runner_.Run(uninstall, {"-uninstall"}), 0) << Err(uninstall);
  ASSERT_TRUE(runner_.Wait(instance));
  EXPECT_EQ(instance.status, 0);
  EXPECT_EQ(Out(instance).find("download file start"), std::string::npos) << Out(instance);
}

TEST_F(TesselAppTest, HeadlessLogsDownloadsWithLocalTime) {
  SetSetting("LocalPort", "8090");
  const std::string file = runner_.Root() + "/notes.txt";
  WriteFile(file, std::string(300, 'n'));
  {
    CDataFileShare shares(runner_.ProgramFolder());
    ASSERT_TRUE(shares.Open());
    ASSERT_EQ(shares.ShareFile(file, "", FileShareRecord::kModePublic), "notes.txt");
  }
  Child instance;
  ASSERT_TRUE(runner_.StartServing(instance)) << Err(instance);
  const std::string reply = Exchange(8090, "GET /download.htm?file=notes.txt HTTP/1.0\r\n\r\n");
  ASSERT_NE(reply.find("\r\n\r\n" + std::string(300, 'n')), std::string::npos) << reply;
  ASSERT_TRUE(runner_.WaitForOutput(instance, "download file end"));
  const std::string out = Out(instance);
  const std::regex start(
      R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d user\(local:127\.0\.0\.1\) download file start )"
      R"(notes\.txt\(0 K/0\.3 K\)\n)");
  const std::regex end(
      R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d user\(local:127\.0\.0\.1\) download file end )"
      R"(notes\.txt\(0\.3 K/0\.3 K\)\n)");
  EXPECT_TRUE(std::regex_search(out, start)) << out;
  EXPECT_TRUE(std::regex_search(out, end)) << out;
  EXPECT_EQ(runner_.Stop(instance), 0);
}

TEST_F(TesselAppTest, StaleSocketAndBadLocalClientsDoNotStopTheInstance) {
  SetSetting("LocalPort", "8090");
  // A crashed instance leaves its socket file behind.
  {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, runner_.SocketPath().c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    ASSERT_TRUE(fs::exists(runner_.SocketPath()));
  }
  Child instance;
  ASSERT_TRUE(runner_.StartServing(instance)) << Err(instance);

  auto connect_local = [&] {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, runner_.SocketPath().c_str());
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
  const std::string file = runner_.Root() + "/after.txt";
  WriteFile(file, "x");
  Child sender;
  EXPECT_EQ(runner_.Run(sender, {"-f", file}), 0);
  EXPECT_EQ(ShareOf(file).share_mode, 0);
  close(idle);
  EXPECT_EQ(runner_.Stop(instance, SIGINT), 0);
}

}  // namespace
