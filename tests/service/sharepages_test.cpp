// The share list and folder pages as a browser receives them.
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <zlib.h>

#include <ctime>
#include <fstream>
#include <iostream>
#include <regex>
#include <thread>

#include "res/StringIds.h"
#include "res/StringTable.h"
#include "service/WebFixture.h"

namespace {

using web::BasicAuth;
using web::kAdmin;
using web::kStranger;
using web::Split;
using namespace std::chrono_literals;

// One generated row, its values as they stand in the page.
struct Row {
  std::string no, url, name, size, date, action, folder, image;
};

std::string Capture(const std::string& text, const char* pattern) {
  std::smatch match;
  return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : "<missing>";
}

// The generated rows: the sample row is gone, so every row with a number cell is one.
std::vector<Row> RowsOf(const std::string& page) {
  std::vector<Row> rows;
  for (std::size_t at = page.find("<td class=\"no\">"); at != std::string::npos;
       at = page.find("<td class=\"no\">", at + 1)) {
    const std::string row = page.substr(at, page.find("</tr>", at) - at);
    rows.push_back({
        Capture(row, R"re(<td class="no">([^<]*)</td>)re"),
        Capture(row, R"re(<a href="download\.htm\?file=([^"]*)">[^<]*</a>)re"),
        Capture(row, R"re(<a href="download\.htm\?file=[^"]*">([^<]*)</a>)re"),
        Capture(row, R"re(<td class="size">(.*) Bytes&nbsp;</td>)re"),
        Capture(row, R"re(<td class="time">(.*)&nbsp;</td>)re"),
        Capture(row, R"re(<td class="act" style="display:([^"]*)">)re"),
        Capture(row, R"re(&zip=1" style="display:([^"]*)">)re"),
        Capture(row, R"re(<td class="type"><img src="images/([a-z]*\.gif)")re"),
    });
  }
  return rows;
}

// The display values of the login and logout links and of the upload form.
std::string Bar(const std::string& page) {
  return Capture(page, R"re(href="/index.htm" style="display:([^;]*);")re") + " " +
         Capture(page, R"re(href="/logout.htm" style="display:([^;]*);")re") + " " +
         Capture(page, R"re(<tr class="upload" style="display:([^"]*)")re");
}

std::vector<std::string> Column(const std::vector<Row>& rows, std::string Row::*field) {
  std::vector<std::string> values;
  for (const Row& row : rows) values.push_back(row.*field);
  return values;
}

using Texts = std::vector<std::string>;

// A time stamp in local time, and the same as the pages write it.
std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return std::mktime(&fields);
}

void SetWriteTime(const std::string& path, std::time_t time) {
  timeval times[2] = {{time, 0}, {time, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0);
}

const std::string kPageHead = "HTTP/1.0 200 OK\r\nVary: Accept-Encoding\r\n\r\n";
// A page made for a logged-in visitor (127.0.0.1 is one) is for that visitor alone.
const std::string kPrivatePageHead =
    "HTTP/1.0 200 OK\r\nVary: Accept-Encoding\r\nCache-Control: private\r\n\r\n";
const std::string kPrivateGzipPageHead =
    "HTTP/1.0 200 OK\r\nVary: Accept-Encoding\r\nCache-Control: private\r\n"
    "Content-Encoding: gzip\r\n\r\n";

// The content of a gzip stream, or "<not gzip>" when it is not one whole stream.
std::string Gunzip(const std::string& data) {
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return "<not gzip>";
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buffer[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  const bool whole = result == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return whole ? out : "<not gzip>";
}

// Resident memory of this process, in bytes.
std::size_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  return 0;
}

class Pages : public web::WebFixture {
 protected:
  // The page at target, checked to be a whole page.
  std::string Page(const std::string& target, const std::string& headers = "",
                   const char* from = "127.0.0.1") {
    web::Reply reply = Split(Get(target, headers, from));
    const bool logged_in = from == std::string_view("127.0.0.1") ||
                           headers.find("Authorization:") != std::string::npos;
    EXPECT_EQ(reply.head, logged_in ? kPrivatePageHead : kPageHead) << target;
    EXPECT_EQ(reply.body.rfind("<!DOCTYPE html>", 0), 0u) << target;
    EXPECT_NE(reply.body.find("</html>"), std::string::npos) << target;
    return reply.body;
  }
};

TEST_F(Pages, ShareListShowsWhatTheVisitorMaySee) {
  web::WriteFile(Local("Docs/readme.txt"), "text");
  web::WriteFile(Local("report-2024.pdf"), std::string(5000, 'r'));
  web::WriteFile(Local("Private/p.txt"), "p");
  web::WriteFile(Local("upload/share.gif"), "GIF89a");
  SetWriteTime(Local("report-2024.pdf"), LocalTime(2021, 3, 4, 5, 6, 7));
  Share("Gone", Local("vanished"));
  Share("Docs", Local("Docs"));
  Share("report", Local("report-2024.pdf"));
  Share("Private", Local("Private"), FileShareRecord::kModeAuth);
  Share("share.gif", Local("upload/share.gif"), FileShareRecord::kModePublic, "Admin");
  AccountRecord bob;
  bob.account_name = "bob";
  bob.password = "pw";
  bob.allow_upload = 0;
  bob.allow_delete = 1;
  ASSERT_TRUE(accounts.AddAccount(bob));

  // A stranger: public shares only, numbered without the vanished one; a login link.
  std::string page = Page("/", "", kStranger);
  std::vector<Row> rows = RowsOf(page);
  EXPECT_EQ(Bar(page), "yes none none");
  EXPECT_EQ(Column(rows, &Row::no), (Texts{"1", "2", "3"}));
  EXPECT_EQ(Column(rows, &Row::url), (Texts{"Docs", "report", "share.gif"}));
  // A folder shows the share's name, a file its own name on disk.
  EXPECT_EQ(Column(rows, &Row::name), (Texts{"Docs", "report-2024.pdf", "share.gif"}));
  EXPECT_EQ(Column(rows, &Row::size), (Texts{"0 K", "4.9 K", "0.1 K"}));
  EXPECT_EQ(rows[1].date, "2021-03-04 05:06:07");
  EXPECT_EQ(Column(rows, &Row::action), (Texts{"none", "none", "none"}));
  EXPECT_EQ(Column(rows, &Row::folder), (Texts{"none", "none", "none"}));
  // Only the template's image changes for an upload, never a name that looks like it.
  EXPECT_EQ(Column(rows, &Row::image), (Texts{"share.gif", "share.gif", "upload.gif"}));

  // The uploader (names compare without regard to case) may remove its upload.
  page = Page("/", BasicAuth(kAdmin), kStranger);
  rows = RowsOf(page);
  EXPECT_EQ(Bar(page), "none yes yes");
  EXPECT_EQ(Column(rows, &Row::name), (Texts{"Docs", "report-2024.pdf", "Private", "share.gif"}));
  EXPECT_EQ(Column(rows, &Row::action), (Texts{"none", "none", "none", "yes"}));
  EXPECT_EQ(Page("/download.htm?file=/", BasicAuth(kAdmin), kStranger), page);
  // Other accounts may not, and without the upload right get no form.
  page = Page("/", BasicAuth("bob:pw"), kStranger);
  EXPECT_EQ(Bar(page), "none yes none");
  EXPECT_EQ(Column(RowsOf(page), &Row::action), (Texts{"none", "none", "none", "none"}));
  EXPECT_EQ(Column(RowsOf(Page("/")), &Row::action), (Texts{"none", "none", "none", "none"}));

  // Zip links for shared folders once the setting is on.
  ASSERT_TRUE(settings.SetParam("EnableZipFolder", "1"));
  EXPECT_EQ(Column(RowsOf(Page("/")), &Row::folder), (Texts{"yes", "none", "yes", "none"}));
  ASSERT_TRUE(settings.SetParam("EnableZipFolder", "0"));
  EXPECT_EQ(Column(RowsOf(Page("/")), &Row::folder), (Texts{"none", "none", "none", "none"}));
}

// The upload panel's script, stylesheet and texts reach only visitors shown the upload form, on
// both kinds of page; nobody else's page grows by them.
TEST_F(Pages, UploadPanelOnlyWhereTheFormIsShown) {
  web::WriteFile(Local("Docs/a.txt"), "a");
  Share("Docs", Local("Docs"));
  AccountRecord bob;
  bob.account_name = "bob";
  bob.password = "pw";
  bob.allow_upload = 0;
  ASSERT_TRUE(accounts.AddAccount(bob));
  const std::string kScript = "<script src=\"images/upload.js\" defer></script>";
  const std::string kSheet = "<link rel=\"stylesheet\" href=\"images/upload.css\">";

  for (const std::string target : {"/", "/download.htm?file=Docs"}) {
    SCOPED_TRACE(target);
    std::string uploader = Page(target, BasicAuth(kAdmin), kStranger);
    EXPECT_EQ(Bar(uploader), "none yes yes");
    const std::size_t head_end = uploader.find("</head>");
    EXPECT_LT(uploader.find(kScript), head_end);
    EXPECT_LT(uploader.find(kSheet), head_end);
    // The texts come from the string table, ready for the script.
    const std::string texts = Capture(
        uploader, R"re(<script type="application/json" id="upload-texts">([^<]*)</script>)re");
    EXPECT_NE(
        texts.find("\"choose\": \"" + tessel::res::String(tessel::res::IDS_HTML_UP_CHOOSE) + "\""),
        std::string::npos)
        << texts;
    EXPECT_NE(texts.find("\"login\": \"" + tessel::res::String(tessel::res::IDS_HTML_LOGIN) + "\""),
              std::string::npos)
        << texts;

    for (const std::string& page :
         {Page(target, "", kStranger), Page(target, BasicAuth("bob:pw"), kStranger)}) {
      EXPECT_EQ(page.find("upload.js"), std::string::npos);
      EXPECT_EQ(page.find("upload.css"), std::string::npos);
      EXPECT_EQ(page.find("upload-texts"), std::string::npos);
      EXPECT_EQ(page.find("UploadOnly"), std::string::npos);
      // The form's row stays, hidden, as it always was.
      EXPECT_TRUE(Bar(page).ends_with(" none")) << Bar(page);
    }
  }
}

TEST_F(Pages, FolderPageListsSortedAndEscapedWithLinksThatWork) {
  web::WriteFile(Local("My Music/b.txt"), "b");
  web::WriteFile(Local("My Music/A.txt"), "a");
  web::WriteFile(Local("My Music/.hidden"), "h");
  web::WriteFile(Local("My Music/<b>x&y.txt"), "markup");
  web::WriteFile(Local("My Music/##FileSize## \"q\".txt"), "placeholder");
  web::WriteFile(Local("My Music/live/one.mp3"), "1");
  Share("My Music", Local("My Music"));

  std::string page = Page("/");
  ASSERT_EQ(RowsOf(page).size(), 1u);
  EXPECT_EQ(RowsOf(page)[0].url, "My+Music");

  page = Page("/download.htm?file=My+Music");
  std::vector<Row> rows = RowsOf(page);
  EXPECT_EQ(Column(rows, &Row::no), (Texts{"1", "2", "3", "4", "5", "6"}));
  EXPECT_EQ(Column(rows, &Row::name), (Texts{"..", "##FileSize## &quot;q&quot;.txt",
                                             "&lt;b&gt;x&amp;y.txt", "A.txt", "b.txt", "live"}));
  EXPECT_EQ(page.find("<b>x"), std::string::npos);
  EXPECT_EQ(Column(rows, &Row::url), (Texts{"%2F", "My+Music%5C%23%23FileSize%23%23+%22q%22.txt",
                                            "My+Music%5C%3Cb%3Ex%26y.txt", "My+Music%5CA.txt",
                                            "My+Music%5Cb.txt", "My+Music%5Clive"}));
  EXPECT_EQ(Column(rows, &Row::size), (Texts{"0 K", "0.1 K", "0.1 K", "0.1 K", "0.1 K", "0 K"}));
  EXPECT_EQ(Column(rows, &Row::action), Texts(6, "none"));
  EXPECT_EQ(Column(rows, &Row::folder), Texts(6, "none"));
  EXPECT_EQ(Column(rows, &Row::image), Texts(6, "share.gif"));
  EXPECT_EQ(Bar(page), "none yes yes");

  // Every link leads where it says: the page's links, decoded by the server, fetch the files.
  EXPECT_EQ(Split(Get("/download.htm?file=" + rows[2].url)).body, "markup");
  EXPECT_EQ(Split(Get("/download.htm?file=" + rows[1].url)).body, "placeholder");

  // One level down the parent entry leads back to the share; with zip links on, folders and that
  // parent get an empty display value, and the share list's parent ("/") none.
  ASSERT_TRUE(settings.SetParam("EnableZipFolder", "1"));
  rows = RowsOf(Page("/download.htm?file=" + rows[5].url));
  EXPECT_EQ(Column(rows, &Row::url), (Texts{"My+Music", "My+Music%5Clive%5Cone.mp3"}));
  EXPECT_EQ(Column(rows, &Row::folder), (Texts{"", "none"}));
  EXPECT_EQ(Column(RowsOf(Page("/download.htm?file=My+Music")), &Row::folder),
            (Texts{"none", "none", "none", "none", "none", ""}));
}

TEST_F(Pages, NonAsciiNameDownloadsByTheLinkThePageGives) {
  const std::string name = "Ünïcødé 文件 #1.txt";
  web::WriteFile(Local("Fotos/" + name), "contenu");
  Share("Fotos", Local("Fotos"));
  std::vector<Row> rows = RowsOf(Page("/download.htm?file=Fotos", "", kStranger));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].name, name);
  web::Reply reply = Split(Get("/download.htm?file=" + rows[1].url, "", kStranger));
  EXPECT_EQ(reply.body, "contenu");
  EXPECT_NE(reply.head.find("filename=\"" + name + "\"\r\n"), std::string::npos) << reply.head;
}

TEST_F(Pages, FillEveryPlaceholderOfTheTemplate) {
  web::WriteFile(Local("Docs/a.txt"), "a");
  Share("Docs", Local("Docs"));
  for (std::string page : {Page("/"), Page("/download.htm?file=Docs")}) {
    // The marker comments stay; the sample row does not.
    EXPECT_NE(page.find("<!--##SampleStart##--><!--##SampleEnd##-->"), std::string::npos);
    EXPECT_NE(page.find("\r\n<!--##SharedFileList##-->"), std::string::npos);
    page = std::regex_replace(page, std::regex("<!--##[A-Za-z]+##-->"), "");
    EXPECT_EQ(page.find("IDS_HTML_"), std::string::npos);
    EXPECT_EQ(page.find("##"), std::string::npos);
    EXPECT_NE(page.find(tessel::res::String(tessel::res::IDS_HTML_FILE_NAME)), std::string::npos);
  }
  // A folder that cannot be listed gives a page without rows.
  EXPECT_TRUE(RowsOf(web::Split(Get("/")).body).size() == 1u);
  std::filesystem::remove_all(Local("Docs"));
  EXPECT_TRUE(RowsOf(Page("/")).empty());
}

TEST_F(Pages, CompressedWhenTheBrowserOffersGzip) {
  web::WriteFile(Local("Docs/a.txt"), "a");
  Share("Docs", Local("Docs"));
  for (const std::string target : {"/", "/download.htm?file=Docs"}) {
    const std::string plain = Page(target);
    for (const char* offer : {"gzip, deflate, br", "GZIP", "deflate, gzip;q=0.5", "*",
                              "identity;q=0.5, gzip;q=1.0", "x-gzip"}) {
      web::Reply reply = Split(Get(target, "Accept-Encoding: " + std::string(offer) + "\r\n"));
      EXPECT_EQ(reply.head, kPrivateGzipPageHead) << offer;
      EXPECT_EQ(Gunzip(reply.body), plain) << offer;
    }
    // Refused, or not offered: the page as it is.
    for (const char* offer :
         {"gzip;q=0", "gzip; q=0.000, deflate", "*;q=0", "identity", "br", "gzip;q=0, *", ""}) {
      EXPECT_EQ(Get(target, "Accept-Encoding: " + std::string(offer) + "\r\n"),
                kPrivatePageHead + plain)
          << offer;
    }
  }
}

// A row's number and name, found without regular expressions: the big page has 20,001 rows.
std::vector<std::pair<std::string, std::string>> NumbersAndNames(const std::string& page) {
  std::vector<std::pair<std::string, std::string>> rows;
  const std::string no = "<td class=\"no\">";
  const std::string name = "\">";
  for (std::size_t at = page.find(no); at != std::string::npos; at = page.find(no, at)) {
    at += no.size();
    std::string number = page.substr(at, page.find('<', at) - at);
    // The name is the text of the cell's second link.
    std::size_t link = page.find("</a> <a href=", at);
    link = page.find(name, link) + name.size();
    rows.emplace_back(std::move(number), page.substr(link, page.find('<', link) - link));
  }
  return rows;
}

TEST_F(Pages, AHugeFolderPageStreamsInBoundedMemoryToEveryReader) {
  constexpr int kEntries = 20000;
  constexpr int kStalled = 200;
  const std::string big = Local("Big");
  std::filesystem::create_directories(big);
  for (int i = 0; i < kEntries; ++i) {
    const std::string path =
        big + "/entry-" + std::to_string(100000 + i) + "-with-a-longer-name.txt";
    close(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  }
  Share("Big", big);
  const std::string target = "/download.htm?file=Big";
  // One page first, so what every page needs once (the template, the icons) is in memory.
  const std::string plain = Page(target);
  ASSERT_GT(plain.size(), std::size_t{kEntries} * 500);
  const std::size_t before = ResidentBytes();

  // Clients that ask and never read; some take gzip, which costs more state. Their
  // receive buffers are kept small: the kernel's TCP memory is shared by the whole machine.
  std::vector<int> stalled;
  for (int i = 0; i < kStalled; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int size = 16 << 10;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    const sockaddr_in address = loopback::Address(service.Port());
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    loopback::Send(fd, "GET " + target + " HTTP/1.0\r\n" +
                           (i % 10 == 0 ? "Accept-Encoding: gzip\r\n" : "") + "\r\n");
    stalled.push_back(fd);
  }
  // Each worker makes its page until its client's socket is full, then waits on it (a gzip page
  // may fit in the socket buffers whole: its worker is done).
  for (int fd : stalled) {
    pollfd entry{fd, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 60000), 1);
  }
  std::this_thread::sleep_for(2s);
  EXPECT_GE(pool.CountActive(&service), kStalled * 9 / 10);
  const std::size_t during = ResidentBytes();

  // Readers that read get every row, in order, while the others still wait.
  const std::vector<std::pair<std::string, std::string>> rows = NumbersAndNames(plain);
  ASSERT_EQ(rows.size(), std::size_t{kEntries} + 1);
  for (int i = 0; i <= kEntries; ++i) ASSERT_EQ(rows[i].first, std::to_string(i + 1));
  EXPECT_EQ(rows[1].second, "entry-100000-with-a-longer-name.txt");
  EXPECT_EQ(rows[kEntries].second, "entry-119999-with-a-longer-name.txt");
  EXPECT_TRUE(Page(target) == plain);
  web::Reply zipped = Split(Get(target, "Accept-Encoding: gzip\r\n"));
  EXPECT_EQ(zipped.head, kPrivateGzipPageHead);
  EXPECT_TRUE(Gunzip(zipped.body) == plain);
  EXPECT_LT(zipped.body.size(), plain.size() / 5);

  for (int fd : stalled) close(fd);
  for (auto end = std::chrono::steady_clock::now() + 30s;
       pool.CountActive(&service) > 0 && std::chrono::steady_clock::now() < end;)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(pool.CountActive(&service), 0);

  // Built whole, the pages would take 200 times their size (2.9 GB here). Threads and their
  // stacks, buffers and gzip states come to some 50 MB; the bound is generous.
  const double grown = (double(during) - double(before)) / (1 << 20);
  std::cout << "[ figure ] resident memory grew " << grown << " MiB with " << kStalled
            << " clients not reading a page of " << plain.size() / (1 << 20) << " MiB\n";
#if defined(__SANITIZE_THREAD__)
  // The thread sanitizer's shadow grows several times over with every byte the server touches;
  // the bound is the other builds' to check.
  constexpr double kBound = 1e9;
#elif defined(__SANITIZE_ADDRESS__)
  // The address sanitizer's shadow memory and quarantine roughly double what freed buffers hold.
  constexpr double kBound = 600.0;
#else
  constexpr double kBound = 200.0;
#endif
  EXPECT_LT(grown, kBound);
}

}  // namespace
