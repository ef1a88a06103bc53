#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "net/Firewall.h"

namespace {

// A firewall list in memory; each step can be made to fail with its code.
class FakeFirewall : public CFirewallBackend {
 public:
  FW_ERROR_CODE open_result = FW_OK;
  FW_ERROR_CODE find_result = FW_OK;
  FW_ERROR_CODE add_result = FW_OK;
  FW_ERROR_CODE remove_result = FW_OK;
  std::map<std::string, std::pair<std::string, bool>> apps;  // path -> (name, enabled)
  int open_profiles = 0;

  FW_ERROR_CODE OpenProfile() override {
    if (open_result == FW_OK) ++open_profiles;
    return open_result;
  }
  void CloseProfile() override { --open_profiles; }
  FW_ERROR_CODE FindApp(const std::string& path, bool* found, bool* enabled) override {
    if (find_result != FW_OK) return find_result;
    const auto it = apps.find(path);
    *found = it != apps.end();
    *enabled = *found && it->second.second;
    return FW_OK;
  }
  FW_ERROR_CODE AddApp(const std::string& path, const std::string& name) override {
    if (add_result != FW_OK) return add_result;
    apps[path] = {name, true};
    return FW_OK;
  }
  FW_ERROR_CODE RemoveApp(const std::string& path) override {
    if (remove_result != FW_OK) return remove_result;
    apps.erase(path);
    return FW_OK;
  }
};

TEST(Firewall, AttachOpensOneProfileAndEveryOperationNeedsIt) {
  FakeFirewall fake;
  {
    CFirewall firewall(fake);
    bool enabled = true;
    EXPECT_EQ(firewall.IsAppAuthorized("/bin/tessel", &enabled), FW_ERR_NOT_ATTACHED);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(firewall.AuthorizeApp("/bin/tessel", "Tessel"), FW_ERR_NOT_ATTACHED);
    EXPECT_EQ(firewall.RevokeApp("/bin/tessel"), FW_ERR_NOT_ATTACHED);

    EXPECT_EQ(firewall.Attach(), FW_OK);
    EXPECT_EQ(firewall.Attach(), FW_ERR_NOT_ATTACHED);
    EXPECT_EQ(fake.open_profiles, 1);
    EXPECT_EQ(firewall.Detach(), FW_OK);
    EXPECT_EQ(firewall.Detach(), FW_OK);
    EXPECT_EQ(fake.open_profiles, 0);
    EXPECT_EQ(firewall.Attach(), FW_OK);
  }
  EXPECT_EQ(fake.open_profiles, 0);  // released on destruction

  // An unavailable firewall: attaching reports why, and the operations then report "not attached".
  for (FW_ERROR_CODE code : {FW_ERR_MANAGER, FW_ERR_POLICY, FW_ERR_PROFILE}) {
    fake.open_result = code;
    CFirewall firewall(fake);
    EXPECT_EQ(firewall.Attach(), code);
    EXPECT_EQ(firewall.AuthorizeApp("/bin/tessel", "Tessel"), FW_ERR_NOT_ATTACHED);
    EXPECT_EQ(firewall.RevokeApp("/bin/tessel"), FW_ERR_NOT_ATTACHED);
  }
}

TEST(Firewall, AuthorizeAndRevokeKeepTheListAsTheUserLeftIt) {
  FakeFirewall fake;
  CFirewall firewall(fake);
  ASSERT_EQ(firewall.Attach(), FW_OK);

  EXPECT_EQ(firewall.AuthorizeApp("/bin/tessel", "Tessel"), FW_OK);
  bool enabled = false;
  EXPECT_EQ(firewall.IsAppAuthorized("/bin/tessel", &enabled), FW_OK);
  EXPECT_TRUE(enabled);
  // Already authorised and enabled: nothing is added, even under another name.
  fake.add_result = FW_ERR_ADD;
  EXPECT_EQ(firewall.AuthorizeApp("/bin/tessel", "Other"), FW_OK);
  EXPECT_EQ(fake.apps["/bin/tessel"].first, "Tessel");
  fake.add_result = FW_OK;

  // A disabled entry is added again by Authorize and left alone by Revoke.
  fake.apps["/bin/off"] = {"Off", false};
  EXPECT_EQ(firewall.IsAppAuthorized("/bin/off", &enabled), FW_OK);
  EXPECT_FALSE(enabled);
  EXPECT_EQ(firewall.RevokeApp("/bin/off"), FW_OK);
  EXPECT_EQ(fake.apps.count("/bin/off"), 1u);
  EXPECT_EQ(firewall.RevokeApp("/bin/missing"), FW_OK);
  EXPECT_EQ(firewall.RevokeApp("/bin/tessel"), FW_OK);
  EXPECT_EQ(fake.apps.count("/bin/tessel"), 0u);

  // Missing and empty arguments.
  EXPECT_EQ(firewall.AuthorizeApp(nullptr, "Tessel"), FW_ERR_ARGUMENT);
  EXPECT_EQ(firewall.AuthorizeApp("/bin/tessel", nullptr), FW_ERR_ARGUMENT);
  EXPECT_EQ(firewall.AuthorizeApp("", "Tessel"), FW_ERR_EMPTY_TEXT);
  EXPECT_EQ(firewall.AuthorizeApp("/bin/tessel", ""), FW_ERR_EMPTY_TEXT);
  fake.apps["/bin/named"] = {"Named", true};
  EXPECT_EQ(firewall.AuthorizeApp("/bin/named", ""), FW_OK);  // nothing to add
  EXPECT_EQ(firewall.RevokeApp(nullptr), FW_ERR_ARGUMENT);
  EXPECT_EQ(firewall.RevokeApp(""), FW_ERR_EMPTY_TEXT);
  EXPECT_EQ(firewall.IsAppAuthorized(nullptr, &enabled), FW_ERR_ARGUMENT);

  // Failing steps come back as their codes.
  fake.find_result = FW_ERR_ENABLED;
  EXPECT_EQ(firewall.AuthorizeApp("/bin/tessel", "Tessel"), FW_ERR_ENABLED);
  EXPECT_EQ(firewall.RevokeApp("/bin/named"), FW_ERR_ENABLED);
  fake.find_result = FW_ERR_APP_LIST;
  EXPECT_EQ(firewall.IsAppAuthorized("/bin/tessel", &enabled), FW_ERR_APP_LIST);
  fake.find_result = FW_OK;
  for (FW_ERROR_CODE code : {FW_ERR_NEW_APP, FW_ERR_SET_IMAGE, FW_ERR_SET_NAME, FW_ERR_ADD}) {
    fake.add_result = code;
    EXPECT_EQ(firewall.AuthorizeApp("/bin/tessel", "Tessel"), code);
  }
  fake.remove_result = FW_ERR_REMOVE;
  EXPECT_EQ(firewall.RevokeApp("/bin/named"), FW_ERR_REMOVE);
  EXPECT_EQ(fake.apps.count("/bin/named"), 1u);
}

TEST(Firewall, ExportsUseTheSystemFirewall) {
  // Linux keeps no per-program list: the system backend admits everything.
  EXPECT_EQ(_FirewallAddApplication("/usr/bin/tessel", "Tessel"), FW_OK);
  EXPECT_EQ(_FirewallAddApplication("/usr/bin/tessel", nullptr), FW_ERR_ARGUMENT);
  EXPECT_EQ(_FirewallAddApplication("/usr/bin/tessel", ""), FW_ERR_EMPTY_TEXT);
  EXPECT_EQ(_FirewallRemoveApplication("/usr/bin/tessel"), FW_OK);
  EXPECT_EQ(_FirewallRemoveApplication(nullptr), FW_ERR_ARGUMENT);

  // Installers find them in the program's dynamic symbol table.
  if (!std::filesystem::exists(TESSEL_BINARY)) GTEST_SKIP() << "tessel is not built";
  FILE* pipe = popen("nm -D --defined-only '" TESSEL_BINARY "' 2>/dev/null", "r");
  ASSERT_NE(pipe, nullptr);
  std::string symbols;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) symbols.append(buffer, n);
  pclose(pipe);
  EXPECT_NE(symbols.find(" T _FirewallAddApplication\n"), std::string::npos);
  EXPECT_NE(symbols.find(" T _FirewallRemoveApplication\n"), std::string::npos);
}

}  // namespace
