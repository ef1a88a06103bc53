#pragma once
// Debian's pebble, a small ACME server with a test CA of its own, in a network namespace of its
// own: it is at kAddress and reaches this process at kPeerAddress over a veth pair, both in the
// benchmark range, kPeerAddress standing for the external address. HTTP-01 validations connect to
// kPeerAddress on the HTTP port given. With names, pebble asks pebble-challtestsrv's mock DNS,
// which answers kPeerAddress for every name. Needs root.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/Eventually.h"
#include "support/NetworkNamespace.h"

namespace tessel::test {

class Pebble {
 public:
  static constexpr const char* kAddress = "198.18.0.1";
  static constexpr const char* kPeerAddress = "198.18.0.2";
  static constexpr int kPort = 14000;
  static constexpr int kManagementPort = 15000;
  static constexpr int kDnsPort = 8053;

  // Why pebble cannot run here; empty when it can.
  static std::string Unavailable() {
    if (geteuid() != 0) return "needs root";
    for (const char* program : {"pebble", "pebble-challtestsrv", "ip", "openssl", "curl"})
      if (FindProgram(program).empty())
        return std::string(program) + " is not installed (scripts/install-deps installs it)";
    return {};
  }

  explicit Pebble(int http_port, bool names = false) {
    char pattern[] = "/tmp/tessel-pebble-XXXXXX";
    m_folder = mkdtemp(pattern) ? pattern : "";
    m_log = m_folder + "/log.txt";
    if (m_folder.empty() || !m_namespace.Ok()) {
      m_failure = "cannot make the namespace";
      return;
    }
    std::ofstream(m_folder + "/here.batch")
        << "link add name tp0 type veth peer name tp1 netns " << m_namespace.Pid() << "\n"
        << "addr add " << kPeerAddress << "/24 dev tp0\nlink set tp0 up\n";
    std::ofstream(m_folder + "/there.batch")
        << "link set lo up\naddr add " << kAddress << "/24 dev tp1\nlink set tp1 up\n";
    std::ofstream(m_folder + "/pebble.json")
        << R"({"pebble": {"listenAddress": ")" << kAddress << ":" << kPort
        << R"(", "managementListenAddress": ")" << kAddress << ":" << kManagementPort
        << R"(", "certificate": ")" << m_folder << R"(/listener.pem", "privateKey": ")" << m_folder
        << R"(/listener-key.pem", "httpPort": )" << http_port
        << R"(, "tlsPort": 5001, "ocspResponderURL": "", "externalAccountBindingRequired": false}})";
    const std::string ip = FindProgram("ip");
    if (!Run(nullptr, {ip, "-batch", m_folder + "/here.batch"}, m_log) ||
        !Run(&m_namespace, {ip, "-batch", m_folder + "/there.batch"}, m_log) ||
        !Run(nullptr,
             {FindProgram("openssl"), "req", "-x509", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=pebble listener",
              "-addext", std::string("subjectAltName=IP:") + kAddress, "-keyout",
              m_folder + "/listener-key.pem", "-out", ListenerCa()},
             m_log)) {
      m_failure = "cannot set up the network or the listener's certificate";
      return;
    }
    // No random refusals of nonces, no pause before validating, nothing reused between orders.
    std::vector<std::string> pebble = {
        "/usr/bin/env",           "PEBBLE_VA_NOSLEEP=1", "PEBBLE_WFE_NONCEREJECT=0",
        "PEBBLE_AUTHZREUSE=0",    FindProgram("pebble"), "-config",
        m_folder + "/pebble.json"};
    if (names) {
      const std::string dns = std::string(kAddress) + ":" + std::to_string(kDnsPort);
      m_dns = Spawn(&m_namespace,
                    {FindProgram("pebble-challtestsrv"), "-defaultIPv4", kPeerAddress,
                     "-defaultIPv6", "", "-dns01", dns, "-http01", "", "-https01", "", "-tlsalpn01",
                     "", "-management", std::string(kAddress) + ":8055"},
                    m_log, true);
      pebble.insert(pebble.end(), {"-dnsserver", dns});
    }
    m_daemon = Spawn(&m_namespace, pebble, m_log, true);
    Eventually([&] { return ReadFile(m_log).find("Listening on") != std::string::npos; },
               std::chrono::seconds(10));
    // The root of the certificates it issues.
    if (!Run(nullptr,
             {FindProgram("curl"), "-sS", "--cacert", ListenerCa(), "-o", m_folder + "/root.pem",
              "https://" + std::string(kAddress) + ":" + std::to_string(kManagementPort) +
                  "/roots/0"},
             m_log))
      m_failure = "pebble did not start";
  }

  ~Pebble() {
    for (const pid_t daemon : {m_daemon, m_dns}) {
      if (daemon <= 0) continue;
      kill(daemon, SIGKILL);
      waitpid(daemon, nullptr, 0);
    }
    Run(nullptr, {FindProgram("ip"), "link", "del", "tp0"}, "/dev/null");
    std::error_code ec;
    std::filesystem::remove_all(m_folder, ec);
  }
  Pebble(const Pebble&) = delete;
  Pebble& operator=(const Pebble&) = delete;

  // Empty when pebble runs; otherwise what failed, and the log.
  std::string Failure() const { return m_failure.empty() ? "" : m_failure + "\n" + Log(); }
  std::string Log() const { return ReadFile(m_log); }
  std::string Directory() const {
    return "https://" + std::string(kAddress) + ":" + std::to_string(kPort) + "/dir";
  }
  // What the ACME client must trust for the directory.
  std::string ListenerCa() const { return m_folder + "/listener.pem"; }
  // What a browser must trust for the certificates pebble issues.
  std::string Root() const { return m_folder + "/root.pem"; }

 private:
  std::string m_folder;
  std::string m_log;
  std::string m_failure;
  Namespace m_namespace;
  pid_t m_daemon = -1;
  pid_t m_dns = -1;  // the mock DNS, when names are asked for
};

}  // namespace tessel::test
