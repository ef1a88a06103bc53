#pragma once
// Network namespaces of a test's own beyond its private one, and programs started in them.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tessel::test {

inline std::string FindProgram(const std::string& name) {
  for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    const std::string path = folder + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

// A network namespace of its own, held by a child process that ends with this process.
class Namespace {
 public:
  Namespace() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const char ok = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
      [[maybe_unused]] ssize_t written = write(ready[1], &ok, 1);
      for (;;) pause();
    }
    close(ready[1]);
    char ok = 0;
    if (m_pid > 0 && read(ready[0], &ok, 1) == 1 && ok) {
      m_fd = open(("/proc/" + std::to_string(m_pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    }
    close(ready[0]);
  }
  ~Namespace() {
    if (m_fd >= 0) close(m_fd);
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  Namespace(const Namespace&) = delete;
  Namespace& operator=(const Namespace&) = delete;

  bool Ok() const { return m_fd >= 0; }
  int fd() const { return m_fd; }
  std::string Pid() const { return std::to_string(m_pid); }

  // A socket that belongs to this namespace.
  int Socket(int type, int family = AF_INET) const {
    const int own = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int fd = -1;
    if (own >= 0 && setns(m_fd, CLONE_NEWNET) == 0) {
      fd = socket(family, type | SOCK_CLOEXEC, 0);
      if (setns(own, CLONE_NEWNET) != 0) std::abort();  // never go on in the wrong namespace
    }
    if (own >= 0) close(own);
    return fd;
  }

 private:
  pid_t m_pid = -1;
  int m_fd = -1;
};

// Starts argv in ns (this process's namespace when null) with its output appended to log.
// Returns the child, or -1.
inline pid_t Spawn(const Namespace* ns, const std::vector<std::string>& argv,
                   const std::string& log, bool end_with_parent = false) {
  std::vector<std::string> strings = argv;
  std::vector<char*> args;
  for (std::string& s : strings) args.push_back(s.data());
  args.push_back(nullptr);
  const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (out < 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    if (end_with_parent) prctl(PR_SET_PDEATHSIG, SIGTERM);
    if ((ns && setns(ns->fd(), CLONE_NEWNET) != 0) || dup2(out, 1) < 0 || dup2(out, 2) < 0) {
      _exit(126);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  close(out);
  return pid;
}

// Runs argv to its end; true when it succeeds.
inline bool Run(const Namespace* ns, const std::vector<std::string>& argv, const std::string& log) {
  const pid_t pid = Spawn(ns, argv, log);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tessel::test
