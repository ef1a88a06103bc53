#include "res/StringTable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "res/PageTemplate.h"
#include "res/Resources.h"

namespace {

using tessel::res::Language;

TEST(StringTable, ParsesEntriesEscapesAndReportsBadLines) {
  std::vector<int> bad;
  CStringTable table = CStringTable::Parse(
      "# comment\n"
      "\n"
      "1\tplain text\r\n"
      "2\t two\\nlines\\tand\\\\tab\\s\n"
      "3\tC:\\data keeps an unknown escape\\\n"
      "4\t\n"
      "no id\n"
      "5 missing tab\n"
      "x6\tnot a number\n"
      "-7\tnegative\n"
      "1\tduplicate\n"
      "8\tlast line without newline",
      &bad);
  ASSERT_NE(table.Find(1), nullptr);
  EXPECT_EQ(*table.Find(1), "plain text");
  EXPECT_EQ(*table.Find(2), " two\nlines\tand\\tab ");
  EXPECT_EQ(*table.Find(3), "C:\\data keeps an unknown escape\\");
  EXPECT_EQ(*table.Find(4), "");
  EXPECT_EQ(*table.Find(8), "last line without newline");
  EXPECT_EQ(table.Find(5), nullptr);
  EXPECT_EQ(table.Find(9), nullptr);
  EXPECT_EQ(table.Ids(), (std::vector<int>{1, 2, 3, 4, 8}));
  EXPECT_EQ(bad, (std::vector<int>{7, 8, 9, 10, 11}));
}

TEST(StringTable, ShippedTablesAreCompleteAndSafeForThePage) {
  for (const char* name : {"strings-en.txt", "strings-zh.txt"}) {
    std::vector<int> bad;
    CStringTable::Parse(tessel::res::Find(name), &bad);
    EXPECT_TRUE(bad.empty()) << name << " has malformed lines, the first is " << bad.front();
  }
  const CStringTable& english = tessel::res::Table(Language::kEnglish);
  const CStringTable& chinese = tessel::res::Table(Language::kChinese);
  EXPECT_EQ(english.Ids(), chinese.Ids()) << "every entry needs both languages";

  for (const auto& label : tessel::res::kPageLabels) {
    for (Language language : {Language::kEnglish, Language::kChinese}) {
      const std::string& text = tessel::res::String(label.id, language);
      SCOPED_TRACE(std::string(label.placeholder) + ": " + text);
      EXPECT_FALSE(text.empty());
      // Labels go into the page unescaped, one of them into an attribute whose value the
      // browser sends back, the upload panel's into JSON strings; and a label must not bring
      // back a placeholder.
      EXPECT_EQ(text.find_first_of("<>&\"\\\r\n"), std::string::npos);
      EXPECT_EQ(text.find("IDS_HTML_"), std::string::npos);
      EXPECT_EQ(text.find("##"), std::string::npos);
    }
  }
  // The upload panel's script puts the numbers in.
  for (Language language : {Language::kEnglish, Language::kChinese}) {
    const std::string& count = tessel::res::String(tessel::res::IDS_HTML_UP_COUNT, language);
    EXPECT_NE(count.find("%1"), std::string::npos) << count;
    EXPECT_NE(count.find("%2"), std::string::npos) << count;
  }
  EXPECT_EQ(tessel::res::String(162, Language::kEnglish), "Tessel");
  EXPECT_EQ(tessel::res::String(171, Language::kEnglish), "Upload");
  EXPECT_EQ(tessel::res::String(176, Language::kEnglish), "Share");
  EXPECT_EQ(tessel::res::String(177, Language::kEnglish), "Auth");
  // The build fills in the web-service host.
  const std::string& url = tessel::res::String(tessel::res::IDS_HTML_PRODUCT_URL);
  EXPECT_TRUE(url.starts_with("http://")) << url;
  EXPECT_EQ(url.find('@'), std::string::npos) << url;
}

TEST(StringTable, LanguageSelection) {
  tessel::res::SetLanguage(Language::kChinese);
  EXPECT_EQ(tessel::res::CurrentLanguage(), Language::kChinese);
  EXPECT_EQ(tessel::res::String(tessel::res::IDS_HTML_HOME), "首页");
  EXPECT_EQ(tessel::res::String(tessel::res::IDS_HTML_UPLOAD), "上传");
  tessel::res::SetLanguage(Language::kEnglish);
  EXPECT_EQ(tessel::res::String(tessel::res::IDS_HTML_HOME), "Home");
  EXPECT_EQ(tessel::res::String(tessel::res::IDS_HTML_HOME, Language::kChinese), "首页");

  // An unknown id is empty, in either language, and the reference stays valid.
  const std::string& missing = tessel::res::String(99999);
  EXPECT_EQ(missing, "");
  EXPECT_EQ(&missing, &tessel::res::String(99999, Language::kChinese));
}

class LocaleEnvironment : public ::testing::Test {
 protected:
  static constexpr const char* kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  void SetUp() override {
    for (int i = 0; i < 3; ++i) {
      const char* value = std::getenv(kNames[i]);
      if (value) m_saved[i] = value;
    }
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) Set(kNames[i], m_saved[i] ? m_saved[i]->c_str() : nullptr);
  }
  static void Set(const char* name, const char* value) {
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  static Language With(const char* all, const char* messages, const char* lang) {
    Set("LC_ALL", all);
    Set("LC_MESSAGES", messages);
    Set("LANG", lang);
    return tessel::res::LocaleLanguage();
  }
  std::optional<std::string> m_saved[3];
};

TEST_F(LocaleEnvironment, FirstNonEmptyVariableDecides) {
  EXPECT_EQ(With(nullptr, nullptr, nullptr), Language::kEnglish);
  EXPECT_EQ(With(nullptr, nullptr, "zh_CN.UTF-8"), Language::kChinese);
  EXPECT_EQ(With(nullptr, "zh_TW.UTF-8", "en_US.UTF-8"), Language::kChinese);
  EXPECT_EQ(With("", "", "zh_CN.UTF-8"), Language::kChinese);  // empty counts as unset
  EXPECT_EQ(With("en_GB.UTF-8", "zh_CN.UTF-8", "zh_CN.UTF-8"), Language::kEnglish);
  EXPECT_EQ(With("C", nullptr, "zh_CN.UTF-8"), Language::kEnglish);
  EXPECT_EQ(With("zh", nullptr, nullptr), Language::kChinese);
}

}  // namespace
