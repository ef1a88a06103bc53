// The Transfers list: its rows' texts, the merge of a new sample into them, the Stop action and
// key, and a real download through the service watched and stopped from the window.
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QTest>
#include <map>

#include "desktop/GfxOutBarCtrl.h"
#include "desktop/TransfersView.h"
#include "desktop/WindowFixture.h"
#include "service/TransferText.h"
#include "support/Loopback.h"

namespace tessel::test {
namespace {

using Row = CTransferRegistry::Row;
using Direction = CTransferRegistry::Direction;
using Clock = CTransferRegistry::Clock;
using std::chrono::seconds;
constexpr std::int64_t kMiB = 1 << 20;

QString Cell(const CTransferModel& model, int row, int column) {
  return model.data(model.index(row, column)).toString();
}

// The mebibytes a bytes cell shows ("16.3 M of 256 M"); 0 for kibibytes.
double ShownMiB(const QString& cell) {
  const QStringList words = cell.split(' ');
  return words.size() > 1 && words[1] == "M" ? words[0].toDouble() : 0;
}

TEST(TransferModelTest, RowsShowVisitorItemBytesSpeedAndTimeLeft) {
  OffscreenApp();
  const Clock::time_point t0 = Clock::now();
  struct Case {
    const char* what;
    Row row;
    Clock::time_point first_sample;
    std::uint64_t later_bytes;  // at first_sample + 1 s
    QStringList first;          // visitor, item, direction, bytes, speed, time left
    QStringList later;
  } cases[] = {
      {"a download at 1.5 M/s, then 2.5 M/s: smoothed",
       {1, "ann", "10.0.0.7", "film.mkv", Direction::kDownload, 3 * kMiB, 12 * kMiB, t0},
       t0 + seconds(2),
       11 * kMiB / 2,
       {"ann (10.0.0.7)", "film.mkv", "download", "3.0 M of 12.0 M", "1.5 M/s", "0:06"},
       {"ann (10.0.0.7)", "film.mkv", "download", "5.5 M of 12.0 M", "2.0 M/s", "0:04"}},
      {"a visitor without an account, total not known",
       {2, "", "::1", "folder", Direction::kDownload, 512 << 10, -1, t0},
       t0 + seconds(1),
       512 << 10,
       {"::1", "folder", "download", "512 K", "512 K/s", ""},
       {"::1", "folder", "download", "512 K", "256 K/s", ""}},
      {"a slow upload: hours left",
       {3, "bob", "10.0.0.8", "disk.iso", Direction::kUpload, 10 << 10, 4000 * kMiB, t0},
       t0 + seconds(10),
       11 << 10,
       {"bob (10.0.0.8)", "disk.iso", "upload", "10.0 K of 4000 M", "1.0 K/s", ""},
       {"bob (10.0.0.8)", "disk.iso", "upload", "11.0 K of 4000 M", "1.0 K/s", ""}},
      {"a transfer just begun has no speed yet",
       {4, "", "10.0.0.9", "a.txt", Direction::kDownload, 0, 100, t0},
       t0,
       100,
       {"10.0.0.9", "a.txt", "download", "0 K of 0.1 K", "", ""},
       {"10.0.0.9", "a.txt", "download", "0.1 K of 0.1 K", "0.1 K/s", "0:00"}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    CTransferModel model;
    model.Update({c.row}, c.first_sample);
    ASSERT_EQ(model.rowCount(), 1);
    QStringList first, later;
    for (int column = 0; column < CTransferModel::kColumnCount; ++column)
      first << Cell(model, 0, column);
    Row next = c.row;
    next.bytes = c.later_bytes;
    model.Update({next}, c.first_sample + seconds(1));
    for (int column = 0; column < CTransferModel::kColumnCount; ++column)
      later << Cell(model, 0, column);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(later, c.later);
  }
}

TEST(TransferModelTest, TimeLeftCountsHoursMinutesAndSeconds) {
  EXPECT_EQ(transfers::TimeLeftText(0, 3723, 1.0), "1:02:03");
  EXPECT_EQ(transfers::TimeLeftText(0, 754, 1.0), "12:34");
  EXPECT_EQ(transfers::TimeLeftText(500, 400, 1.0), "0:00");   // more than the total: done
  EXPECT_EQ(transfers::TimeLeftText(0, 100 * 3600, 1.0), "");  // beyond 99 hours
  EXPECT_EQ(transfers::TimeLeftText(0, 100, 0.0), "");
}

TEST(TransferModelTest, ASampleMergesByIdKeepingTheSelection) {
  OffscreenApp();
  const Clock::time_point t0 = Clock::now();
  const auto sample = [&](std::vector<std::uint64_t> ids) {
    std::vector<Row> rows;
    for (std::uint64_t id : ids)
      rows.push_back({id, "", "10.0.0.1", "item" + std::to_string(id), Direction::kDownload,
                      id * 1000, -1, t0});
    return rows;
  };
  CTransfersView view({[] { return std::vector<Row>{}; }, [](std::uint64_t) { return false; }});
  CTransferModel& model = *view.Model();
  model.Update(sample({1, 2, 3, 4, 5, 6}), t0 + seconds(1));
  view.selectionModel()->select(model.index(3, 0),
                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  // 1, 2 and 5 ended; 7 and 8 began.
  model.Update(sample({3, 4, 6, 7, 8}), t0 + seconds(2));
  std::vector<std::uint64_t> ids;
  for (int row = 0; row < model.rowCount(); ++row) ids.push_back(model.IdAt(row));
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{3, 4, 6, 7, 8}));
  EXPECT_EQ(Cell(model, 4, CTransferModel::kItem), "item8");
  const QModelIndexList selected = view.selectionModel()->selectedRows();
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(model.IdAt(selected[0].row()), 4u);
  model.Update({}, t0 + seconds(3));
  EXPECT_EQ(model.rowCount(), 0);
}

TEST(TransfersViewTest, StopActsOnTheSelectedRowsFromTheMenuAndTheDeleteKey) {
  OffscreenApp();
  std::vector<std::uint64_t> stopped;
  std::vector<Row> rows;
  for (std::uint64_t id : {10, 11, 12})
    rows.push_back({id, "", "10.0.0.1", "f", Direction::kDownload, 0, -1, Clock::now()});
  CTransfersView view({[&] { return rows; },
                       [&](std::uint64_t id) {
                         stopped.push_back(id);
                         return true;
                       }});
  view.show();  // samples at once
  ASSERT_EQ(view.Model()->rowCount(), 3);
  EXPECT_FALSE(view.StopAction()->isEnabled());
  const auto select = [&](int row) {
    view.selectionModel()->select(view.Model()->index(row, 0),
                                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
  };
  select(1);
  EXPECT_TRUE(view.StopAction()->isEnabled());
  view.StopAction()->trigger();
  EXPECT_EQ(stopped, (std::vector<std::uint64_t>{11}));
  select(2);
  view.setFocus();
  QTest::keyClick(&view, Qt::Key_Delete);
  EXPECT_EQ(stopped, (std::vector<std::uint64_t>{11, 11, 12}));
}

class TransfersWindowTest : public WindowFixture {};

TEST_F(TransfersWindowTest, ARealDownloadAppearsRisesAndEndsWhenStopped) {
  MainWindowContext context = Context();
  context.transfers = &m_stack.transfers;
  m_dlg = std::make_unique<RecordingDlg>(context, &m_shell, WebService{"web.test", 80});
  RecordingDlg& dlg = *m_dlg;
  ASSERT_EQ(dlg.OutBar()->GetFolder(0)->GetItemCount(), 4);
  ASSERT_TRUE(m_pool.Start());
  ASSERT_TRUE(m_service.Start(loopback::FreePort()));
  const std::string path = MakeFile("big.bin", 0);
  ASSERT_EQ(truncate(path.c_str(), 256 << 20), 0);
  ASSERT_FALSE(m_shares.ShareFile(path, "", FileShareRecord::kModePublic).empty());

  const int fd = loopback::Connect(m_service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "GET /download.htm?file=big.bin HTTP/1.0\r\n\r\n");
  dlg.show();
  dlg.ShowList(CTesselDlg::kViewTransfers, true);
  CTransfersView& list = *dlg.TransfersList();
  EXPECT_EQ(dlg.CurrentView(), CTesselDlg::kViewTransfers);
  CTransferModel& model = *list.Model();
  ASSERT_TRUE(ProcessUntil([&] {
    list.Refresh();
    return model.rowCount() == 1;
  }));
  EXPECT_EQ(Cell(model, 0, CTransferModel::kItem), "big.bin");
  EXPECT_EQ(Cell(model, 0, CTransferModel::kVisitor), "local (127.0.0.1)");
  // The client reads; the bytes shown follow.
  char buffer[1 << 16];
  for (std::size_t got = 0; got < (16u << 20);) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  EXPECT_TRUE(ProcessUntil([&] {
    list.Refresh();
    return ShownMiB(Cell(model, 0, CTransferModel::kBytes)) >= 16;
  })) << Cell(model, 0, CTransferModel::kBytes).toStdString();
  EXPECT_TRUE(Cell(model, 0, CTransferModel::kBytes).endsWith(" of 256 M"));

  list.selectionModel()->select(model.index(0, 0),
                                QItemSelectionModel::Select | QItemSelectionModel::Rows);
  list.setFocus();
  QTest::keyClick(&list, Qt::Key_Delete);
  // The client sees the connection end, and the row goes.
  timeval patience{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  ssize_t n = 0;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
  }
  EXPECT_TRUE(n == 0 || errno == ECONNRESET);
  close(fd);
  EXPECT_TRUE(ProcessUntil([&] {
    list.Refresh();
    return model.rowCount() == 0;
  }));
  m_service.Stop();
}

}  // namespace
}  // namespace tessel::test
