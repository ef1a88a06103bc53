// A connection keeps the statements of its latest queries; asking again must still give the
// file's present content, whoever changed it, and a kept statement must not hold the file.
#include <gtest/gtest.h>

#include <string>

#include "store/ADO.h"
#include "store/DataBasic.h"
#include "store/TempFolder.h"

namespace {

class StatementCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tessel::CreateDatabaseFile(m_path, CDataBasic::CreationStatements()));
    ASSERT_TRUE(m_reader.Open("Data Source=" + m_path));
    ASSERT_TRUE(m_writer.Open("Data Source=" + m_path));
  }
  std::string Param(CADO::CADODatabase& db, const std::string& name) {
    CADO::CADORecordset rs(db);
    std::string value = "missing";
    if (rs.Open("select * from config where paramname='" + name + "'") && !rs.IsEOF())
      rs.GetFieldValue("paramvalue", value);
    return value;
  }

  TempFolder m_folder;
  std::string m_path = m_folder / "tessel.mdb";
  CADO::CADODatabase m_reader;
  CADO::CADODatabase m_writer;
};

TEST_F(StatementCacheTest, RepeatedQueriesSeeEveryChange) {
  EXPECT_EQ(Param(m_reader, "localport"), "80");
  // Another connection changes the row, adds one and removes one between identical queries.
  ASSERT_TRUE(m_writer.Execute("update config set paramvalue='8080' where paramname='localport'"));
  EXPECT_EQ(Param(m_reader, "localport"), "8080");
  EXPECT_EQ(Param(m_reader, "extra"), "missing");
  ASSERT_TRUE(m_writer.Execute("insert into config values('extra', 'x')"));
  EXPECT_EQ(Param(m_reader, "extra"), "x");
  ASSERT_TRUE(m_writer.Execute("delete from config where paramname='extra'"));
  EXPECT_EQ(Param(m_reader, "extra"), "missing");

  // The same connection writes through a result set it opened with a kept statement.
  CADO::CADORecordset rs(m_reader);
  ASSERT_TRUE(rs.Open("select * from config where paramname='localport'"));
  rs.Edit();
  ASSERT_TRUE(rs.SetFieldValue("paramvalue", "81"));
  ASSERT_TRUE(rs.Update());
  ASSERT_TRUE(rs.Open("select * from config where paramname='localport'"));
  std::string value;
  ASSERT_TRUE(rs.GetFieldValue("paramvalue", value));
  EXPECT_EQ(value, "81");
  EXPECT_EQ(Param(m_writer, "localport"), "81");
}

TEST_F(StatementCacheTest, KeptStatementsHoldNoLockAndFollowTheSchema) {
  // More distinct queries than are kept, then the first ones again.
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 60; ++i) EXPECT_EQ(Param(m_reader, "p" + std::to_string(i)), "missing");

  // A writer that needs the whole file (a checkpoint truncating the log) is not held up by the
  // statements the reader keeps.
  ASSERT_TRUE(m_writer.Execute("insert into config values('p1', 'one')"));
  EXPECT_EQ(Param(m_reader, "p1"), "one");
  CADO::CADORecordset checkpoint(m_writer);
  ASSERT_TRUE(checkpoint.Open("PRAGMA wal_checkpoint(TRUNCATE)"));
  int busy = -1;
  ASSERT_TRUE(checkpoint.GetFieldValue("busy", busy));
  EXPECT_EQ(busy, 0);

  // A table changed by another connection: the kept statement is prepared again.
  ASSERT_TRUE(m_writer.Execute("alter table config add column note Varchar(20)"));
  ASSERT_TRUE(m_writer.Execute("update config set note='n' where paramname='p1'"));
  CADO::CADORecordset rs(m_reader);
  ASSERT_TRUE(rs.Open("select * from config where paramname='p1'"));
  std::string note;
  EXPECT_TRUE(rs.GetFieldValue("note", note));
  EXPECT_EQ(note, "n");

  // Failures are not kept: a bad query fails each time, and closing drops what is kept.
  EXPECT_FALSE(rs.Open("select * from nosuchtable"));
  EXPECT_FALSE(rs.Open("select * from nosuchtable"));
  EXPECT_FALSE(rs.Open("select 1; select 2"));
  rs.Close();
  m_reader.Close();
  ASSERT_TRUE(m_reader.Open(""));
  EXPECT_EQ(Param(m_reader, "p1"), "one");
}

}  // namespace
