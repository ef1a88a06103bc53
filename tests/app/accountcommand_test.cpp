// The owner's account switches, run as the whole program in a scratch home: "-accounts" and
// "-password NAME" straight on the database and through a running instance.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "store/DataAccount.h"
#include "support/Eventually.h"
#include "support/NetworkIsolation.h"
#include "support/ProgramRunner.h"

namespace {

using Child = ProgramRunner::Child;

class AccountCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tessel::test::NetworkIsolated()) GTEST_SKIP() << "no private network namespace";
  }

  // Runs tessel with args, standard input reading input; the exit status.
  int Run(Child& child, const std::vector<std::string>& args, const std::string& input = "") {
    child.input = input;
    return m_runner.Run(child, args);
  }
  bool LogsIn(const std::string& name, const std::string& password) {
    CDataAccount accounts(m_runner.ProgramFolder());
    std::string account;
    return accounts.Open() && accounts.CheckLogin(name, password, "192.0.2.7", account);
  }
  std::string Out(const Child& child) { return ProgramRunner::Read(child.out); }
  std::string Err(const Child& child) { return ProgramRunner::Read(child.err); }

  ProgramRunner m_runner;
};

// The same table, by whichever way: the heading, both accounts of a new database, no password.
void ExpectAccountTable(const std::string& out) {
  EXPECT_EQ(out.rfind("ACCOUNT  LOGIN", 0), 0u) << out;
  EXPECT_NE(out.find("\nlocal    address 127.0.0.1  enabled"), std::string::npos) << out;
  EXPECT_NE(out.find("\nadmin    password"), std::string::npos) << out;
  EXPECT_EQ(out.find(CDataAccount::kDefaultAdminPassword), std::string::npos) << out;
}

TEST_F(AccountCommandTest, WithoutAnInstanceTheDatabaseChangesAndNothingServes) {
  Child list;
  EXPECT_EQ(Run(list, {"-accounts"}), 0) << Err(list);
  ExpectAccountTable(Out(list));

  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string said;  // on standard output when the status is 0, else on standard error
  };
  const std::string database = m_runner.ProgramFolder() + "/tessel.mdb";
  const Case cases[] = {
      {{"-password", "Admin"},
       "first pass\n",
       0,
       "Changed the password of the account admin in " + database + ".\n"},
      {{"-password", "nobody"}, "x\n", 1, "tessel: no account named nobody\n"},
      {{"-password", "local"}, "x\n", 1, "has no password"},
      {{"-password", "admin"}, "\n", 1, "empty password"},
      {{"-password", "admin"}, "", 1, "no password on standard input"},
      {{"-password"}, "x\n", 2, "needs an account name"},
  };
  for (const Case& c : cases) {
    Child child;
    EXPECT_EQ(Run(child, c.args, c.input), c.status) << c.args.back() << Err(child);
    EXPECT_NE((c.status == 0 ? Out(child) : Err(child)).find(c.said), std::string::npos)
        << c.args.back() << ": " << Out(child) << Err(child);
    EXPECT_EQ(Out(child).find("Serving"), std::string::npos);
  }
  // Only the first case changed anything.
  EXPECT_TRUE(LogsIn("admin", "first pass"));
  EXPECT_FALSE(LogsIn("admin", CDataAccount::kDefaultAdminPassword));
  EXPECT_FALSE(std::filesystem::exists(m_runner.SocketPath()));

  // The warning about the default password is gone with it.
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  EXPECT_EQ(Err(instance).find("default password"), std::string::npos) << Err(instance);
  EXPECT_EQ(m_runner.Stop(instance), 0);
}

TEST_F(AccountCommandTest, WithAnInstanceItTakesTheChangeAndLogsIt) {
  Child instance;
  ASSERT_TRUE(m_runner.StartServing(instance)) << Err(instance);
  EXPECT_NE(Err(instance).find("change it with: tessel -password admin\n"), std::string::npos)
      << Err(instance);

  Child list;
  EXPECT_EQ(Run(list, {"-ACCOUNTS"}), 0) << Err(list);
  ExpectAccountTable(Out(list));
  EXPECT_EQ(Out(list).find("already running"), std::string::npos);

  Child change;
  EXPECT_EQ(Run(change, {"-password", "admin"}, "second pass\r\n"), 0) << Err(change);
  EXPECT_EQ(Out(change), "Changed the password of the account admin in the running Tessel.\n");
  EXPECT_TRUE(LogsIn("admin", "second pass"));
  EXPECT_TRUE(m_runner.WaitForOutput(instance, "password of the account admin (from the command"));

  Child unknown;
  EXPECT_EQ(Run(unknown, {"-password", "nobody"}, "x\n"), 1);
  EXPECT_EQ(Err(unknown), "tessel: no account named nobody\n");
  EXPECT_TRUE(m_runner.IsRunning(instance));
  EXPECT_EQ(m_runner.Stop(instance), 0);
}

TEST_F(AccountCommandTest, OnATerminalThePasswordIsTypedTwiceWithoutEcho) {
  struct Case {
    std::string first, second;
    int status;
  };
  for (const Case& c : {Case{"typed-pw", "other-pw", 1}, Case{"typed-pw", "typed-pw", 0}}) {
    int terminal = -1, child_end = -1;
    ASSERT_EQ(openpty(&terminal, &child_end, nullptr, nullptr, nullptr), 0);
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    Child child;
    child.terminal = child_end;
    m_runner.Start(child, {"-password", "admin"});
    close(child_end);
    std::string shown;  // what the terminal showed: the echo, if any
    const auto type_after = [&](const std::string& prompt, const std::string& line) {
      EXPECT_TRUE(tessel::test::Eventually([&] {
        return Err(child).find(prompt) != std::string::npos;
      })) << Err(child);
      EXPECT_EQ(write(terminal, (line + "\n").data(), line.size() + 1),
                static_cast<ssize_t>(line.size() + 1));
    };
    type_after("New password for admin: ", c.first);
    type_after("Retype the new password: ", c.second);
    EXPECT_TRUE(m_runner.Wait(child));
    EXPECT_EQ(child.status, c.status) << Err(child);
    char buffer[256];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, n);
    close(terminal);
    EXPECT_EQ(shown.find("-pw"), std::string::npos) << shown;
    if (c.status != 0) {
      EXPECT_NE(Err(child).find("do not match"), std::string::npos);
    }
    EXPECT_EQ(LogsIn("admin", "typed-pw"), c.status == 0);
  }
}

}  // namespace
