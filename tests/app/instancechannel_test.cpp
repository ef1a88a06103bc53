// The per-user endpoint between a running instance and later starts, in one process.
#include "app/InstanceChannel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <QCoreApplication>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

class TempRuntime {
 public:
  TempRuntime() {
    std::string pattern = "/tmp/tessel-chan-XXXXXX";
    m_path = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempRuntime() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

class ScopedRuntimeEnv {
 public:
  explicit ScopedRuntimeEnv(const std::string& value) {
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) m_saved = old;
    m_had = std::getenv("XDG_RUNTIME_DIR") != nullptr;
    setenv("XDG_RUNTIME_DIR", value.c_str(), 1);
  }
  ~ScopedRuntimeEnv() {
    m_had ? setenv("XDG_RUNTIME_DIR", m_saved.c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
  }

 private:
  std::string m_saved;
  bool m_had = false;
};

TEST(InstanceChannelTest, RuntimeFolderMustBeTheUsersOwn) {
  TempRuntime runtime;
  const std::string fallback = "/tmp/tessel-" + std::to_string(geteuid());
  {
    ScopedRuntimeEnv env(runtime.path());  // mkdtemp makes it 0700
    EXPECT_EQ(CInstanceChannel::DefaultFolder(), runtime.path());
  }
  // Writable by others, relative, or too long for a socket name: the private folder in /tmp.
  chmod(runtime.path().c_str(), 0777);
  for (const std::string& value :
       {runtime.path(), std::string("relative/run"), "/" + std::string(120, 'x')}) {
    ScopedRuntimeEnv env(value);
    EXPECT_EQ(CInstanceChannel::DefaultFolder(), fallback) << value;
  }
  struct stat st {};
  ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST(InstanceChannelTest, OneOwnerAndStaleSocketsReplaced) {
  TempRuntime runtime;
  {
    CInstanceChannel first(runtime.path());
    EXPECT_FALSE(first.Connect());
    ASSERT_EQ(first.ClaimEndpoint(), CInstanceChannel::Claim::kOwned);
    EXPECT_TRUE(fs::exists(first.SocketPath()));

    CInstanceChannel second(runtime.path());
    EXPECT_TRUE(second.Connect());
    EXPECT_EQ(second.ClaimEndpoint(), CInstanceChannel::Claim::kOtherRunning);
    EXPECT_TRUE(second.IsConnected());
  }
  // The owner removes its socket when it ends.
  EXPECT_FALSE(fs::exists(runtime.path() + "/tessel.sock"));

  // A crash leaves the socket file; nobody answers there, and the next owner replaces it.
  const std::string socket_path = runtime.path() + "/tessel.sock";
  const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(stale);
  CInstanceChannel next(runtime.path());
  EXPECT_FALSE(next.Connect());
  EXPECT_EQ(next.ClaimEndpoint(), CInstanceChannel::Claim::kOwned);
  CInstanceChannel later(runtime.path());
  EXPECT_TRUE(later.Connect());

  EXPECT_EQ(CInstanceChannel("").ClaimEndpoint(), CInstanceChannel::Claim::kUnavailable);
}

TEST(InstanceChannelTest, RequestsAreAnsweredByTheHandlerAndExitWaitsForTheEnd) {
  TempRuntime runtime;
  int argc = 1;
  char name[] = "test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);

  auto owner = std::make_unique<CInstanceChannel>(runtime.path());
  ASSERT_EQ(owner->ClaimEndpoint(), CInstanceChannel::Claim::kOwned);
  std::vector<InstanceRequest> received;
  owner->Serve([&](const InstanceRequest& request, std::string&) {
    received.push_back(request);
    if (request.kind == InstanceRequest::kExit) QCoreApplication::exit(7);
    return request.path != "/refused";
  });

  bool shared = false, refused = true, shown = false, exited = false;
  bool owner_gone_when_exit_returned = false;
  std::atomic<bool> owner_gone{false};
  // Connected before the loop runs: answered once it does.
  CInstanceChannel sender(runtime.path());
  ASSERT_TRUE(sender.Connect());
  std::thread client([&] {
    shared = sender.Send({InstanceRequest::kShare, 5, "/data/a b.txt"});
    refused = sender.Send({InstanceRequest::kShare, 0, "/refused"});
    shown = sender.Send({InstanceRequest::kShow, 0, {}});
    exited = sender.Send({InstanceRequest::kExit, 0, {}});
    owner_gone_when_exit_returned = owner_gone.load();
  });
  EXPECT_EQ(QCoreApplication::exec(), 7);
  owner->StopServing();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the sender is still waiting
  owner_gone = true;
  owner.reset();
  client.join();

  EXPECT_TRUE(shared);
  EXPECT_FALSE(refused);
  EXPECT_TRUE(shown);
  EXPECT_TRUE(exited);
  EXPECT_TRUE(owner_gone_when_exit_returned);
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[0].kind, InstanceRequest::kShare);
  EXPECT_EQ(received[0].share_mode, 5);
  EXPECT_EQ(received[0].path, "/data/a b.txt");
  EXPECT_EQ(received[2].kind, InstanceRequest::kShow);
  EXPECT_EQ(received[3].kind, InstanceRequest::kExit);
}

TEST(InstanceChannelTest, AccountRequestsCarryTheirPasswordAndAnswerWithText) {
  TempRuntime runtime;
  int argc = 1;
  char name[] = "test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);

  CInstanceChannel owner(runtime.path());
  ASSERT_EQ(owner.ClaimEndpoint(), CInstanceChannel::Claim::kOwned);
  // More than a socket's buffer holds, so the answer goes out in pieces.
  const std::string table(1 << 20, 't');
  owner.Serve([&](const InstanceRequest& request, std::string& text) {
    if (request.kind == InstanceRequest::kAccounts) {
      text = table;
      return true;
    }
    text = request.path + "=" + request.secret;
    return request.secret != "refused";
  });

  struct Sent {
    InstanceRequest request;
    bool done;
    std::string text;
  };
  // A password may hold anything, a NUL too: only the name ends at the first one.
  const std::string secret("a b:c\n\0d", 8);
  const std::vector<Sent> cases = {
      {{InstanceRequest::kPassword, 0, "ann", secret}, true, "ann=" + secret},
      {{InstanceRequest::kPassword, 0, "bob", "refused"}, false, "bob=refused"},
      {{InstanceRequest::kAccounts, 0, {}}, true, table},
  };
  std::vector<std::pair<bool, std::string>> answers;
  std::thread client([&] {
    CInstanceChannel sender(runtime.path());
    if (sender.Connect())
      for (const Sent& sent : cases) {
        std::string text = "stale";
        const bool done = sender.Send(sent.request, &text);
        answers.emplace_back(done, text);
      }
    QMetaObject::invokeMethod(
        &app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
  });
  QCoreApplication::exec();
  client.join();

  ASSERT_EQ(answers.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(answers[i].first, cases[i].done) << i;
    EXPECT_TRUE(answers[i].second == cases[i].text) << i << ": " << answers[i].second.size();
  }
}

}  // namespace
