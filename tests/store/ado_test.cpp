#include <gtest/gtest.h>
#include <string>

#include "store/ADO.h"
#include "store/DataBasic.h"
#include "support/TempFolder.h"

namespace {

class AdoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tessel::CreateDatabaseFile(m_path, CDataBasic::CreationStatements()));
    ASSERT_TRUE(m_db.Open("Data Source=" + m_path, "", ""));
  }
  int Count(const std::string& where) {
    CADO::CADORecordset rs(m_db);
    int n = 0;
    for (rs.Open("select * from " + where); !rs.IsEOF(); rs.MoveNext()) ++n;
    return n;
  }

  TempFolder m_folder;
  std::string m_path = m_folder / "tessel.mdb";
  CADO::CADODatabase m_db;
};

TEST_F(AdoTest, ValuesRoundTripWithNullsQuotesAndTextAffinity) {
  CADO::CADORecordset rs(m_db);
  ASSERT_TRUE(rs.Open("  select * from fileshare"));
  EXPECT_TRUE(rs.IsEOF());
  ASSERT_TRUE(rs.AddNew());
  EXPECT_EQ(rs.GetEditStatus(), CADO::CADORecordset::kEditAdding);
  EXPECT_TRUE(rs.SetFieldValue("FileName", "it's 'q'"));
  EXPECT_TRUE(rs.SetFieldValue("filepath", "007"));
  EXPECT_TRUE(rs.SetFieldValue("filedesc", ""));
  EXPECT_TRUE(rs.SetFieldValue("sharemode", 7));
  EXPECT_FALSE(rs.SetFieldValue("nosuchcolumn", 1));
  ASSERT_TRUE(rs.Update());
  EXPECT_EQ(rs.GetEditStatus(), CADO::CADORecordset::kEditNone);
  EXPECT_FALSE(rs.SetFieldValue("filedesc", "x"));  // nothing pending

  ASSERT_TRUE(rs.Open("select * from fileshare where filename='" + SqlQuote("IT'S 'Q'") + "'"));
  ASSERT_FALSE(rs.IsEOF());
  std::string text = "stale";
  int number = -1;
  EXPECT_TRUE(rs.GetFieldValue("filename", text));
  EXPECT_EQ(text, "it's 'q'");
  EXPECT_TRUE(rs.GetFieldValue("filepath", text));
  EXPECT_EQ(text, "007");
  EXPECT_TRUE(rs.GetFieldValue("filedesc", text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(rs.GetFieldValue("uploader", number));
  EXPECT_EQ(number, 0);
  EXPECT_TRUE(rs.GetFieldValue("sharemode", text));
  EXPECT_EQ(text, "7");
  EXPECT_EQ(Count("fileshare where filedesc is null and uploader is null"), 1);
}

TEST_F(AdoTest, UpdateWithoutChangeAndFailedUpdateLeaveTableAlone) {
  CADO::CADORecordset rs(m_db);
  ASSERT_TRUE(rs.Open("select * from account where accountname='admin'"));
  EXPECT_TRUE(rs.Update());  // nothing pending
  rs.Edit();
  EXPECT_TRUE(rs.Update());  // nothing set
  EXPECT_EQ(Count("account where createtime = ''"), 2);

  // The key is unique whatever the letter case: the insert fails and changes nothing.
  ASSERT_TRUE(rs.AddNew());
  rs.SetFieldValue("accountname", "ADMIN");
  EXPECT_FALSE(rs.Update());
  EXPECT_EQ(rs.GetEditStatus(), CADO::CADORecordset::kEditNone);
  EXPECT_NE(rs.GetLastError(), 0);
  EXPECT_EQ(rs.GetLastErrorText().rfind("Query = select * from account", 0), 0u);
  EXPECT_NE(rs.GetLastErrorText().find("CADORecordset Error\n\tCode = 0000"), std::string::npos);
  EXPECT_EQ(Count("account"), 2);

  // A row removed through another connection since Open cannot be changed.
  CADO::CADODatabase other;
  ASSERT_TRUE(other.Open(m_path));
  ASSERT_TRUE(other.Execute("delete from account where accountname='admin'"));
  rs.Edit();
  rs.SetFieldValue("accountdesc", "x");
  EXPECT_FALSE(rs.Update());
  EXPECT_EQ(Count("account"), 1);
}

TEST_F(AdoTest, DialectAsTheStoresWriteIt) {
  EXPECT_TRUE(m_db.Execute("delete * from account where accountname='nobody'"));
  EXPECT_EQ(Count("account"), 2);
  EXPECT_TRUE(m_db.Execute("delete * from account where accountname='LOCAL'"));
  EXPECT_EQ(Count("account"), 1);
  EXPECT_TRUE(m_db.Execute("insert into fileshare(filename, uploader) values ('a''', 'bob')"));
  EXPECT_TRUE(m_db.Execute("delete from fileshare where filename='A'''and uploader='someone'"));
  EXPECT_EQ(Count("fileshare"), 1);
  EXPECT_TRUE(m_db.Execute("delete from fileshare where filename='A'''and uploader='BOB'"));
  EXPECT_EQ(Count("fileshare"), 0);
  for (const char* name : {"LOCALPORT", "LocalPort", "localport"}) {
    EXPECT_EQ(Count(std::string("config where paramname='") + name + "'"), 1) << name;
  }
  // One statement at a time: a second one is refused, not run.
  EXPECT_FALSE(m_db.Execute("delete from config where 1=0; delete from config"));
  CADO::CADORecordset rs(m_db);
  EXPECT_FALSE(rs.Open("select * from config; delete from config"));
  EXPECT_EQ(Count("config"), 5);
  // Results that cannot be written back are read-only.
  ASSERT_TRUE(rs.Open("pragma integrity_check"));
  EXPECT_FALSE(rs.AddNew());
}

TEST(AdoConnection, FailuresAreReportedAndCreateNothing) {
  TempFolder folder;
  CADO::CADODatabase db;
  EXPECT_FALSE(db.Open("Data Source=" + (folder / "missing.mdb")));
  EXPECT_FALSE(std::filesystem::exists(folder / "missing.mdb"));
  EXPECT_EQ(db.GetLastErrorText().rfind("Connection String = Data Source=" + folder.path(), 0), 0u);
  EXPECT_NE(db.GetLastErrorText().find("\nCADODataBase Error\n\tCode = "), std::string::npos);
  EXPECT_FALSE(db.Execute("delete from config"));

  FILE* junk = fopen((folder / "junk.mdb").c_str(), "w");
  fputs("this is not a database, just some text that is long enough for a header", junk);
  fclose(junk);
  EXPECT_FALSE(db.Open(folder / "junk.mdb"));
  EXPECT_FALSE(db.IsOpen());
  CADO::CADORecordset rs(db);
  EXPECT_FALSE(rs.Open("select * from config"));
  EXPECT_TRUE(rs.IsEOF());
}

// A connection keeps the statements of its latest queries; asking again must still give the
// file's present content, whoever changed it, and a kept statement must not hold the file.
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
