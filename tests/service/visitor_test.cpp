// Who a visitor is, against hostile clients, over real loopback connections: the Host a request
// from this machine names, the login throttle, credentials with a NUL.
#include <unistd.h>

#include <atomic>
#include <climits>

#include "service/RequestOrigin.h"
#include "service/WebFixture.h"

namespace {

using namespace std::chrono_literals;
using web::BasicAuth;
using web::kAuthRequired;
using web::kRedirectHome;
using web::kStranger;

class Visitor : public web::WebFixture {
 protected:
  void SetUp() override {
    WebFixture::SetUp();
    web::WriteFile(Local("Vault/plan.txt"), "plan");
    Share("Vault", Local("Vault"), FileShareRecord::kModeAuth);
    service.SetLoginClock([this] { return m_now.load(); });
  }

  // "/index.htm" answers 302 to a visitor an account admits, 401 to anybody else.
  std::string Login(const std::string& head_lines, const char* from = kStranger) {
    return Exchange("GET /index.htm HTTP/1.1\r\n" + head_lines + "\r\n", from);
  }
  void Advance(std::chrono::seconds by) { m_now = m_now.load() + by; }
  int LogCount(const std::string& text) {
    int count = 0;
    for (const std::string& line : LogLines()) count += line.find(text) != std::string::npos;
    return count;
  }

  std::atomic<std::chrono::steady_clock::time_point> m_now{std::chrono::steady_clock::time_point{}};
};

std::string MachineName() {
  char name[HOST_NAME_MAX + 1] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

TEST_F(Visitor, ThisMachineIsTrustedOnlyUnderNamesNoOtherSiteCanHave) {
  const std::string vault = "GET /download.htm?file=Vault%5Cplan.txt HTTP/1.1\r\n";
  for (const std::string& host : std::vector<std::string>{
           "127.0.0.1", "127.0.0.1:8080", "localhost", "LocalHost:80", "localhost.", "[::1]",
           "[::1]:8080", "10.1.2.3", MachineName(), MachineName() + ":81"}) {
    EXPECT_EQ(Login("Host: " + host + "\r\n", "127.0.0.1"), kRedirectHome) << host;
    EXPECT_NE(Exchange(vault + "Host: " + host + "\r\n\r\n", "127.0.0.1").find("\r\n\r\nplan"),
              std::string::npos)
        << host;
  }
  // A page that pointed a name of its own at 127.0.0.1 is an ordinary visitor.
  for (const std::string& host : std::vector<std::string>{
           "evil.example", "evil.example:80", "127.0.0.1.evil.example", "localhost.evil.example",
           "xlocalhost", "", "::1", "[evil]", "127.0.0.1:http", MachineName() + ".evil.example"}) {
    EXPECT_EQ(Login("Host: " + host + "\r\n", "127.0.0.1"), kAuthRequired) << host;
    EXPECT_EQ(Exchange(vault + "Host: " + host + "\r\n\r\n", "127.0.0.1"), kAuthRequired) << host;
    // who can still log in as anybody may
    EXPECT_EQ(Login("Host: " + host + "\r\n" + BasicAuth(web::kAdmin), "127.0.0.1"), kRedirectHome)
        << host;
  }
  // No browser leaves Host out: a client that does is no page of another site.
  EXPECT_EQ(Exchange("GET /index.htm HTTP/1.0\r\n\r\n", "127.0.0.1"), kRedirectHome);
  // Another address is judged by its accounts alone, whatever its Host.
  EXPECT_EQ(Login("Host: localhost\r\n"), kAuthRequired);
}

TEST_F(Visitor, CredentialsWithANulMatchNothing) {
  const std::string nul("\0", 1);
  EXPECT_EQ(Login(BasicAuth("admin:kavor" + nul + "junk")), kAuthRequired);
  EXPECT_EQ(Login(BasicAuth("admin" + nul + "x:kavor")), kAuthRequired);
  EXPECT_EQ(Login(BasicAuth("admin:kavor" + nul)), kAuthRequired);
  EXPECT_EQ(Login(BasicAuth("admin:kavor")), kRedirectHome);
}

TEST_F(Visitor, GuessingIsRefusedForAMinuteAfterTenFailures) {
  const std::string right = BasicAuth(web::kAdmin);
  const std::string wrong = BasicAuth("admin:guess");
  // Failures spread over more than a minute never add up to ten within one.
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(Login(wrong), kAuthRequired);
    Advance(7s);
  }
  EXPECT_EQ(Login(right), kRedirectHome);
  EXPECT_EQ(LogCount("refused"), 0);
  Advance(60s);

  // Ten within a minute: then even the right password is refused, unchecked.
  for (int i = 0; i < 9; ++i) EXPECT_EQ(Login(wrong), kAuthRequired);
  EXPECT_EQ(Login(right), kRedirectHome);
  EXPECT_EQ(Login(wrong), kAuthRequired);
  EXPECT_EQ(Login(right), kAuthRequired);
  EXPECT_EQ(LogCount("user(:127.0.0.2) logins refused"), 1);
  // Other addresses log in as before; visitors without credentials browse as before.
  EXPECT_EQ(Login(right, "127.0.0.3"), kRedirectHome);
  EXPECT_NE(Get("/", "", kStranger).find("HTTP/1.0 200 OK"), std::string::npos);
  // Every attempt while refused starts the minute again.
  for (int i = 0; i < 3; ++i) {
    Advance(50s);
    EXPECT_EQ(Login(right), kAuthRequired) << i;
  }
  Advance(59s);
  EXPECT_EQ(Login(wrong), kAuthRequired);
  Advance(60s);
  EXPECT_EQ(Login(right), kRedirectHome);
  // One line for the whole episode; a new episode gets its own.
  EXPECT_EQ(LogCount("logins refused"), 1);
  for (int i = 0; i < 10; ++i) Login(wrong);
  EXPECT_EQ(LogCount("logins refused"), 2);
  // The account's rights by address are not a login and are never held back.
  for (int i = 0; i < 10; ++i) Login("Host: localhost\r\n" + wrong, "127.0.0.1");
  EXPECT_EQ(Login("Host: localhost\r\n", "127.0.0.1"), kRedirectHome);
}

// Over IPv6 the same rules hold: ::1 is this machine under the same Host rule, an address
// account admits its own address alone, and the throttle counts a visitor's /64.
TEST_F(Visitor, Ipv6VisitorsAreKnownByCanonicalAddressAndThrottledByTheirSixtyFour) {
  ASSERT_TRUE(loopback::AdoptV6Block("2001:db8::/32") && loopback::AdoptV6Block("fd00::/64"))
      << "needs root in the test's own namespace";
  for (const std::string host : {"localhost", "[::1]:8080", "127.0.0.1"})
    EXPECT_EQ(Login("Host: " + host + "\r\n", "::1"), kRedirectHome) << host;
  for (const std::string host : {"evil.example", "[evil]", "::1"})
    EXPECT_EQ(Login("Host: " + host + "\r\n", "::1"), kAuthRequired) << host;

  ASSERT_TRUE(accounts.AddAccount({"phone", "", 1, 1, 0, 0, "FD00:0::5", "", ""}));
  EXPECT_EQ(Login("Host: x\r\n", "fd00::5"), kRedirectHome);
  EXPECT_EQ(Login("Host: x\r\n", "fd00::6"), kAuthRequired);

  const std::string right = BasicAuth(web::kAdmin);
  const std::string wrong = BasicAuth("admin:guess");
  // Ten failures from one /64, each from other low bits.
  const char* block[] = {"2001:db8:1:2::a",      "2001:db8:1:2::b",  "2001:db8:1:2:ffff::1",
                         "2001:db8:1:2::d",      "2001:db8:1:2::e",  "2001:db8:1:2::f",
                         "2001:db8:1:2::10",     "2001:db8:1:2::11", "2001:db8:1:2::12",
                         "2001:db8:1:2:0:0:0:13"};
  for (const char* from : block) EXPECT_EQ(Login(wrong, from), kAuthRequired) << from;
  EXPECT_EQ(Login(right, "2001:db8:1:2::99"), kAuthRequired);
  EXPECT_EQ(LogCount("user(:2001:db8:1:2::13) logins refused"), 1);
  // The next /64, and IPv4 visitors, log in as before.
  EXPECT_EQ(Login(right, "2001:db8:1:3::a"), kRedirectHome);
  EXPECT_EQ(Login(right), kRedirectHome);
}

TEST(RequestOrigin, CrossSiteIsJudgedByOriginThenRefererThenFetchSite) {
  const auto cross = [](std::string host, std::string origin, std::string referer,
                        std::string site = "") {
    HttpRequest request;
    request.has_host = true;
    request.host = std::move(host);
    request.origin = std::move(origin);
    request.referer = std::move(referer);
    request.fetch_site = std::move(site);
    return tessel::IsCrossSite(request);
  };
  EXPECT_FALSE(cross("127.0.0.1:8080", "", ""));
  EXPECT_FALSE(cross("127.0.0.1:8080", "http://127.0.0.1:8080", ""));
  EXPECT_FALSE(cross("Box", "http://box:80", ""));
  EXPECT_FALSE(cross("box:80", "http://BOX", ""));
  EXPECT_FALSE(cross("[::1]:8080", "http://[::1]:8080", ""));
  EXPECT_FALSE(cross("box", "", "http://user@box/download.htm?file=a#x"));
  EXPECT_FALSE(cross("box", "", "", "same-origin"));
  EXPECT_FALSE(cross("box", "", "", "none"));
  EXPECT_TRUE(cross("box", "", "", "cross-site"));
  EXPECT_TRUE(cross("box", "http://box", "", "Cross-Site"));
  EXPECT_TRUE(cross("127.0.0.1:8080", "http://127.0.0.1:8081", ""));
  EXPECT_TRUE(cross("127.0.0.1", "https://127.0.0.1", ""));
  EXPECT_TRUE(cross("box", "http://evil.example", "http://box/"));  // the Origin decides
  EXPECT_TRUE(cross("box", "", "http://evil.example/box"));
  EXPECT_TRUE(cross("box", "", "http://box.evil.example/"));
  EXPECT_TRUE(cross("box", "null", ""));
  EXPECT_TRUE(cross("box", "box", ""));
  EXPECT_TRUE(cross("", "http://box", ""));
}

}  // namespace
