#include "base/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf8, StrictDecodingTellsInvalidBytesApart) {
  struct Case {
    std::string text;
    bool valid;
    std::string replaced;
  };
  const Case cases[] = {
      {"plain.txt", true, "plain.txt"},
      {"\xC3\xA9t\xC3\xA9", true, "\xC3\xA9t\xC3\xA9"},                 // été
      {"\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80"},                   // U+1F600
      {"caf\xE9", false, "caf\xEF\xBF\xBD"},                            // Latin-1
      {"\xC0\xAF", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong "/"
      {"\xED\xA0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xF4\x90\x80\x80", false,
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
      {"ab\xE2\x82", false, "ab\xEF\xBF\xBD\xEF\xBF\xBD"},   // cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(tessel::IsValidUtf8(c.text), c.valid);
    const std::string replaced = tessel::ReplaceInvalidUtf8(c.text);
    EXPECT_TRUE(tessel::IsValidUtf8(replaced));
    EXPECT_EQ(replaced, c.replaced);
  }
  std::size_t pos = 0;
  EXPECT_EQ(tessel::NextCodePoint("\xE9x", pos), tessel::kInvalidCodePoint + 0xE9);
  EXPECT_EQ(pos, 1u);
}

TEST(Utf8, SafeNamesHaveNoControlsAndNoBidiOverrides) {
  const std::pair<std::string, std::string> cases[] = {
      {"report.pdf", "report.pdf"},
      {"invoice\xE2\x80\xAEgpj.exe", "invoice_gpj.exe"},  // U+202E
      {"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD", "____"},
      {"\xE2\x81\xA6\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9", "____"},  // isolates
      {"\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C", "___"},                   // marks, Arabic letter mark
      {"tab\there\x1B[31m\x7F", "tab_here_[31m_"},
      {"c1\xC2\x85", "c1_"},
      {"\xE2\x80\x8D joiner stays", "\xE2\x80\x8D joiner stays"},  // U+200D is no override
      {"bad\xFF", "bad\xEF\xBF\xBD"},
      {"\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D.txt", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D.txt"},  // Hebrew
  };
  for (const auto& [name, safe] : cases) EXPECT_EQ(tessel::SafeName(name), safe) << name;
}

}  // namespace
