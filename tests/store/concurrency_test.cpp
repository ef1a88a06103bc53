#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "store/DataAccount.h"
#include "store/DataFileShare.h"
#include "store/DataSystem.h"
#include "support/TempFolder.h"

namespace {

std::set<std::string> ShareNames(const std::string& folder) {
  CDataFileShare shares(folder);
  std::vector<FileShareRecord> list;
  std::set<std::string> names;
  if (!shares.Open()) return names;
  shares.ListShares(list);
  for (const auto& share : list) names.insert(share.name);
  return names;
}

// Stores on separate connections to one file, as the window and the workers use them.
TEST(StoreConcurrency, SharesAddedWhileLoginsAreChecked) {
  TempFolder folder;
  CDataSystem settings(folder.path());
  ASSERT_TRUE(settings.Open());
  constexpr int kRounds = 3, kSharesPerThread = 40;
  std::vector<std::string> made;
  for (int round = 0; round < kRounds; ++round) {
    CDataFileShare writer_a(folder.path()), writer_b(folder.path());
    CDataAccount checker_a(folder.path()), checker_b(folder.path());
    ASSERT_TRUE(writer_a.Open() && writer_b.Open() && checker_a.Open() && checker_b.Open());
    std::atomic<int> writers_left = 2, failed_logins = 0, logins = 0;
    std::vector<std::string> names_a, names_b;
    // Both writers use the same file names, so they also race for the same share names.
    auto write = [&](CDataFileShare& shares, std::vector<std::string>& names) {
      for (int i = 0; i < kSharesPerThread; ++i) {
        names.push_back(shares.ShareFile("/r" + std::to_string(round) + "/f.txt", "bob", 0));
      }
      --writers_left;
    };
    auto check = [&](CDataAccount& accounts) {
      std::string name;
      while (writers_left > 0) {
        ++logins;
        if (!accounts.CheckLogin("admin", "kavor", "10.0.0.7", name)) ++failed_logins;
      }
    };
    std::thread threads[] = {std::thread(write, std::ref(writer_a), std::ref(names_a)),
                             std::thread(write, std::ref(writer_b), std::ref(names_b)),
                             std::thread(check, std::ref(checker_a)),
                             std::thread(check, std::ref(checker_b))};
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failed_logins, 0) << "of " << logins;
    made.insert(made.end(), names_a.begin(), names_a.end());
    made.insert(made.end(), names_b.begin(), names_b.end());
  }
  std::set<std::string> stored = ShareNames(folder.path());
  EXPECT_EQ(stored.size(), made.size());
  for (const auto& name : made) EXPECT_EQ(stored.count(name), 1u) << "lost: '" << name << "'";
}

TEST(StoreCrash, WriterKilledInABurstLeavesEveryReportedRow) {
  TempFolder folder;
  {
    CDataSystem settings(folder.path());
    ASSERT_TRUE(settings.Open());
  }
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    CDataFileShare shares(folder.path());
    if (!shares.Open()) _exit(1);
    for (int i = 0;; ++i) {
      std::string name = shares.ShareFile("/burst/" + std::to_string(i) + ".bin", "", 0) + "\n";
      if (name == "\n" || write(report[1], name.data(), name.size()) < 0) _exit(2);
    }
  }
  close(report[1]);
  std::string reported;
  char buffer[4096];
  size_t lines = 0;
  ssize_t got = 0;
  while (lines < 200 && (got = read(report[0], buffer, sizeof buffer)) > 0) {
    reported.append(buffer, got);
    lines = std::count(reported.begin(), reported.end(), '\n');
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
  while ((got = read(report[0], buffer, sizeof buffer)) > 0) reported.append(buffer, got);
  close(report[0]);

  CADO::CADODatabase db;
  ASSERT_TRUE(db.Open(folder / "tessel.mdb"));
  CADO::CADORecordset rs(db);
  ASSERT_TRUE(rs.Open("PRAGMA integrity_check"));
  std::string verdict;
  EXPECT_TRUE(rs.GetFieldValue("integrity_check", verdict));
  EXPECT_EQ(verdict, "ok");

  std::set<std::string> stored = ShareNames(folder.path());
  std::istringstream names(reported);
  size_t checked = 0;
  for (std::string name; std::getline(names, name); ++checked) {
    EXPECT_EQ(stored.count(name), 1u) << "lost: " << name;
  }
  EXPECT_GE(checked, 200u);
}

}  // namespace
