// Log lines from many threads reach the Logs list queued, in batches, bounded, and survive the
// window closing while they arrive.
#include <QSignalSpy>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <set>

#include "desktop/LogBridge.h"
#include "desktop/WindowFixture.h"

namespace tessel::test {
namespace {

constexpr int kThreads = 8;

// The item name of line i of thread t; the log line ends in "<name>(0 K/0 K)".
std::string Item(int t, int i) {
  return "t" + std::to_string(t) + "-" + std::to_string(i);
}

// The item name a download line carries ("... download file start t3-17(0 K/0 K)").
std::string ItemOf(const std::string& line) {
  const size_t end = line.rfind('(');
  const size_t start = line.rfind(' ', end);
  return line.substr(start + 1, end - start - 1);
}

void LogLines(CDataLog& log, int t, int count) {
  for (int i = 0; i < count; ++i)
    log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, Item(t, i), 0, 0, CDataLog::kPhaseStart);
}

std::vector<std::string> Rows(const CLogModel& model) {
  std::vector<std::string> rows;
  for (int row = 0; row < model.rowCount(); ++row) rows.push_back(model.At(row).text);
  return rows;
}

class LogBridgeTest : public WindowFixture {};

TEST_F(LogBridgeTest, LoggingNeverWaitsForTheWindow) {
  Dlg();
  // The window's thread takes no events meanwhile, and yet every thread finishes.
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(LogLines, std::ref(m_log), t, 500);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(Dlg().LogModel()->rowCount(), 0);
  EXPECT_TRUE(ProcessUntil([&] { return Dlg().LogModel()->rowCount() == kThreads * 500; }));
}

TEST_F(LogBridgeTest, LinesFromEightThreadsWhileTheWindowClosesAreNeitherLostNorDoubled) {
  constexpr int kLines = 1000;  // 8000 in all: below the list's bound
  Dlg();
  std::atomic<int> logged{0};
  std::atomic<bool> closing{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        // The second half races with the window closing.
        while (i == kLines / 2 && !closing) std::this_thread::yield();
        m_log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, Item(t, i), 0, 0, 0);
        ++logged;
      }
    });
  // The window takes batches for a while, then closes as Exit closes it, threads still logging.
  ASSERT_TRUE(ProcessUntil([&] { return logged.load() == kThreads * kLines / 2; }));
  closing = true;
  Dlg().ReleaseLog();
  const std::vector<std::string> in_list = Rows(*Dlg().LogModel());
  m_dlg.reset();
  for (std::thread& thread : threads) thread.join();

  std::multiset<std::string> all;
  for (const std::string& line : in_list) all.insert(ItemOf(line));
  for (const std::string& line : m_printed) all.insert(ItemOf(line));
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kLines));
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(all.count(Item(t, i)), 1u) << Item(t, i);
  EXPECT_GE(in_list.size(), static_cast<size_t>(kThreads * kLines / 2));
  // Each thread's lines keep their order in the list.
  for (int t = 0; t < kThreads; ++t) {
    int last = -1;
    for (const std::string& line : in_list) {
      const std::string item = ItemOf(line);
      if (item.rfind("t" + std::to_string(t) + "-", 0) != 0) continue;
      const int i = std::stoi(item.substr(item.find('-') + 1));
      EXPECT_GT(i, last);
      last = i;
    }
  }
}

TEST_F(LogBridgeTest, ListKeepsTheNewestRowsOnly) {
  Dlg();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(LogLines, std::ref(m_log), t, 2000);
  for (std::thread& thread : threads) thread.join();
  m_log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, "last", 0, 0, 0);
  ASSERT_TRUE(ProcessUntil([&] {
    const CLogModel& model = *Dlg().LogModel();
    return model.rowCount() > 0 && ItemOf(model.At(model.rowCount() - 1).text) == "last";
  }));
  EXPECT_EQ(Dlg().LogModel()->rowCount(), CLogModel::kMaxRows);
  // Lines logged after the bound was reached evicted the oldest, not themselves.
  CLogModel& model = *Dlg().LogModel();
  model.Append({{0, "a (0 K)"}, {0, "b (0 K)"}});
  EXPECT_EQ(model.rowCount(), CLogModel::kMaxRows);
  EXPECT_EQ(model.At(CLogModel::kMaxRows - 1).text, "b (0 K)");
  EXPECT_EQ(ItemOf(model.At(CLogModel::kMaxRows - 3).text), "last");
}

TEST_F(LogBridgeTest, BurstsArriveInBatchesAtMostEveryInterval) {
  Dlg();
  QSignalSpy batches(Dlg().LogModel(), &QAbstractItemModel::rowsInserted);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      m_log.AddLog("10.0.0.7", "bob", CDataLog::kDownloadFile, Item(0, i), 0, 0, 0);
      if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 1000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  stop = true;
  writer.join();
  const qint64 elapsed = clock.elapsed();
  EXPECT_GE(batches.count(), 2);
  EXPECT_LE(batches.count(), elapsed / CLogBridge::kBatchInterval.count() + 2)
      << Dlg().LogModel()->rowCount() << " rows in " << batches.count() << " batches";
  EXPECT_GT(Dlg().LogModel()->rowCount(), batches.count()) << "lines come several to a batch";
}

TEST(LogModel, AppendsKeepTheNewestWithinTheBound) {
  OffscreenApp();
  CLogModel model(nullptr, 5);
  model.Append({{1, "1"}, {2, "2"}, {3, "3"}});
  model.Append({{4, "4"}, {5, "5"}, {6, "6"}});
  ASSERT_EQ(model.rowCount(), 5);
  EXPECT_EQ(model.At(0).text, "2");
  EXPECT_EQ(model.At(4).text, "6");
  // A batch larger than the bound keeps its own newest.
  model.Append({{7, "7"}, {8, "8"}, {9, "9"}, {10, "10"}, {11, "11"}, {12, "12"}, {13, "13"}});
  ASSERT_EQ(model.rowCount(), 5);
  EXPECT_EQ(model.At(0).text, "9");
  EXPECT_EQ(model.At(4).text, "13");
  EXPECT_EQ(model.data(model.index(4, 1)).toString(), "13");
  EXPECT_EQ(model.data(model.index(4, 0)).toString(), CLogModel::TimeText(13));
}

}  // namespace
}  // namespace tessel::test
