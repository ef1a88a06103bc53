// The whole program over IPv6: on ::1 and on addresses of an interface of the test's own network
// namespace, pages, downloads, ranges, zips, uploads and logins work as over IPv4, address
// accounts admit exactly their own address, and URL lines name the addresses friends can use.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "store/DataAccount.h"
#include "store/DataFileShare.h"
#include "store/DataSystem.h"
#include "support/NetworkIsolation.h"
#include "support/ProgramRunner.h"
#include "support/Shell.h"

namespace {

using Child = ProgramRunner::Child;
namespace fs = std::filesystem;

constexpr int kPort = 8090;
const std::string kBoundary = "----WebKitFormBoundaryQ1w2E3r4T5y6U7i8";

// Sends request from `from` to [to]:kPort and returns all that comes back ("refused" when the
// connection fails).
std::string Exchange(const std::string& from, const std::string& to, const std::string& request) {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 local{};
  local.sin6_family = AF_INET6;
  inet_pton(AF_INET6, from.c_str(), &local.sin6_addr);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(kPort);
  inet_pton(AF_INET6, to.c_str(), &address.sin6_addr);
  std::string reply = "refused";
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    reply.clear();
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
  }
  close(fd);
  return reply;
}

std::string Get(const std::string& from, const std::string& to, const std::string& target,
                const std::string& headers = "") {
  return Exchange(from, to,
                  "GET " + target + " HTTP/1.1\r\nHost: [" + to + "]:8090\r\n" + headers + "\r\n");
}

std::string Status(const std::string& reply) {
  return reply.substr(0, reply.find("\r\n"));
}

std::string Body(const std::string& reply) {
  const std::size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

class Ipv6Program : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tessel::test::NetworkIsolated()) GTEST_SKIP() << "no private network namespace";
    std::string output;
    // An interface of this test's namespace with a global, a unique-local and a link-local
    // address, and the addresses the test's visitors come from.
    if (Shell(
            "ip link add t6 type veth peer name t6p && ip link set t6p up && ip link set t6 up && "
            "ip addr add 2001:db8:5::1/64 dev t6 nodad && "
            "ip addr add 2001:db8:5::7/64 dev t6 nodad && "
            "ip addr add fd00::5/64 dev t6 nodad && ip addr add fd00::6/64 dev t6 nodad && "
            "ip addr add fe80::5/64 dev t6 nodad",
            &output) != 0)
      GTEST_SKIP() << "cannot make a test interface: " << output;
  }
  void TearDown() override { Shell("ip link del t6"); }

  ProgramRunner m_runner;
};

TEST_F(Ipv6Program, ServesOverIpv6AsOverIpv4) {
  const std::string folder = m_runner.Root() + "/Photos";
  fs::create_directories(folder);
  const std::string content = Pattern(100000);
  std::ofstream(folder + "/a.bin", std::ios::binary) << content;
  std::ofstream(m_runner.Root() + "/notes.txt", std::ios::binary) << content;
  {
    CDataSystem settings(m_runner.ProgramFolder());
    ASSERT_TRUE(settings.Open());
    ASSERT_TRUE(settings.SetParam("LocalPort", std::to_string(kPort)));
    CDataFileShare shares(m_runner.ProgramFolder());
    ASSERT_TRUE(shares.Open());
    ASSERT_EQ(shares.ShareFile(m_runner.Root() + "/notes.txt", "", FileShareRecord::kModePublic),
              "notes.txt");
    ASSERT_EQ(shares.ShareFile(folder, "", FileShareRecord::kModePublic), "Photos");
    CDataAccount accounts(m_runner.ProgramFolder());
    ASSERT_TRUE(accounts.Open());
    // Stored in another spelling than the one the peer is seen by.
    ASSERT_TRUE(accounts.AddAccount({"phone", "", 1, 1, 1, 0, "FD00:0::0005", "", ""}));
  }
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << ProgramRunner::Read(instance.err);
  ASSERT_TRUE(m_runner.WaitForOutput(instance, "URL: http://[fd00::5]:8090/\n"));
  const std::string out = ProgramRunner::Read(instance.out);
  // A line per global and unique-local address; no link-local one.
  EXPECT_NE(out.find("URL: http://[2001:db8:5::1]:8090/\n"), std::string::npos) << out;
  EXPECT_NE(out.find("URL: http://[fd00::5]:8090/\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("fe80"), std::string::npos) << out;

  for (const std::string& host : {std::string("::1"), std::string("2001:db8:5::1")}) {
    SCOPED_TRACE(host);
    const std::string from = host == "::1" ? "::1" : "2001:db8:5::7";
    // Pages, a download, a range, a folder as a zip.
    EXPECT_EQ(Status(Get(from, host, "/")), "HTTP/1.0 200 OK");
    EXPECT_EQ(Status(Get(from, host, "/download.htm?file=Photos")), "HTTP/1.0 200 OK");
    const std::string download = Get(from, host, "/download.htm?file=notes.txt");
    EXPECT_EQ(Status(download), "HTTP/1.0 200 OK");
    EXPECT_EQ(Body(download), content);
    const std::string range =
        Get(from, host, "/download.htm?file=notes.txt", "Range: bytes=1000-1999\r\n");
    EXPECT_EQ(Status(range), "HTTP/1.0 206 Partial Content");
    EXPECT_EQ(Body(range), content.substr(1000, 1000));
    const std::string zip = Get(from, host, "/download.htm?file=Photos&zip=1");
    EXPECT_EQ(Status(zip), "HTTP/1.0 200 OK");
    EXPECT_EQ(Body(zip).substr(0, 4), std::string("PK\x03\x04", 4));
    // Logins: the password, and this computer's own account for ::1 alone.
    EXPECT_EQ(Status(Get(from, host, "/index.htm", "Authorization: Basic YWRtaW46a2F2b3I=\r\n")),
              "HTTP/1.1 302 Found");
    EXPECT_EQ(Status(Get(from, host, "/index.htm")),
              host == "::1" ? "HTTP/1.1 302 Found" : "HTTP/1.0 401 No cigar");
  }

  // The address account admits its own address, not its neighbour's; it may upload.
  EXPECT_EQ(Status(Get("fd00::5", "fd00::5", "/index.htm")), "HTTP/1.1 302 Found");
  EXPECT_EQ(Status(Get("fd00::6", "fd00::5", "/index.htm")), "HTTP/1.0 401 No cigar");
  const std::string line = "--" + kBoundary + "\r\n";
  const std::string body =
      line + "Content-Disposition: form-data; name=\"fm_objFile\"; filename=\"up.txt\"\r\n" +
      "Content-Type: application/octet-stream\r\n\r\nuploaded\r\n" + line +
      "Content-Disposition: form-data; name=\"submit\"\r\n\r\nUpload\r\n" + line +
      "Content-Disposition: form-data; name=\"fm_Share\"\r\n\r\n1\r\n--" + kBoundary + "--\r\n";
  const std::string post =
      "POST /upload HTTP/1.1\r\nHost: [fd00::5]:8090\r\n"
      "Content-Type: multipart/form-data; boundary=" +
      kBoundary + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  EXPECT_EQ(Status(Exchange("fd00::5", "fd00::5", post)), "HTTP/1.1 302 Found");
  EXPECT_EQ(Body(Get("fd00::6", "2001:db8:5::1", "/download.htm?file=up.txt")), "uploaded");
  EXPECT_EQ(Status(Exchange("fd00::6", "fd00::5", post)), "HTTP/1.0 401 No cigar");

  // Log lines name IPv6 peers by their canonical text, without brackets.
  ASSERT_TRUE(m_runner.WaitForOutput(instance, "user(phone:fd00::5) upload file end"));
  const std::string log = ProgramRunner::Read(instance.out);
  EXPECT_NE(log.find("user(local:::1) download file start notes.txt"), std::string::npos) << log;
  EXPECT_NE(log.find("user(:2001:db8:5::7) download file end notes.txt"), std::string::npos) << log;
  EXPECT_EQ(m_runner.Stop(instance), 0);
}

}  // namespace
