// Visitor identity, the routing table, request-path resolution and the access check, over real
// loopback connections.
#include <sys/stat.h>

#include "service/FileIcon.h"
#include "service/WebFixture.h"

namespace {

using web::BasicAuth;
using web::kAdmin;
using web::kAuthRequired;
using web::kNotFound;
using web::kRedirectHome;
using web::kStranger;
using web::Split;

class Routing : public web::WebFixture {
 protected:
  void SetUp() override {
    WebFixture::SetUp();
    web::WriteFile(Local("Music/a.txt"), "music a");
    web::WriteFile(Local("Music/live/a b.mp3"), "live");
    web::WriteFile(Local("Music2/secret.txt"), "sibling");
    web::WriteFile(Local("music/secret.txt"), "other case");
    web::WriteFile(Local("Vault/plan.txt"), "plan");
    web::WriteFile(folder / "web/images/home.gif", "home image");
    web::WriteFile(folder / "web2/images/x.gif", "beside the web folder");
    Share("Music", Local("Music"));
    Share("Vault", Local("Vault"), FileShareRecord::kModeAuth);
  }

  // The body of a reply that must be a download of the whole file.
  std::string Download(const std::string& target, const std::string& headers = "",
                       const char* from = "127.0.0.1") {
    web::Reply reply = Split(Get(target, headers, from));
    if (reply.head.rfind("HTTP/1.0 200 OK\r\n", 0) != 0) return "not a download: " + reply.head;
    return reply.body;
  }

  CRequestResolver::PathKind Resolve(const std::string& path, std::string* name = nullptr,
                                     std::string* local = nullptr) {
    std::string relative, local_path;
    const auto kind = CRequestResolver(shares).Resolve(path, relative, local_path);
    if (name) *name = relative;
    if (local) *local = local_path;
    return kind;
  }
};

TEST_F(Routing, RoutesInTableOrder) {
  // Rules 1 to 3 take any method and ignore letter case.
  EXPECT_EQ(Get("/INDEX.HTM", "", kStranger), kAuthRequired);
  EXPECT_EQ(Exchange("POST /index.htm HTTP/1.0\r\nContent-Length: 0\r\n\r\n", kStranger),
            kAuthRequired);
  EXPECT_EQ(Get("/Index.htm"), kRedirectHome);  // 127.0.0.1 is the `local` account
  EXPECT_EQ(Get("/logout.htm"), kAuthRequired);
  EXPECT_EQ(Get("/remove.htm?file=Music", "", kStranger), kAuthRequired);
  // Rule 4 is for POST only: a GET of /upload falls through to rule 8.
  EXPECT_EQ(Get("/upload"), kNotFound);
  EXPECT_EQ(Exchange("POST /upload HTTP/1.0\r\nContent-Length: 0\r\n\r\n", kStranger),
            kAuthRequired);
  // Rule 5: nothing but GET gets further.
  EXPECT_EQ(Exchange("HEAD / HTTP/1.0\r\n\r\n"), kRedirectHome);
  EXPECT_EQ(Exchange("POST /download.htm?file=Music HTTP/1.0\r\n\r\n"), kRedirectHome);
  EXPECT_EQ(Exchange("\r\nGET / HTTP/1.0\r\n\r\n"), kRedirectHome);  // the head ends at once
  // Rules 6 and 7.
  EXPECT_EQ(Get("/").rfind("HTTP/1.0 200 OK\r\nVary: Accept-Encoding\r\nCache-Control: "
                           "private\r\n\r\n<!DOCTYPE html>",
                           0),
            0u);
  EXPECT_EQ(Get("/download.htm?file=%2F")
                .rfind("HTTP/1.0 200 OK\r\nVary: Accept-Encoding\r\nCache-Control: "
                       "private\r\n\r\n<!DOCTYPE html>",
                       0),
            0u);
  EXPECT_EQ(Split(Get("/download.htm?file=%2F&icon=1")).body,
            tessel::FileIconGifOfKind(tessel::FileIconKind::kParent));
  // Rule 8.
  EXPECT_EQ(Get("/nothing.htm"), kNotFound);
  EXPECT_EQ(Get("/download.htm?file=Nobody"), kNotFound);
  EXPECT_EQ(Get("/download.htm?file="), kNotFound);
  EXPECT_EQ(Get("/download.htm?file=Music%5Cmissing.txt"), kNotFound);
  EXPECT_EQ(Download("/download.htm?file=Music%5Clive%5Ca+b.mp3"), "live");
  EXPECT_EQ(Download("/images/home.gif", "", kStranger), "home image");
}

TEST_F(Routing, IdentifiesVisitorsOnEveryRequest) {
  // By password, its name and password in any letter case, from anywhere.
  EXPECT_EQ(Get("/index.htm", BasicAuth("ADMIN:KAVOR"), kStranger), kRedirectHome);
  EXPECT_EQ(Get("/index.htm", BasicAuth(kAdmin), kStranger), kRedirectHome);
  EXPECT_EQ(Get("/index.htm", BasicAuth("admin:wrong"), kStranger), kAuthRequired);
  EXPECT_EQ(Get("/index.htm", BasicAuth("admin"), kStranger), kAuthRequired);
  // By address: 127.0.0.1 whatever the credentials say, even without a ":".
  EXPECT_EQ(Get("/index.htm", BasicAuth("nobody")), kRedirectHome);
  EXPECT_EQ(Get("/index.htm", BasicAuth("admin:wrong")), kRedirectHome);

  // A share for logged-in visitors: refused to a stranger, served with any account.
  EXPECT_EQ(Get("/download.htm?file=Vault%5Cplan.txt", "", kStranger), kAuthRequired);
  EXPECT_EQ(Get("/download.htm?file=Vault", "", kStranger), kAuthRequired);
  EXPECT_EQ(Get("/download.htm?file=Vault&icon=1", "", kStranger), kAuthRequired);
  EXPECT_EQ(Get("/download.htm?file=Vault&zip=1", "", kStranger), kAuthRequired);
  EXPECT_EQ(Download("/download.htm?file=Vault%5Cplan.txt", BasicAuth(kAdmin), kStranger), "plan");
  EXPECT_EQ(Download("/download.htm?file=Vault%5Cplan.txt"), "plan");
  EXPECT_EQ(Download("/download.htm?file=Music%5Ca.txt", "", kStranger), "music a");

  // A disabled account admits nobody.
  AccountRecord bob;
  bob.account_name = "bob";
  bob.password = "pw";
  bob.enabled = 0;
  ASSERT_TRUE(accounts.AddAccount(bob));
  EXPECT_EQ(Get("/index.htm", BasicAuth("bob:pw"), kStranger), kAuthRequired);
}

TEST_F(Routing, ResolvesTheSixKinds) {
  std::string name, local;
  EXPECT_EQ(Resolve("/download.htm?file=Music\\live\\a b.mp3", &name, &local),
            CRequestResolver::PathKind::kFile);
  EXPECT_EQ(name, "Music\\live\\a b.mp3");
  EXPECT_EQ(local, Local("Music/live/a b.mp3"));
  EXPECT_EQ(Resolve("/download.htm?file=Music\\live", &name), CRequestResolver::PathKind::kFolder);
  EXPECT_EQ(name, "Music\\live");
  EXPECT_EQ(Resolve("/download.htm?file=Music&zip=1", &name),
            CRequestResolver::PathKind::kFolderZip);
  EXPECT_EQ(name, "Music");
  // The icon flag wins over the folder test, and flags are removed wherever they stand.
  EXPECT_EQ(Resolve("/download.htm?file=Music&zip=1&icon=1"), CRequestResolver::PathKind::kIcon);
  EXPECT_EQ(Resolve("/download.htm?file=Music&icon=1\\a.txt", &name),
            CRequestResolver::PathKind::kIcon);
  EXPECT_EQ(name, "Music\\a.txt");
  EXPECT_EQ(Resolve("/DOWNLOAD.HTM?FILE=Music\\a.txt"), CRequestResolver::PathKind::kFile);
  // A removal names the share alone; anything existing below it counts.
  EXPECT_EQ(Resolve("/remove.htm?file=Music\\live", &name), CRequestResolver::PathKind::kFile);
  EXPECT_EQ(name, "Music");
  EXPECT_EQ(Resolve("/remove.htm?file=Music\\gone"), CRequestResolver::PathKind::kNotFound);
  EXPECT_EQ(Resolve("/favicon.ico", nullptr, &local), CRequestResolver::PathKind::kWebFile);
  EXPECT_EQ(local, folder / "web/images/favicon.ico");
  EXPECT_EQ(Resolve("/icons/../images/home.gif", &name, &local),
            CRequestResolver::PathKind::kWebFile);
  EXPECT_EQ(name, "");
  EXPECT_EQ(local, folder / "web/images/home.gif");
  EXPECT_EQ(Resolve("/index.htm"), CRequestResolver::PathKind::kNotFound);
  // The name is that of the normal path, so a folder page's parent entry is its real parent.
  EXPECT_EQ(Resolve("/download.htm?file=Music\\live\\..\\.\\a.txt", &name),
            CRequestResolver::PathKind::kFile);
  EXPECT_EQ(name, "Music\\a.txt");
  EXPECT_EQ(Resolve("/download.htm?file=Music\\live\\", &name),
            CRequestResolver::PathKind::kFolder);
  EXPECT_EQ(name, "Music\\live");
}

TEST_F(Routing, KeepsEveryPathInsideItsShareOrTheWebFolder) {
  web::WriteFile(folder / "tessel.mdb.copy", "database");
  // Up and out of the share, to a sibling that begins with the share's name, to a folder that
  // differs in letter case only.
  EXPECT_EQ(Get("/download.htm?file=Music%5C..%5C..%5C..%5Ctessel.mdb"), kNotFound);
  EXPECT_EQ(Get("/download.htm?file=Music\\..\\..\\tessel.mdb.copy"), kNotFound);
  EXPECT_EQ(Get("/download.htm?file=Music%5C..%5CMusic2%5Csecret.txt"), kNotFound);
  EXPECT_EQ(Get("/download.htm?file=Music%5C..%5Cmusic%5Csecret.txt"), kNotFound);
  EXPECT_EQ(Get("/download.htm?file=Music%5C..%5CMusic2&zip=1"), kNotFound);
  EXPECT_EQ(Get("/download.htm?file=Music%5C..%5CMusic2&icon=1"), kNotFound);
  EXPECT_EQ(Resolve("/remove.htm?file=Music\\..\\Music2\\secret.txt"),
            CRequestResolver::PathKind::kNotFound);
  // "/" counts as a separator too.
  EXPECT_EQ(Get("/download.htm?file=Music%5C../../tessel.mdb.copy"), kNotFound);
  // The web folder: up and out, to a sibling beginning with its name, with "\" as well.
  EXPECT_EQ(Get("/images/../../tessel.mdb"), kNotFound);
  EXPECT_EQ(Get("/images/%2e%2e/%2e%2e/tessel.mdb.copy"), kNotFound);
  EXPECT_EQ(Get("/icons/../../web2/images/x.gif"), kNotFound);
  EXPECT_EQ(Get("/images/..\\..\\tessel.mdb.copy"), kNotFound);
  // A decoded NUL ends the path: what follows it cannot lead elsewhere.
  EXPECT_EQ(Download("/download.htm?file=Music%5Ca.txt%00%5C..%5C..%5C..%5Ctessel.mdb.copy"),
            "music a");
  EXPECT_EQ(Resolve(std::string("/download.htm?file=Music\\a.txt\0\\..\\..", 30)),
            CRequestResolver::PathKind::kFile);
}

TEST_F(Routing, JudgesLinksByThePathThatIsOpened) {
  // A share that is itself a link works like the folder it points to, and stays closed.
  std::filesystem::create_directory_symlink(Local("Music"), Local("link"));
  Share("Linked", Local("link"));
  EXPECT_EQ(Download("/download.htm?file=Linked%5Ca.txt"), "music a");
  EXPECT_EQ(Get("/download.htm?file=Linked%5C..%5CMusic2%5Csecret.txt"), kNotFound);
  // A link inside a share to a folder elsewhere: ".." after it is taken by the text, so the
  // file opened is the share's own a.txt, never the one beside the link's target.
  web::WriteFile(Local("elsewhere/a.txt"), "elsewhere a");
  std::filesystem::create_directories(Local("elsewhere/deep"));
  std::filesystem::create_directory_symlink(Local("elsewhere/deep"), Local("Music/sub"));
  EXPECT_EQ(Download("/download.htm?file=Music%5Csub%5C..%5Ca.txt"), "music a");
  // A pipe is no file to send: opening it would hold the worker.
  ASSERT_EQ(mkfifo(Local("Music/pipe").c_str(), 0644), 0);
  EXPECT_EQ(Get("/download.htm?file=Music%5Cpipe"), kNotFound);
  // A folder of the web folder is no file either: the empty reply, as for a missing file.
  EXPECT_EQ(Get("/images/"), "");
  EXPECT_EQ(Get("/images/missing.gif"), "");
}

TEST_F(Routing, LogsDownloadsOfSharedFilesOnly) {
  web::WriteFile(Local("Music/big.bin"), std::string(300000, 'x'));
  Download("/download.htm?file=Music%5Cbig.bin", BasicAuth(kAdmin), kStranger);
  Get("/download.htm?file=Music%5Cbig.bin", "Range: bytes=100000-\r\n");
  Get("/images/home.gif");
  Get("/download.htm?file=Music");
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "user(admin:127.0.0.2) download file start Music\\big.bin(0 K/293 K)",
                "user(admin:127.0.0.2) download file end Music\\big.bin(293 K/293 K)",
                "user(local:127.0.0.1) download file start Music\\big.bin(97.7 K/293 K)",
                "user(local:127.0.0.1) download file end Music\\big.bin(195 K/293 K)",
            }));
}

}  // namespace

namespace {

// A client may send more than its head at once: one request is served per connection, and the
// bytes after the head go with the connection, never to a later one given the same number.
TEST_F(Routing, BytesPipelinedAfterAHeadStayWithTheirConnection) {
  const std::string pipelined = "GET /download.htm?file=Music%5Ca.txt HTTP/1.0\r\n\r\n";
  const std::string first =
      Exchange("GET /download.htm?file=Music%5Clive%5Ca+b.mp3 HTTP/1.0\r\n\r\n" + pipelined);
  EXPECT_EQ(Split(first).body, "live");
  EXPECT_EQ(first.find("music a"), std::string::npos);
  // Each worker in turn takes later connections (numbered as the first one was): every reply is
  // its own request's.
  for (int i = 0; i < 25; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Download("/download.htm?file=Music%5Clive%5Ca+b.mp3"), "live");
  }
}

// What a shared cache may keep: nothing whose content depends on the visitor's rights.
TEST_F(Routing, RepliesMadeForTheVisitorsRightsAreMarkedPrivate) {
  const std::string cached = "max-age=" + std::to_string(CFileSender::kCacheSeconds);
  const struct {
    const char* target;
    const char* from;  // 127.0.0.1 is logged in, kStranger is not
    std::string cache_control;
  } cases[] = {
      {"/", kStranger, ""},
      {"/", "127.0.0.1", "private"},
      {"/download.htm?file=Music", kStranger, ""},
      {"/download.htm?file=Music", "127.0.0.1", "private"},  // its page offers the upload form
      {"/download.htm?file=Music%5Ca.txt", kStranger, ""},
      {"/download.htm?file=Music%5Ca.txt", "127.0.0.1", ""},
      {"/download.htm?file=Music&zip=1", kStranger, ""},
      {"/download.htm?file=Vault", "127.0.0.1", "private"},
      {"/download.htm?file=Vault%5Cplan.txt", "127.0.0.1", "private"},
      {"/download.htm?file=Vault&zip=1", "127.0.0.1", "private"},
      {"/images/home.gif", kStranger, cached},
      {"/download.htm?file=Vault&icon=1", "127.0.0.1", cached},
  };
  for (const auto& c : cases) {
    const std::string head = Split(Get(c.target, "", c.from)).head;
    EXPECT_EQ(head.substr(0, 13), "HTTP/1.0 200 ") << c.target << " " << c.from;
    const std::size_t at = head.find("\r\nCache-Control: ");
    const std::string value =
        at == std::string::npos ? "" : head.substr(at + 17, head.find("\r\n", at + 2) - at - 17);
    EXPECT_EQ(value, c.cache_control) << c.target << " " << c.from;
  }
}

}  // namespace
