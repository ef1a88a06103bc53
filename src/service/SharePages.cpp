#include "service/SharePages.h"

#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

#include "base/AsciiText.h"
#include "base/HtmlText.h"
#include "base/PathText.h"
#include "base/UrlCodec.h"
#include "res/PageTemplate.h"
#include "res/Resources.h"
#include "res/StringTable.h"
#include "service/Connection.h"
#include "service/FolderListing.h"
#include "service/PageStream.h"
#include "store/SizeText.h"

namespace {

namespace res = tessel::res;

constexpr std::string_view kShown = "yes";
constexpr std::string_view kHidden = "none";
// A shown zip link on folder pages.
constexpr std::string_view kShownInFolder = "";

// What fills one row, unescaped.
struct RowValues {
  std::string no;
  std::string url;
  std::string name;
  std::string size;
  std::string date;
  std::string_view action;
  std::string_view folder;
};

enum Slot { kNo, kUrl, kName, kSize, kDate, kAction, kFolder, kSlotCount };
constexpr std::array<std::string_view, kSlotCount> kSlotNames = {
    res::kRowNo,       res::kRowFileUrl,       res::kRowFileName,      res::kRowFileSize,
    res::kRowFileDate, res::kRowActionDisplay, res::kRowFolderDisplay,
};

std::string_view ValueOf(const RowValues& row, int slot) {
  switch (slot) {
    case kNo:
      return row.no;
    case kUrl:
      return row.url;
    case kName:
      return row.name;
    case kSize:
      return row.size;
    case kDate:
      return row.date;
    case kAction:
      return row.action;
    default:
      return row.folder;
  }
}

// Every occurrence of from replaced by to, in one pass.
void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  std::size_t at = text.find(from);
  if (at == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  std::size_t done = 0;
  for (; at != std::string::npos; at = text.find(from, done)) {
    out.append(text, done, at - done);
    out += to;
    done = at + from.size();
  }
  out.append(text, done);
  text = std::move(out);
}

// The sample row cut into literal text and placeholders once per page, so that filling a row
// appends values without searching, and nothing that comes from a name is ever searched for
// placeholders.
class RowTemplate {
 public:
  explicit RowTemplate(std::string text) : m_text(std::move(text)) {
    std::size_t literal = 0;
    for (std::size_t at = m_text.find("##"); at != std::string::npos;) {
      int slot = 0;
      while (slot < kSlotCount &&
             m_text.compare(at, kSlotNames[slot].size(), kSlotNames[slot]) != 0)
        ++slot;
      if (slot == kSlotCount) {
        at = m_text.find("##", at + 1);
        continue;
      }
      m_parts.push_back({literal, at - literal, -1});
      m_parts.push_back({0, 0, slot});
      literal = at + kSlotNames[slot].size();
      at = m_text.find("##", literal);
    }
    m_parts.push_back({literal, m_text.size() - literal, -1});
  }

  void AppendTo(std::string& out, const RowValues& row) const {
    for (const Part& part : m_parts) {
      if (part.slot < 0)
        out.append(m_text, part.offset, part.length);
      else
        tessel::AppendHtmlEscaped(out, ValueOf(row, part.slot));
    }
  }

 private:
  struct Part {
    std::size_t offset;
    std::size_t length;
    int slot;  // -1: the literal text at offset
  };
  std::string m_text;
  std::vector<Part> m_parts;
};

// Removes the first section that begins with start and ends with end, both included.
void EraseSection(std::string& page, std::string_view start, std::string_view end) {
  const std::size_t first = page.find(start);
  if (first == std::string::npos) return;
  const std::size_t last = page.find(end, first + start.size());
  if (last == std::string::npos) return;
  page.erase(first, last + end.size() - first);
}

std::string SampleRowOf(const std::string& page) {
  const std::size_t start = page.find(res::kSampleStart);
  const std::size_t end = page.find(res::kSampleEnd);
  if (start == std::string::npos || end == std::string::npos ||
      end < start + res::kSampleStart.size())
    return {};
  const std::size_t first = start + res::kSampleStart.size();
  return page.substr(first, end - first);
}

// One page in the making: the template with its labels and display values filled and the sample
// row taken out is sent up to the list marker; rows follow as they are made, and the rest of the
// template, marker included, ends the page. Nothing is searched again once rows come.
class PageBuilder {
 public:
  PageBuilder(CPageStream& out, bool authenticated, bool allow_upload)
      : m_out(out),
        m_rest(PreparedTemplate(authenticated, allow_upload, m_sample)),
        m_row(m_sample),
        m_uploaded_row(UploadedRow(m_sample)) {
    std::size_t marker = m_rest.find(res::kSharedFileList);
    // Without a marker there is no place for rows.
    m_has_list = marker != std::string::npos;
    if (!m_has_list) marker = m_rest.size();
    m_out.Append(std::string_view(m_rest).substr(0, marker));
    m_rest.erase(0, marker);
  }

  // uploaded: the item came from an upload, and shows the upload image instead of the share one.
  void AddRow(const RowValues& row, bool uploaded = false) {
    if (!m_has_list) return;
    std::string& text = m_out.Text();
    (uploaded ? m_uploaded_row : m_row).AppendTo(text, row);
    text += "\r\n";
    m_out.Flow();
  }

  // Whether the rest is still wanted: false once the client has gone.
  bool Wanted() const { return !m_out.Failed(); }

  // Ends the page: what became of it.
  ReplyOutcome Finish() {
    m_out.Append(m_rest);
    const bool sent = m_out.Finish();
    return {200, m_out.BodySent(), sent};
  }

 private:
  static std::string PreparedTemplate(bool authenticated, bool allow_upload, std::string& sample) {
    std::string page(res::Find(res::kPageTemplateName));
    // A visitor without the upload form loads nothing of the upload panel.
    if (!(authenticated && allow_upload))
      EraseSection(page, res::kUploadOnlyStart, res::kUploadOnlyEnd);
    for (const res::PageLabel& label : res::kPageLabels)
      ReplaceAll(page, label.placeholder, res::String(label.id));
    sample = SampleRowOf(page);
    ReplaceAll(page, res::kLoginDisplay, authenticated ? kHidden : kShown);
    ReplaceAll(page, res::kUploadDisplay, authenticated && allow_upload ? kShown : kHidden);
    ReplaceAll(page, res::kLogoffDisplay, authenticated ? kShown : kHidden);
    ReplaceAll(page, sample, "");
    return page;
  }

  static std::string UploadedRow(std::string row) {
    ReplaceAll(row, "share.gif", "upload.gif");
    return row;
  }

  CPageStream& m_out;
  std::string m_sample;  // declared before the template, which is cut from it
  std::string m_rest;    // the template from the list marker on
  RowTemplate m_row;
  RowTemplate m_uploaded_row;
  bool m_has_list = false;
};

// The reply's head: the same page goes out compressed or not, so caches must tell them apart.
// A page's length is known only once it is sent: on a connection that goes on, it is chunked.
std::string PageHead(const CConnection& connection, bool gzip) {
  CReplyHead head(connection.ReplyVersion(), 200, "OK");
  head.Add("Vary", "Accept-Encoding");
  if (gzip) head.Add("Content-Encoding", "gzip");
  if (connection.KeepAlive()) head.Add("Transfer-Encoding", "chunked");
  return std::move(head.Finish());
}

// Writes the time as pages show it into text, reusing its storage.
void SetTimeText(std::string& text, std::time_t time) {
  std::tm local{};
  char buffer[32] = {};
  if (localtime_r(&time, &local) != nullptr)
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  text.assign(buffer);
}

}  // namespace

bool CSharePages::ZipEnabled() const {
  return std::strtol(m_settings.GetParam("EnableZipFolder").c_str(), nullptr, 10) != 0;
}

ReplyOutcome CSharePages::SendShareListPage(CConnection& connection,
                                            const std::string& account_name, bool authenticated,
                                            bool allow_upload, bool allow_delete, bool gzip) const {
  std::vector<std::string> names, paths, uploaders;
  const int count = m_shares.ListShareNames(names, paths, uploaders, authenticated);
  const bool zip = ZipEnabled();
  CPageStream out(connection, PageHead(connection, gzip), gzip);
  PageBuilder page(out, authenticated, allow_upload);
  int number = 0;
  RowValues row;
  for (int i = 0; i < count && page.Wanted(); ++i) {
    struct stat info {};
    // A share whose path has vanished gets no row and no number.
    if (stat(paths[i].c_str(), &info) != 0) continue;
    const bool folder = S_ISDIR(info.st_mode);
    const bool uploaded = !uploaders[i].empty();
    row.no = std::to_string(++number);
    row.url = tessel::UrlEncode(names[i]);
    row.name = folder ? std::string_view(names[i]) : tessel::LastComponent(paths[i]);
    row.size = FormatSize(folder ? 0 : static_cast<int64_t>(info.st_size));
    SetTimeText(row.date, info.st_mtime);
    row.action = authenticated && allow_delete && uploaded &&
                         tessel::EqualsNoCase(uploaders[i], account_name)
                     ? kShown
                     : kHidden;
    row.folder = folder && zip ? kShown : kHidden;
    page.AddRow(row, uploaded);
  }
  return page.Finish();
}

ReplyOutcome CSharePages::SendFolderPage(CConnection& connection, const std::string& local_path,
                                         const std::string& relative_name, bool authenticated,
                                         bool allow_upload, bool gzip) const {
  CPageStream out(connection, PageHead(connection, gzip), gzip);
  PageBuilder page(out, authenticated, allow_upload);
  const CShareBoundary boundary = m_shares.GetShareBoundary(relative_name);
  const std::shared_ptr<const CFolderListing> listing = m_listings.Get(local_path, boundary);
  if (!listing) return page.Finish();

  const std::string_view zip_link = ZipEnabled() ? kShownInFolder : kHidden;
  // The parent of a share's top folder is the home page, written "/".
  const std::size_t cut = relative_name.rfind('\\');
  const std::string parent = cut == std::string::npos ? "/" : relative_name.substr(0, cut);
  struct stat parent_info {};
  stat((local_path + "/..").c_str(), &parent_info);
  int number = 0;
  RowValues row;
  row.no = std::to_string(++number);
  row.url = tessel::UrlEncode(parent);
  row.name = "..";
  row.size = FormatSize(0);
  SetTimeText(row.date, parent_info.st_mtime);
  row.action = kHidden;
  row.folder = parent == "/" ? kHidden : zip_link;
  page.AddRow(row);

  for (const FolderItem& item : listing->Items()) {
    if (!page.Wanted()) break;
    row.no = std::to_string(++number);
    row.url = tessel::UrlEncode(relative_name + "\\" + item.name);
    row.name = item.name;
    row.size = FormatSize(static_cast<int64_t>(item.size));
    SetTimeText(row.date, item.last_write);
    row.folder = item.is_folder ? zip_link : kHidden;
    page.AddRow(row);
  }
  return page.Finish();
}
