#include "res/PageTemplate.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "res/Resources.h"
#include "res/StringTable.h"

namespace {

std::string Template() {
  return std::string(tessel::res::Find(tessel::res::kPageTemplateName));
}

size_t Count(std::string_view text, std::string_view piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string_view::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

// Each piece must follow the one before it; reports the first that does not.
void ExpectInOrder(std::string_view text, const std::vector<std::string_view>& pieces) {
  size_t at = 0;
  for (std::string_view piece : pieces) {
    size_t found = text.find(piece, at);
    ASSERT_NE(found, std::string_view::npos) << "missing or out of order: " << piece;
    at = found + piece.size();
  }
}

std::string Between(const std::string& text, std::string_view begin, std::string_view end) {
  size_t from = text.find(begin);
  size_t to = from == std::string::npos ? from : text.find(end, from + begin.size());
  if (to == std::string::npos) return {};
  return text.substr(from + begin.size(), to - from - begin.size());
}

TEST(PageTemplate, HoldsEveryPartInOrder) {
  const std::string page = Template();
  ASSERT_FALSE(page.empty());
  ExpectInOrder(
      page,
      {
          "<meta charset=\"utf-8\">",
          "<meta name=\"viewport\"",
          "<title>Tessel</title>",
          "<style>",
          "</head>",
          "IDS_HTML_PRODUCT_TITLE",
          "<a href=\"/\">",
          "src=\"images/home.gif\"",
          "IDS_HTML_HOME</a>",
          "<a href=\"/index.htm\" style=\"display:##LoginDisplay##;\">",
          "src=\"images/login.gif\"",
          "IDS_HTML_LOGIN</a>",
          "<a href=\"/logout.htm\" style=\"display:##LogoffDisplay##;\">",
          "src=\"images/logoff.gif\"",
          "IDS_HTML_LOGOUT</a>",
          "<table",
          "IDS_HTML_NO",
          "IDS_HTML_FILE_NAME",
          "IDS_HTML_FILE_SIZE",
          "></th>",
          "IDS_HTML_FILE_TIME",
          "href=\"IDS_HTML_PRODUCT_URL\"",  // the fixed row
          tessel::res::kSampleStart,
          "##No##",
          "<a href=\"download.htm?file=##FileURL##\">",
          // Icons load as the reader scrolls to them, in a box of their size so rows never jump.
          "<img src=\"download.htm?file=##FileURL##&icon=1\" width=\"16\" height=\"16\" alt=\"\" "
          "loading=\"lazy\">",
          "<a href=\"download.htm?file=##FileURL##\">##FileName##</a>",
          "<a href=\"download.htm?file=##FileURL##&zip=1\" style=\"display:##FolderDisplay##\">",
          "src=\"images/zip.gif\"",
          "style=\"display:##ActionDisplay##\">",
          "<a href=\"remove.htm?file=##FileURL##\">",
          "src=\"images/remove.gif\"",
          "##FileSize## Bytes&nbsp;",
          "src=\"images/share.gif\"",
          "##FileDate##&nbsp;",
          tessel::res::kSampleEnd,
          tessel::res::kSharedFileList,
          "style=\"display:##UploadDisplay##\"",
          "<form",
          "</form>",
          "</table>",
          "<a href=\"IDS_HTML_PRODUCT_URL\">Powered by Tessel</a>",
      });

  // Markers and page placeholders are found by their first occurrence; a second copy would
  // confuse the renderer. share.gif is swapped for upload.gif in rows, so only the row has it.
  for (std::string_view once :
       {tessel::res::kSampleStart, tessel::res::kSampleEnd, tessel::res::kSharedFileList,
        tessel::res::kLoginDisplay, tessel::res::kLogoffDisplay, tessel::res::kUploadDisplay,
        std::string_view("share.gif"), std::string_view("<form"), std::string_view("<table")}) {
    EXPECT_EQ(Count(page, once), 1u) << once;
  }

  // Images that the display values may hide are never fetched while hidden.
  for (std::string_view image : {"login", "logoff", "zip", "remove", "upload"}) {
    const std::string tag = "<img src=\"images/" + std::string(image) + ".gif\"";
    const std::size_t at = page.find(tag);
    ASSERT_NE(at, std::string::npos) << image;
    EXPECT_NE(page.substr(at, page.find('>', at) - at).find(" loading=\"lazy\""), std::string::npos)
        << image;
  }

  // The header row: number, name, size, an empty cell, time.
  std::string header = Between(page, "<thead>", "</thead>");
  EXPECT_EQ(Count(header, "<th"), 5u);
  ExpectInOrder(header, {"IDS_HTML_NO</th>", "IDS_HTML_FILE_NAME</th>", "IDS_HTML_FILE_SIZE</th>",
                         "></th>", "IDS_HTML_FILE_TIME</th>"});
}

TEST(PageTemplate, PlaceholdersAreExactlyTheKnownOnes) {
  const std::string page = Template();
  std::set<std::string> labels;
  const std::regex label("IDS_HTML_[A-Z_]+");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), label);
       it != std::sregex_iterator(); ++it)
    labels.insert(it->str());
  std::set<std::string> known;
  for (const auto& entry : tessel::res::kPageLabels) known.insert(std::string(entry.placeholder));
  EXPECT_EQ(labels, known);

  // The row, as the renderer cuts it out, carries every row placeholder; the rest of the page
  // carries none of them.
  std::string row = Between(page, tessel::res::kSampleStart, tessel::res::kSampleEnd);
  std::string rest = page;
  rest.erase(rest.find(row), row.size());
  for (std::string_view placeholder :
       {tessel::res::kRowNo, tessel::res::kRowFileUrl, tessel::res::kRowFileName,
        tessel::res::kRowFileSize, tessel::res::kRowFileDate, tessel::res::kRowActionDisplay,
        tessel::res::kRowFolderDisplay}) {
    EXPECT_GE(Count(row, placeholder), 1u) << placeholder;
    EXPECT_EQ(Count(rest, placeholder), 0u) << placeholder;
  }

  // Filling every label (in the given order) and every placeholder leaves no "##" but the three
  // marker comments, and no label name: a misspelt placeholder would survive here.
  for (auto language : {tessel::res::Language::kEnglish, tessel::res::Language::kChinese}) {
    std::string filled = page;
    for (const auto& entry : tessel::res::kPageLabels) {
      const std::string& text = tessel::res::String(entry.id, language);
      for (size_t at = filled.find(entry.placeholder); at != std::string::npos;
           at = filled.find(entry.placeholder, at + text.size()))
        filled.replace(at, entry.placeholder.size(), text);
    }
    EXPECT_EQ(filled.find("IDS_HTML_"), std::string::npos);
    for (std::string_view placeholder :
         {tessel::res::kLoginDisplay, tessel::res::kLogoffDisplay, tessel::res::kUploadDisplay,
          tessel::res::kRowNo, tessel::res::kRowFileUrl, tessel::res::kRowFileName,
          tessel::res::kRowFileSize, tessel::res::kRowFileDate, tessel::res::kRowActionDisplay,
          tessel::res::kRowFolderDisplay}) {
      for (size_t at = filled.find(placeholder); at != std::string::npos;
           at = filled.find(placeholder, at))
        filled.replace(at, placeholder.size(), "v");
    }
    EXPECT_EQ(Count(filled, "##"), 10u);
    EXPECT_NE(filled.find("value=\"" + tessel::res::String(tessel::res::IDS_HTML_UPLOAD, language) +
                          "\""),
              std::string::npos);
  }
}

// Labels are replaced one after the other over the whole page: a name replaced before a longer
// one that begins with it would leave the longer one's rest behind.
TEST(PageTemplate, NoLabelIsReplacedBeforeALongerOneItBegins) {
  const auto& labels = tessel::res::kPageLabels;
  for (std::size_t i = 0; i < std::size(labels); ++i)
    for (std::size_t j = i + 1; j < std::size(labels); ++j)
      EXPECT_FALSE(labels[j].placeholder.starts_with(labels[i].placeholder))
          << labels[i].placeholder << " comes before " << labels[j].placeholder;
}

// The upload panel's section sits in the head, once, and holds its script, its stylesheet and
// its texts; nothing else of the page is in it.
TEST(PageTemplate, UploadOnlySectionHoldsThePanelsFiles) {
  const std::string page = Template();
  EXPECT_EQ(Count(page, tessel::res::kUploadOnlyStart), 1u);
  EXPECT_EQ(Count(page, tessel::res::kUploadOnlyEnd), 1u);
  ExpectInOrder(
      page, {"</style>", tessel::res::kUploadOnlyStart, tessel::res::kUploadOnlyEnd, "</head>"});
  const std::string section =
      Between(page, tessel::res::kUploadOnlyStart, tessel::res::kUploadOnlyEnd);
  ExpectInOrder(section, {"<link rel=\"stylesheet\" href=\"images/upload.css\">",
                          "<script src=\"images/upload.js\" defer></script>",
                          "<script type=\"application/json\" id=\"upload-texts\">{", "}</script>"});
  // Every text of the panel, and nothing but labels, as JSON string values.
  const std::regex value(R"re("[a-zA-Z]+": "([^"]*)")re");
  std::set<std::string> placeholders;
  for (auto it = std::sregex_iterator(section.begin(), section.end(), value);
       it != std::sregex_iterator(); ++it)
    placeholders.insert((*it)[1].str());
  for (const auto& entry : tessel::res::kPageLabels) {
    if (entry.placeholder.starts_with("IDS_HTML_UP_")) {
      EXPECT_EQ(placeholders.count(std::string(entry.placeholder)), 1u) << entry.placeholder;
    }
  }
  for (const std::string& placeholder : placeholders)
    EXPECT_TRUE(placeholder.starts_with("IDS_HTML_")) << placeholder;
}

// The upload receiver finds the file's length from the tail a browser sends for this form: the
// file part, then "submit" with the label, then "fm_Share". Any other field, or another order,
// would corrupt uploaded files.
TEST(PageTemplate, UploadFormSendsFileThenSubmitThenShareChoice) {
  const std::string page = Template();
  std::string form = Between(page, "<form", "</form>");
  ASSERT_FALSE(form.empty());
  std::string form_tag = form.substr(0, form.find('>'));
  EXPECT_NE(form_tag.find("method=\"post\""), std::string::npos);
  EXPECT_NE(form_tag.find("action=\"/upload\""), std::string::npos);
  EXPECT_NE(form_tag.find("enctype=\"multipart/form-data\""), std::string::npos);

  // Every control of the page, in document order.
  const std::regex control("<(input|select|textarea|button)\\b[^>]*>", std::regex::icase);
  std::vector<std::string> controls;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), control);
       it != std::sregex_iterator(); ++it)
    controls.push_back(it->str());
  ASSERT_EQ(controls.size(), 3u);
  EXPECT_NE(form.find(controls[0]), std::string::npos);
  EXPECT_NE(form.find(controls[2]), std::string::npos);
  EXPECT_NE(controls[0].find("type=\"file\""), std::string::npos);
  EXPECT_NE(controls[0].find("name=\"fm_objFile\""), std::string::npos);
  EXPECT_NE(controls[1].find("type=\"submit\""), std::string::npos);
  EXPECT_NE(controls[1].find("name=\"submit\""), std::string::npos);
  EXPECT_NE(controls[1].find("value=\"IDS_HTML_UPLOAD\""), std::string::npos);
  EXPECT_EQ(controls[2], "<select name=\"fm_Share\">");
  for (const std::string& tag : controls) {
    EXPECT_EQ(tag.find(" form="), std::string::npos) << tag;
    EXPECT_EQ(tag.find("multiple"), std::string::npos) << tag;
  }

  ExpectInOrder(form, {"src=\"images/upload.gif\"", "IDS_HTML_UPLOAD_FILE", "name=\"fm_objFile\"",
                       "name=\"submit\"", "IDS_HTML_SHARE_TYPE", "name=\"fm_Share\"",
                       "<option value=\"1\">IDS_HTML_SHARE</option>",
                       "<option value=\"0\">IDS_HTML_AUTH</option>", "</select>"});
  std::string select = Between(form, "<select", "</select>");
  EXPECT_EQ(Count(select, "<option"), 2u);
  EXPECT_EQ(select.find("selected"), std::string::npos);  // the first option, 1, is the default
}

}  // namespace
