// The whole program's Internet checks in headless mode. The test's namespace holds loopback
// alone, so no gateway and no web service answer.
#include <gtest/gtest.h>

#include "store/DataAccount.h"
#include "store/DataSystem.h"
#include "support/Eventually.h"
#include "support/NetworkIsolation.h"
#include "support/ProgramRunner.h"

namespace {

using Child = ProgramRunner::Child;
using Clock = std::chrono::steady_clock;

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class InternetCheckTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tessel::test::NetworkIsolated()) GTEST_SKIP() << "no private network namespace";
    SetSetting("LocalPort", "8090");
    // Without the default password standard error stays empty unless something goes wrong.
    CDataAccount accounts(m_runner.ProgramFolder());
    ASSERT_TRUE(accounts.Open());
    ASSERT_TRUE(accounts.DeleteAccount("admin"));
  }
  void SetSetting(const std::string& name, const std::string& value) {
    CDataSystem settings(m_runner.ProgramFolder());
    ASSERT_TRUE(settings.Open());
    ASSERT_TRUE(settings.SetParam(name, value));
  }

  ProgramRunner m_runner;
};

TEST_F(InternetCheckTimerTest, FirstCheckComesAboutASecondAfterStart) {
  Child instance;
  m_runner.Start(instance, {"-headless"});
  ASSERT_TRUE(m_runner.WaitForOutput(instance, "Serving on port 8090\n"));
  const auto serving = Clock::now();
  ASSERT_TRUE(m_runner.WaitForOutput(instance, "Internet check: Checking Internet IP address\n",
                                     std::chrono::seconds(5)));
  EXPECT_GT(Clock::now() - serving, std::chrono::milliseconds(500));
  // Neither a gateway nor the web service: the LAN URL.
  ASSERT_TRUE(m_runner.WaitForOutput(instance, "Internet URL: http://127.0.0.1:8090\n"));
  const std::string out = ProgramRunner::Read(instance.out);
  EXPECT_NE(out.find("Internet check: Internet set up failed\n"), std::string::npos) << out;
  EXPECT_EQ(Count(out, "Checking Internet IP address"), 1u) << "the next one is 301 s away";
  EXPECT_EQ(m_runner.Stop(instance), 0);
  EXPECT_EQ(ProgramRunner::Read(instance.err), "");
}

TEST_F(InternetCheckTimerTest, SwitchedOffAndStoppedDuringACheck) {
  SetSetting("internetaccess", "0");
  Child off;
  m_runner.Start(off, {"-headless"});
  ASSERT_TRUE(m_runner.WaitForOutput(off, "Internet check: http://127.0.0.1:8090\n"));
  const std::string out = ProgramRunner::Read(off.out);
  EXPECT_NE(out.find("Internet URL: http://127.0.0.1:8090\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Checking"), std::string::npos) << out;
  EXPECT_EQ(m_runner.Stop(off), 0);

  // A check looking for the gateway does not hold up the exit for long.
  SetSetting("internetaccess", "1");
  Child busy;
  m_runner.Start(busy, {"-headless"});
  ASSERT_TRUE(m_runner.WaitForOutput(busy, "Checking Internet IP address"));
  const auto start = Clock::now();
  EXPECT_EQ(m_runner.Stop(busy), 0);
  EXPECT_LT(Clock::now() - start, tessel::test::Scaled(std::chrono::seconds(3)));
}

}  // namespace
