#include "base/IpAddress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <optional>

using tessel::IpAddress;

namespace {

struct Case {
  const char* text;
  const char* canonical;  // "" when text is no address
  const char* limit;      // what limits count it under
  bool lan;
  bool global_v6;
};

// One row per address: its canonical text, its /64 key, and its kind.
constexpr Case kCases[] = {
    {"192.168.1.20", "192.168.1.20", "192.168.1.20", true, false},
    {"10.0.0.1", "10.0.0.1", "10.0.0.1", true, false},
    {"172.31.255.1", "172.31.255.1", "172.31.255.1", true, false},
    {"172.32.0.1", "172.32.0.1", "172.32.0.1", false, false},
    {"127.0.0.1", "127.0.0.1", "127.0.0.1", true, false},
    {"169.254.3.4", "169.254.3.4", "169.254.3.4", true, false},
    {"100.64.1.2", "100.64.1.2", "100.64.1.2", false, false},
    {"203.0.113.7", "203.0.113.7", "203.0.113.7", false, false},
    // A dual-stack socket's IPv4 peer is the IPv4 address, in any spelling.
    {"::ffff:203.0.113.7", "203.0.113.7", "203.0.113.7", false, false},
    {"::FFFF:cb00:7107", "203.0.113.7", "203.0.113.7", false, false},
    {"::ffff:127.0.0.1", "127.0.0.1", "127.0.0.1", true, false},
    // RFC 5952: lower case, no leading zeros, the longest zero run shortened, the first of equals,
    // a single zero group kept.
    {"2001:0DB8:0000:0000:0000:0000:0000:0007", "2001:db8::7", "2001:db8::/64", false, true},
    {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1", "2001:db8::/64", false, true},
    {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1", "2001:db8:0:1::/64", false, true},
    {"2001:db8:0:0:0::1", "2001:db8::1", "2001:db8::/64", false, true},
    {"2001:db8:aa:bb:cc:dd:0:0", "2001:db8:aa:bb:cc:dd::", "2001:db8:aa:bb::/64", false, true},
    {"::1", "::1", "::/64", true, false},
    {"::0:1", "::1", "::/64", true, false},
    {"::", "::", "::/64", false, false},
    {"::1.2.3.4", "::102:304", "::/64", false, false},
    {"fd00::5", "fd00::5", "fd00::/64", true, false},
    {"FC00:1:2:3:4::", "fc00:1:2:3:4::", "fc00:1:2:3::/64", true, false},
    {"fe80::1", "fe80::1", "fe80::/64", true, false},
    {"febf::1", "febf::1", "febf::/64", true, false},
    {"fec0::1", "fec0::1", "fec0::/64", false, false},
    {"3fff::1", "3fff::1", "3fff::/64", false, true},
    {"4000::1", "4000::1", "4000::/64", false, false},
    // No addresses.
    {"", "", "", false, false},
    {"[2001:db8::7]", "", "", false, false},
    {"fe80::1%eth0", "", "", false, false},
    {"2001:db8::7 ", "", "", false, false},
    {"1.2.3", "", "", false, false},
    {"01.2.3.4", "", "", false, false},
    {"2001:db8:::7", "", "", false, false},
    {"localhost", "", "", false, false},
};

}  // namespace

TEST(IpAddress, CanonicalTextLimitKeyAndKind) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    const std::optional<IpAddress> address = IpAddress::Parse(c.text);
    EXPECT_EQ(tessel::CanonicalAddress(c.text), c.canonical);
    ASSERT_EQ(address.has_value(), *c.canonical != '\0');
    if (!address) continue;
    EXPECT_EQ(address->LimitText(), c.limit);
    EXPECT_EQ(address->IsLan(), c.lan);
    EXPECT_EQ(address->IsGlobalV6(), c.global_v6);
    // The canonical text names the same address.
    EXPECT_EQ(IpAddress::Parse(address->Text()), address);
  }
}

TEST(IpAddress, LimitKeysJoinOneSixtyFourAndKeepFamiliesApart) {
  const auto key = [](const char* text) { return IpAddress::Parse(text)->LimitKey(); };
  EXPECT_EQ(key("2001:db8:1:2::7"), key("2001:db8:1:2:ffff:ffff:ffff:ffff"));
  EXPECT_NE(key("2001:db8:1:2::7"), key("2001:db8:1:3::7"));
  EXPECT_EQ(key("::ffff:10.0.0.1"), key("10.0.0.1"));
  EXPECT_NE(key("10.0.0.1"), key("10.0.0.2"));
  // IPv4 addresses do not share a key with the IPv6 block of zeros (::ffff:0:0/96 lies there).
  EXPECT_NE(key("0.0.0.0"), key("::"));
  EXPECT_NE(key("10.0.0.1"), key("::a00:1"));
}

TEST(IpAddress, KindsOfExternalAddresses) {
  for (const char* shared : {"100.64.1.2", "100.127.255.255", "192.168.0.1", "10.1.1.1", "0.0.0.0"})
    EXPECT_TRUE(IpAddress::Parse(shared)->IsNonPublicV4()) << shared;
  for (const char* open : {"100.63.0.1", "100.128.0.1", "203.0.113.1", "2001:db8::1"})
    EXPECT_FALSE(IpAddress::Parse(open)->IsNonPublicV4()) << open;
  EXPECT_TRUE(IpAddress::Parse("100.64.0.0")->IsSharedV4());
}

TEST(IpAddress, SocketAddressesAndUrlHosts) {
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "::ffff:192.0.2.9", &mapped.sin6_addr);
  EXPECT_EQ(IpAddress::FromSocket(reinterpret_cast<sockaddr*>(&mapped))->Text(), "192.0.2.9");
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  inet_pton(AF_INET, "192.0.2.9", &v4.sin_addr);
  EXPECT_EQ(IpAddress::FromSocket(reinterpret_cast<sockaddr*>(&v4))->UrlHost(), "192.0.2.9");
  sockaddr other{};
  other.sa_family = AF_UNIX;
  EXPECT_FALSE(IpAddress::FromSocket(&other));

  EXPECT_EQ(IpAddress::Parse("2001:DB8::5")->UrlHost(), "[2001:db8::5]");
  EXPECT_EQ(tessel::UrlHost("2001:db8::5"), "[2001:db8::5]");
  EXPECT_EQ(tessel::UrlHost("192.168.1.20"), "192.168.1.20");
  EXPECT_EQ(tessel::UrlHost("example.org"), "example.org");
  EXPECT_EQ(tessel::UrlHost("[::1]"), "[::1]");
}
