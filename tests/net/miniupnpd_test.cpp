// The gateway client and the Internet check against a real gateway: Debian's miniupnpd, run in
// network namespaces this test makes. This process's own private namespace is the LAN host:
//
//   this process  10.77.0.2 --veth-- 10.77.0.1  router (miniupnpd)  203.0.113.1 --veth--
//   203.0.113.2  WAN
//
// The WAN side answers STUN: miniupnpd forwards nothing while its WAN address is a reserved one
// unless STUN shows that address reachable from outside. Needs root, miniupnpd and nft. With
// IPv6 the LAN is 2001:db8:77::/64 and the WAN 2001:db8:ff::/64, routed without translation; the
// router drops IPv6 connections from the WAN but through the pinholes miniupnpd opens.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "net/InternetCheck.h"
#include "net/RecordingView.h"
#include "res/StringTable.h"
#include "store/DataSystem.h"
#include "support/Eventually.h"
#include "support/FakeGateway.h"
#include "support/NetworkIsolation.h"
#include "support/NetworkNamespace.h"
#include "support/ProgramRunner.h"

namespace {

using namespace tessel::test;
namespace fs = std::filesystem;

constexpr const char* kLanHost = "10.77.0.2";
constexpr const char* kRouterLan = "10.77.0.1";
constexpr const char* kRouterWan = "203.0.113.1";
constexpr const char* kWanPeer = "203.0.113.2";
constexpr const char* kLanHost6 = "2001:db8:77::2";
constexpr const char* kRouterLan6 = "2001:db8:77::1";
constexpr const char* kRouterWan6 = "2001:db8:ff::1";
constexpr const char* kWanPeer6 = "2001:db8:ff::2";
constexpr uint16_t kStunPort = 3478;
constexpr auto kGatewayStartLimit = std::chrono::seconds(5);

// The tables and chains miniupnpd fills; it does not create them. Forwarding is allowed, so
// return traffic passes without rules of its own.
constexpr const char* kRuleset = R"(table inet filter {
  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
)";

// With IPv6: connections from the WAN reach the LAN only through a pinhole (the miniupnpd chain).
constexpr const char* kRuleset6 = R"(table inet filter {
  chain forward { type filter hook forward priority 0; policy accept;
    ct state established,related accept; jump miniupnpd;
    meta nfproto ipv6 iifname "tw0" drop; }
  chain miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
)";

// secure_mode off lets the test create other hosts' forwardings from this one.
std::string MiniupnpdConfig() {
  return std::string("ext_ifname=tw0\nlistening_ip=tl1\nhttp_port=0\nsecure_mode=no\n") +
         "enable_natpmp=no\nsystem_uptime=no\nuuid=3ce2c9c6-6e11-4a77-9c1e-7d3b5d6e8f10\n" +
         "ext_perform_stun=yes\next_stun_host=" + kWanPeer +
         "\next_stun_port=" + std::to_string(kStunPort) + "\n";
}

// Why the real gateway cannot be tried here; empty when it can.
std::string Unavailable() {
  if (geteuid() != 0) return "needs root";
  if (!NetworkIsolated()) return "the test process has no private network namespace";
  // Only loopback: whatever this test adds stays in namespaces it made.
  struct if_nameindex* names = if_nameindex();
  int count = 0;
  for (struct if_nameindex* n = names; n && n->if_index != 0; ++n) ++count;
  if (names) if_freenameindex(names);
  if (count != 1) return "the test's network namespace is not fresh";
  for (const char* program : {"miniupnpd", "nft", "ip"}) {
    if (FindProgram(program).empty())
      return std::string(program) + " is not installed (scripts/install-deps installs it)";
  }
  return {};
}

// Answers STUN binding requests with the address they came from, as a server in front of a
// directly connected host does.
class StunAnswerer {
 public:
  explicit StunAnswerer(int fd) : m_fd(fd), m_thread([this] { Serve(); }) {}
  ~StunAnswerer() {
    m_stop = true;
    m_thread.join();
    close(m_fd);
  }

 private:
  void Serve() {
    unsigned char request[548];
    while (!m_stop) {
      if (!Readable(m_fd, 20)) continue;
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t n =
          recvfrom(m_fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (n < 20 || request[0] != 0x00 || request[1] != 0x01) continue;
      // Binding success: the request's cookie and transaction id, one XOR-MAPPED-ADDRESS.
      unsigned char reply[32] = {0x01, 0x01, 0x00, 12};
      std::copy(request + 4, request + 20, reply + 4);
      const uint16_t port = ntohs(from.sin_port) ^ 0x2112;
      const uint32_t address = ntohl(from.sin_addr.s_addr) ^ 0x2112A442;
      const unsigned char attribute[12] = {0x00,
                                           0x20,
                                           0x00,
                                           8,
                                           0x00,
                                           0x01,
                                           static_cast<unsigned char>(port >> 8),
                                           static_cast<unsigned char>(port),
                                           static_cast<unsigned char>(address >> 24),
                                           static_cast<unsigned char>(address >> 16),
                                           static_cast<unsigned char>(address >> 8),
                                           static_cast<unsigned char>(address)};
      std::copy(attribute, attribute + 12, reply + 20);
      sendto(m_fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  }

  int m_fd;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// miniupnpd on a router between this process's namespace and a WAN namespace.
class RealGateway {
 public:
  // version1: the device describes itself as version 1 (-1) instead of Debian's default 2.
  // ipv6: the networks carry IPv6 too, and the router's firewall guards it.
  explicit RealGateway(bool version1, bool ipv6 = false) {
    char pattern[] = "/tmp/tessel-miniupnpd-XXXXXX";
    m_folder = mkdtemp(pattern) ? pattern : "";
    m_log = m_folder + "/log.txt";
    if (m_folder.empty() || !m_router.Ok() || !m_wan.Ok()) {
      m_failure = "cannot make the namespaces";
      return;
    }
    if (!Run(&m_router, {FindProgram("nft"), "list", "tables"}, m_log)) {
      m_skip = "nftables is not available in this kernel";
      return;
    }
    std::ofstream(m_folder + "/lan.batch")
        << "link add name tl0 type veth peer name tl1 netns " << m_router.Pid() << "\n"
        << "addr add " << kLanHost << "/24 dev tl0\nlink set tl0 up\n"
        << "route add default via " << kRouterLan << "\n";
    std::ofstream(m_folder + "/router.batch")
        << "link add name tw0 type veth peer name tw1 netns " << m_wan.Pid() << "\n"
        << "link set lo up\naddr add " << kRouterLan << "/24 dev tl1\nlink set tl1 up\n"
        << "addr add " << kRouterWan << "/24 dev tw0\nlink set tw0 up\n";
    std::ofstream(m_folder + "/wan.batch")
        << "link set lo up\naddr add " << kWanPeer << "/24 dev tw1\nlink set tw1 up\n";
    if (ipv6) {
      std::ofstream(m_folder + "/lan.batch", std::ios::app)
          << "addr add " << kLanHost6 << "/64 dev tl0 nodad\n"
          << "route add default via " << kRouterLan6 << "\n";
      std::ofstream(m_folder + "/router.batch", std::ios::app)
          << "addr add " << kRouterLan6 << "/64 dev tl1 nodad\n"
          << "addr add " << kRouterWan6 << "/64 dev tw0 nodad\n";
      std::ofstream(m_folder + "/wan.batch", std::ios::app)
          << "addr add " << kWanPeer6 << "/64 dev tw1 nodad\n"
          << "route add default via " << kRouterWan6 << "\n";
    }
    std::ofstream(m_folder + "/rules.nft") << (ipv6 ? kRuleset6 : kRuleset);
    std::ofstream(m_folder + "/miniupnpd.conf") << MiniupnpdConfig();
    const std::string ip = FindProgram("ip");
    if (!Run(nullptr, {ip, "-batch", m_folder + "/lan.batch"}, m_log) ||
        !Run(&m_router, {ip, "-batch", m_folder + "/router.batch"}, m_log) ||
        !Run(&m_wan, {ip, "-batch", m_folder + "/wan.batch"}, m_log) ||
        !Run(&m_router, {"/bin/sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_forward"}, m_log) ||
        (ipv6 &&
         !Run(&m_router, {"/bin/sh", "-c", "echo 1 > /proc/sys/net/ipv6/conf/all/forwarding"},
              m_log)) ||
        !Run(&m_router, {FindProgram("nft"), "-f", m_folder + "/rules.nft"}, m_log)) {
      m_failure = "cannot set up the networks";
      return;
    }
    const int stun = m_wan.Socket(SOCK_DGRAM);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kStunPort);
    inet_pton(AF_INET, kWanPeer, &address.sin_addr);
    if (stun < 0 || bind(stun, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      m_failure = "cannot open the STUN port";
      if (stun >= 0) close(stun);
      return;
    }
    m_stun = std::make_unique<StunAnswerer>(stun);

    std::vector<std::string> args = {FindProgram("miniupnpd"),     "-d", "-f",
                                     m_folder + "/miniupnpd.conf", "-P", m_folder + "/pid"};
    if (version1) args.push_back("-1");
    m_daemon = Spawn(&m_router, args, m_log, true);
    // Ready once it listens for HTTP, which it does after STUN has enabled forwarding.
    tessel::test::Eventually(
        [&] { return ReadFile(m_log).find("HTTP listening") != std::string::npos; },
        kGatewayStartLimit);
    const std::string log = ReadFile(m_log);
    if (log.find("HTTP listening") == std::string::npos ||
        log.find("Port forwarding is now enabled") == std::string::npos) {
      m_failure = "miniupnpd did not become ready";
    }
  }

  ~RealGateway() {
    if (m_daemon > 0) {
      kill(m_daemon, SIGTERM);
      int waited = 0;
      while (waitpid(m_daemon, nullptr, WNOHANG) == 0 && ++waited < 100)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (waited == 100) {
        kill(m_daemon, SIGKILL);
        waitpid(m_daemon, nullptr, 0);
      }
    }
    m_stun.reset();
    // The far end goes with the router's namespace, but only some time after it ends: remove
    // it now, so that the next gateway can use the name again.
    Run(nullptr, {FindProgram("ip"), "link", "del", "tl0"}, "/dev/null");
    std::error_code ec;
    fs::remove_all(m_folder, ec);
  }

  // Empty when the gateway runs; otherwise what failed, and the log.
  std::string Failure() const { return m_failure.empty() ? "" : m_failure + "\n" + Log(); }
  const std::string& Skip() const { return m_skip; }
  std::string Log() const { return ReadFile(m_log); }

  // A connection from the WAN side to address:port (IPv4 or IPv6); -1 when it is refused or
  // dropped.
  int ConnectFromWan(const std::string& address, uint16_t port) const {
    const bool v6 = address.find(':') != std::string::npos;
    const int fd = m_wan.Socket(SOCK_STREAM, v6 ? AF_INET6 : AF_INET);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
    sockaddr_in6 peer6{};
    peer6.sin6_family = AF_INET6;
    peer6.sin6_port = htons(port);
    inet_pton(AF_INET6, address.c_str(), &peer6.sin6_addr);
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const int connected = v6 ? connect(fd, reinterpret_cast<sockaddr*>(&peer6), sizeof peer6)
                             : connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    if (connected == 0) return fd;
    close(fd);
    return -1;
  }

 private:
  std::string m_folder;
  std::string m_log;
  std::string m_failure;
  std::string m_skip;
  Namespace m_router;
  Namespace m_wan;
  std::unique_ptr<StunAnswerer> m_stun;
  pid_t m_daemon = -1;
};

// The gateway's table as "external/protocol client:internal description", sorted (miniupnpd
// lists the newest first).
std::vector<std::string> Entries(const CUPnPNat& nat) {
  std::vector<std::string> entries;
  for (size_t i = 0; i < nat.MapDescriptions().size(); ++i) {
    entries.push_back(nat.MapExternalPorts()[i] + "/" + nat.MapProtocols()[i] + " " +
                      nat.MapClients()[i] + ":" + nat.MapInternalPorts()[i] + " " +
                      nat.MapDescriptions()[i]);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

#define REQUIRE_REAL_GATEWAY(gateway)                              \
  if (!(gateway).Skip().empty()) GTEST_SKIP() << (gateway).Skip(); \
  ASSERT_EQ((gateway).Failure(), "")

class MiniupnpdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    tessel::res::SetLanguage(tessel::res::Language::kEnglish);
  }
};

TEST_F(MiniupnpdTest, ClientSpeaksToVersion1And2Gateways) {
  for (const bool version1 : {true, false}) {
    SCOPED_TRACE(version1 ? "version 1" : "version 2");
    RealGateway gateway(version1);
    REQUIRE_REAL_GATEWAY(gateway);
    const std::string version = version1 ? "1" : "2";

    // The standard multicast group, in this test's own namespaces.
    CUPnPNat nat;
    const auto start = Clock::now();
    ASSERT_TRUE(nat.Discover()) << nat.LastMessage() << gateway.Log();
    EXPECT_LT(Clock::now() - start, tessel::test::Scaled(std::chrono::seconds(2)));
    EXPECT_NE(
        nat.Description().find("urn:schemas-upnp-org:device:InternetGatewayDevice:" + version),
        std::string::npos);
    EXPECT_EQ(nat.ServiceType(), "urn:schemas-upnp-org:service:WANIPConnection:" + version);

    ASSERT_TRUE(nat.GetExternalIPAddress()) << nat.LastMessage();
    EXPECT_EQ(nat.ExternalIp(), kRouterWan);
    EXPECT_EQ(nat.LocalIp(), kLanHost);

    // An empty table ends at index 0 with a fault.
    ASSERT_TRUE(nat.ListPortMappings()) << nat.LastMessage();
    EXPECT_EQ(nat.LastMessage(), "Totally 0 mapping entries.\n");

    // The lease asked for (730 days) is more than version 2 grants; it still succeeds.
    ASSERT_TRUE(nat.AddPortMapping("Game", "10.77.0.9", 8080, 80, "TCP")) << nat.LastMessage();
    ASSERT_TRUE(nat.AddPortMapping("Tessel(10.77.0.2:8081)", kLanHost, 9000, 8081, "TCP"));
    // Another host's port.
    EXPECT_FALSE(nat.AddPortMapping("Tessel(10.77.0.2:8080)", kLanHost, 8080, 8080, "TCP"));
    EXPECT_EQ(nat.LastMessage(), "Fail to add port mapping (Tessel(10.77.0.2:8080)/TCP)\n");

    ASSERT_TRUE(nat.ListPortMappings()) << nat.LastMessage();
    EXPECT_EQ(nat.LastMessage(), "Totally 2 mapping entries.\n");
    EXPECT_EQ(Entries(nat),
              (std::vector<std::string>{"8080/TCP 10.77.0.9:80 Game",
                                        "9000/TCP 10.77.0.2:8081 Tessel(10.77.0.2:8081)"}));

    ASSERT_TRUE(nat.DeletePortMapping(9000, "TCP")) << nat.LastMessage();
    ASSERT_TRUE(nat.ListPortMappings());
    EXPECT_EQ(Entries(nat), (std::vector<std::string>{"8080/TCP 10.77.0.9:80 Game"}));
  }
}

TEST_F(MiniupnpdTest, InternetCheckForwardsTheServiceThroughTheGateway) {
  RealGateway gateway(false);
  REQUIRE_REAL_GATEWAY(gateway);

  // The service: a listener on every address of this host.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t size = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  const int http_port = ntohs(address.sin_port);
  const auto port = [&](int offset) { return static_cast<uint16_t>(http_port + offset); };

  // Another host holds the HTTP port; an earlier run of this computer left a forwarding.
  CUPnPNat nat;
  ASSERT_TRUE(nat.AddPortMapping("Game", "10.77.0.9", port(0), 80, "TCP")) << gateway.Log();
  ASSERT_TRUE(nat.AddPortMapping("Other", "10.77.0.9", port(5), 81, "TCP"));
  ASSERT_TRUE(nat.AddPortMapping("tessel(10.77.0.2:1234)", kLanHost, port(50), 1234, "TCP"));

  RecordingView view;
  std::map<std::string, std::string> settings = {{"internetaccess", "1"}};
  InternetCheckContext context{
      nat, view, [&](const std::string& name) { return settings[name]; }, http_port,
      // Nothing should ask the web service: an address that refuses at once.
      tessel::WebService{"127.0.0.1", 1}};
  context.settle = std::chrono::milliseconds(0);
  InternetCheckThread(context);

  const std::string url = "http://" + std::string(kRouterWan) + ":" + std::to_string(port(6));
  std::vector<std::string> events = view.Take();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "status:" + url) << gateway.Log();
  EXPECT_NE(std::find(events.begin(), events.end(), "status:Internet set up successfully."),
            events.end());
  const std::string game = std::to_string(port(0)) + "/TCP 10.77.0.9:80 Game";
  const std::string other = std::to_string(port(5)) + "/TCP 10.77.0.9:81 Other";
  const std::string ours = std::to_string(port(6)) + "/TCP 10.77.0.2:" + std::to_string(http_port) +
                           " Tessel(10.77.0.2:" + std::to_string(http_port) + ")";
  ASSERT_TRUE(nat.ListPortMappings());
  EXPECT_EQ(Entries(nat), (std::vector<std::string>{game, other, ours}));

  // A friend outside reaches the service through the forwarding.
  const int outside = gateway.ConnectFromWan(kRouterWan, port(6));
  EXPECT_GE(outside, 0);
  if (outside >= 0) close(outside);
  const int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  EXPECT_GE(accepted, 0);
  if (accepted >= 0) close(accepted);

  // Switched off: the LAN URL, and the forwarding is gone.
  settings["internetaccess"] = "0";
  InternetCheckThread(context);
  const std::string lan_url = "http://" + std::string(kLanHost) + ":" + std::to_string(http_port);
  EXPECT_EQ(view.Take(), (std::vector<std::string>{"page:" + lan_url, "direct:" + lan_url,
                                                   "status:" + lan_url}));
  ASSERT_TRUE(nat.ListPortMappings());
  EXPECT_EQ(Entries(nat), (std::vector<std::string>{game, other}));
  EXPECT_EQ(gateway.ConnectFromWan(kRouterWan, port(6)), -1);
  close(listener);
}

TEST_F(MiniupnpdTest, FriendsOutsideReachTheProgramThroughTheGateway) {
  if (access(TESSEL_BINARY, X_OK) != 0) GTEST_SKIP() << "the program is not built";
  RealGateway gateway(false);
  REQUIRE_REAL_GATEWAY(gateway);
  ProgramRunner runner;
  {
    CDataSystem settings(runner.ProgramFolder());
    ASSERT_TRUE(settings.Open());
    ASSERT_TRUE(settings.SetParam("LocalPort", "8090"));
  }
  ProgramRunner::Child instance;
  runner.Start(instance, {"-headless"});
  const std::string url = "Internet URL: http://" + std::string(kRouterWan) + ":8090\n";
  ASSERT_TRUE(runner.WaitForOutput(instance, url, std::chrono::seconds(10)))
      << ProgramRunner::Read(instance.out) << ProgramRunner::Read(instance.err) << gateway.Log();

  const int outside = gateway.ConnectFromWan(kRouterWan, 8090);
  ASSERT_GE(outside, 0);
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  send(outside, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = recv(outside, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
  close(outside);
  EXPECT_EQ(reply.rfind("HTTP/1.", 0), 0u) << reply;
  EXPECT_EQ(runner.Stop(instance), 0);

  // The forwarding outlives the program, for its next start to replace.
  CUPnPNat nat;
  ASSERT_TRUE(nat.ListPortMappings()) << nat.LastMessage();
  EXPECT_EQ(Entries(nat),
            (std::vector<std::string>{"8090/TCP 10.77.0.2:8090 Tessel(10.77.0.2:8090)"}));
}

// The service as the program opens it: one socket for IPv4 and IPv6 on a free port.
int DualStackListener(int* port) {
  const int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int off = 0;
  setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 4) != 0)
    return -1;
  socklen_t size = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  *port = ntohs(address.sin6_port);
  return listener;
}

TEST_F(MiniupnpdTest, InternetCheckOpensAnIpv6PinholeAndClosesItWhenSwitchedOff) {
  RealGateway gateway(false, true);
  REQUIRE_REAL_GATEWAY(gateway);
  int http_port = 0;
  const int listener = DualStackListener(&http_port);
  ASSERT_GE(listener, 0);
  // Before the check the router's firewall keeps friends out.
  EXPECT_EQ(gateway.ConnectFromWan(kLanHost6, static_cast<uint16_t>(http_port)), -1);

  CUPnPNat nat;
  ASSERT_TRUE(nat.Discover()) << nat.LastMessage() << gateway.Log();
  ASSERT_FALSE(nat.FirewallControlUrl().empty()) << nat.Description();
  RecordingView view;
  CIpv6Pinhole pinhole;
  std::map<std::string, std::string> settings = {{"internetaccess", "1"}};
  InternetCheckContext context{nat, view, [&](const std::string& name) { return settings[name]; },
                               http_port, tessel::WebService{"127.0.0.1", 1}};
  context.v6_addresses = [] { return std::vector<std::string>{kLanHost6}; };
  context.pinhole = &pinhole;
  context.settle = std::chrono::milliseconds(0);
  InternetCheckThread(context);

  const std::string url = "http://" + std::string(kRouterWan) + ":" + std::to_string(http_port);
  const std::string v6_url = "http://[" + std::string(kLanHost6) + "]:" + std::to_string(http_port);
  const std::vector<std::string> events = view.Take();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "status:" + url + "  " + v6_url) << gateway.Log();
  EXPECT_TRUE(pinhole.IsOpen());

  // A friend outside reaches the service over IPv6 through the pinhole, and over IPv4 as before.
  for (const std::string& address : {std::string(kLanHost6), std::string(kRouterWan)}) {
    const int outside = gateway.ConnectFromWan(address, static_cast<uint16_t>(http_port));
    EXPECT_GE(outside, 0) << address << gateway.Log();
    if (outside >= 0) close(outside);
    const int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    EXPECT_GE(accepted, 0) << address;
    if (accepted >= 0) close(accepted);
  }

  // The next check renews the same pinhole.
  const int id = pinhole.Id();
  InternetCheckThread(context);
  EXPECT_EQ(pinhole.Id(), id);

  // Switched off: the pinhole is gone, and with it the way in.
  settings["internetaccess"] = "0";
  InternetCheckThread(context);
  EXPECT_FALSE(pinhole.IsOpen());
  EXPECT_EQ(gateway.ConnectFromWan(kLanHost6, static_cast<uint16_t>(http_port)), -1);
  close(listener);
}

TEST_F(MiniupnpdTest, FriendsOutsideReachTheProgramOverIpv6UntilItEnds) {
  if (access(TESSEL_BINARY, X_OK) != 0) GTEST_SKIP() << "the program is not built";
  RealGateway gateway(false, true);
  REQUIRE_REAL_GATEWAY(gateway);
  ProgramRunner runner;
  {
    CDataSystem settings(runner.ProgramFolder());
    ASSERT_TRUE(settings.Open());
    ASSERT_TRUE(settings.SetParam("LocalPort", "8090"));
  }
  ProgramRunner::Child instance;
  runner.Start(instance, {"-headless"});
  const std::string url = "Internet URL: http://[" + std::string(kLanHost6) + "]:8090\n";
  ASSERT_TRUE(runner.WaitForOutput(instance, url, std::chrono::seconds(10)))
      << ProgramRunner::Read(instance.out) << ProgramRunner::Read(instance.err) << gateway.Log();
  EXPECT_NE(ProgramRunner::Read(instance.out).find("URL: http://[2001:db8:77::2]:8090/\n"),
            std::string::npos);

  const int outside = gateway.ConnectFromWan(kLanHost6, 8090);
  ASSERT_GE(outside, 0) << gateway.Log();
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  send(outside, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = recv(outside, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
  close(outside);
  EXPECT_EQ(reply.rfind("HTTP/1.", 0), 0u) << reply;
  EXPECT_EQ(runner.Stop(instance), 0);

  // The pinhole goes with the program; the IPv4 forwarding stays for its next start.
  EXPECT_EQ(gateway.ConnectFromWan(kLanHost6, 8090), -1);
  CUPnPNat nat;
  ASSERT_TRUE(nat.ListPortMappings()) << nat.LastMessage();
  EXPECT_EQ(Entries(nat),
            (std::vector<std::string>{"8090/TCP 10.77.0.2:8090 Tessel(10.77.0.2:8090)"}));
}

}  // namespace
