#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

// One request a later start sends to the running instance.
struct InstanceRequest {
  enum Kind : std::uint8_t {
    kShare = 1,  // share path with share_mode
    kShow = 2,   // bring the instance's window to the front
    kExit = 3,   // end the instance
    // The owner's account tasks; their answers carry a text to print.
    kAccounts = 4,  // list the accounts, without their passwords
    kPassword = 5,  // give the account named path the password secret
  };

  Kind kind = kShow;
  std::int32_t share_mode = 0;  // kShare: 0 public; the receiver takes any other value as 1
  std::string path;             // kShare: the local path, as given; kPassword: the account's name
  std::string secret = {};      // kPassword: the new password

  // Whether the answer to a request of this kind carries a text.
  static bool AnswersWithText(Kind kind) { return kind == kAccounts || kind == kPassword; }
};

// The per-user endpoint that makes one instance run per user: a local stream socket, owned by the
// process holding the lock file beside it. Later starts connect to it to find the instance, hand
// it requests and wait for each answer.
class CInstanceChannel {
 public:
  // The longest path a kShare request may carry (and name and password of a kPassword one).
  static constexpr std::uint32_t kMaxPathLength = 64 * 1024;
  // The longest text an answer may carry.
  static constexpr std::uint32_t kMaxAnswerLength = 4 * 1024 * 1024;
  // How long a sender waits for an answer, and for an instance told to exit to end.
  static constexpr std::chrono::seconds kAnswerTimeout{30};

  // The folder of the socket "tessel.sock" and its lock "tessel.lock": $XDG_RUNTIME_DIR when it
  // is this user's folder that others cannot write, else /tmp/tessel-<uid>, created private to
  // the user and refused when someone else owns it. Empty when neither is safe.
  static std::string DefaultFolder();

  explicit CInstanceChannel(std::string folder = DefaultFolder());
  // Releases the endpoint (when owned) and then closes every connection: a sender waiting for
  // an exited instance to end learns of it here.
  ~CInstanceChannel();
  CInstanceChannel(const CInstanceChannel&) = delete;
  CInstanceChannel& operator=(const CInstanceChannel&) = delete;

  const std::string& SocketPath() const { return m_socket_path; }

  // --- In a starting process.

  // Connects to the instance answering at the endpoint, if any (it must run as this user).
  // True when connected.
  bool Connect();
  bool IsConnected() const { return m_client >= 0; }
  // Sends the request over the connection and waits for the answer: true when the instance
  // carried it out. For kExit it then waits until the instance has ended. False without a
  // connection, or when no answer comes within kAnswerTimeout (an instance too old to know the
  // kind closes the connection instead). *text receives the answer's text, when it has one; it
  // is left empty when no answer came.
  bool Send(const InstanceRequest& request, std::string* text = nullptr);
  void Disconnect();

  enum class Claim {
    kOwned,         // this process is the instance now and listens at the endpoint
    kOtherRunning,  // another instance holds the endpoint; this object is connected to it
    kBusy,          // another process holds the endpoint but does not answer
    kUnavailable,   // no safe folder, or the socket cannot be made
  };
  // Makes this process the instance at the endpoint unless another holds it. A socket file left
  // by an instance that ended without removing it (a crash) is replaced. Waits a few seconds for
  // a holder that is still starting up or ending.
  Claim ClaimEndpoint();

  // --- In the running instance.

  // Carries out a request: true when done; text is the answer's text for the kinds that have one.
  using Handler = std::function<bool(const InstanceRequest&, std::string& text)>;
  // Answers requests from now on, on the calling thread's Qt event loop (a QCoreApplication must
  // exist and outlive this object): each complete request goes to handler, whose result is the
  // answer. Requests that arrived since ClaimEndpoint are answered once the loop runs.
  void Serve(Handler handler);
  // Stops listening and removes the socket file. Senders of kExit stay connected until
  // destruction.
  void StopServing();

 private:
  struct Connection;

  void AcceptAll();
  void ReadFrom(Connection& connection);
  void Close(Connection& connection);
  // Deletes connections closed earlier (never the one whose notifier is running).
  void Sweep();
  bool ListenAt();

  std::string m_folder;
  std::string m_socket_path;
  std::string m_lock_path;
  int m_client = -1;  // connection of a starting process
  int m_lock = -1;    // held lock file of the running instance
  int m_listener = -1;
  Handler m_handler;
  std::unique_ptr<QSocketNotifier> m_listen_notifier;
  std::vector<std::unique_ptr<Connection>> m_connections;
  std::vector<std::unique_ptr<Connection>> m_closed;
  std::vector<int> m_exit_senders;  // kept open until destruction
};
