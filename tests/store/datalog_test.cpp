#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "store/DataLog.h"
#include "store/SizeText.h"

namespace {

TEST(SizeText, FormatSizeSteps) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0 K"},
      {-5, "0 K"},
      {1, "0.1 K"},
      {103, "0.1 K"},
      {104, "0.1 K"},
      {1536, "1.5 K"},
      {12800, "12.5 K"},
      {102400, "100.0 K"},
      {102401, "100 K"},
      {1048576, "1024 K"},
      {1048577, "1.0 M"},
      {1258291, "1.2 M"},
      {104857600, "100.0 M"},
      {104857601, "100 M"},
      {5368709120, "5120 M"},
      {INT64_MIN, "0 K"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatSize(bytes), text) << bytes;
}

TEST(SizeText, FormatNumberGroups) {
  tessel::NumberGrouping english{",", 3};
  EXPECT_EQ(FormatNumber(1234567, english), "1,234,567");
  EXPECT_EQ(FormatNumber(123456, english), "123,456");
  EXPECT_EQ(FormatNumber(999, english), "999");
  EXPECT_EQ(FormatNumber(0, english), "0");
  EXPECT_EQ(FormatNumber(UINT64_MAX, english), "18,446,744,073,709,551,615");
  EXPECT_EQ(FormatNumber(1234567, {"\u202f", 4}), "123\u202f4567");
  EXPECT_EQ(FormatNumber(1234567, {}), "1234567");
}

TEST(ActivityLog, LinesAndShareRefreshes) {
  CDataLog log("/nonexistent");
  EXPECT_FALSE(log.Open());
  log.AddLog("10.0.0.7", "bob", CDataLog::kRemoveShare, "x", 0, 0, 1);  // no sink: dropped

  std::vector<std::string> lines;
  int refreshes = 0;
  log.SetLogSink([&](const std::string& line) { lines.push_back(line); });
  log.SetSharesChangedSink([&] { ++refreshes; });
  log.AddLog("192.168.1.20", "bob", CDataLog::kDownloadFile, "docs\\plan.txt", 0, 12800, 0);
  log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, "a.mp3", 104, 1536, 1);
  log.AddLog("10.0.0.7", "", CDataLog::kDownloadFolder, "docs", 2048, CDataLog::kUnknownSize, 0);
  EXPECT_EQ(refreshes, 0);
  log.AddLog("10.0.0.7", "bob", CDataLog::kUploadFile, "report-2.pdf", 0, 0, 0);
  log.AddLog("10.0.0.7", "bob", CDataLog::kUploadFile, "report-2.pdf", 0, 1258291, 1);
  log.AddLog("10.0.0.7", "bob", CDataLog::kRemoveShare, "report-2.pdf", 0, 0, 0);
  log.AddLog("10.0.0.7", "bob", 5, "ignored", 0, 0, 0);
  EXPECT_EQ(refreshes, 3);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "user(bob:192.168.1.20) download file start docs\\plan.txt(0 K/12.5 K)",
                       "user(bob:10.0.0.7) download file end a.mp3(0.1 K/1.5 K)",
                       "user(:10.0.0.7) download folder start docs(2.0 K/0.1 K)",
                       "user(bob:10.0.0.7) upload file start",
                       "user(bob:10.0.0.7) upload file end report-2.pdf(1.2 M)",
                       "user(bob:10.0.0.7) delete file share report-2.pdf",
                   }));
  log.SetLogSink(nullptr);
  log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, "a", 0, 0, 0);
  EXPECT_EQ(lines.size(), 6u);
}

TEST(ActivityLog, SinkChangesWhileLogging) {
  CDataLog log("/nonexistent");
  std::atomic<int> delivered = 0;
  std::atomic<bool> stop = false;
  std::thread logger([&] {
    while (!stop) log.AddLog("1.2.3.4", "a", CDataLog::kDownloadFile, "f", 0, 0, 0);
  });
  for (int i = 0; i < 2000; ++i) {
    log.SetLogSink([&](const std::string&) { ++delivered; });
    log.SetLogSink(nullptr);
  }
  stop = true;
  logger.join();
  SUCCEED() << delivered << " lines delivered";
}

}  // namespace
