#pragma once
// Runs the built program as a child process with a program folder, runtime, config and home
// folder of its own under a fresh temporary folder, all removed afterwards.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/Eventually.h"

extern char** environ;

class ProgramRunner {
 public:
  static constexpr auto kPatience = std::chrono::seconds(20);

  struct Child {
    pid_t pid = -1;
    std::string out;  // file receiving standard output
    std::string err;  // file receiving standard error
    int status = -1;  // exit status once ended; 128 + signal when killed
    // Standard input: these bytes from a file, else the terminal given, else this process's.
    std::optional<std::string> input = {};
    int terminal = -1;
  };

  ProgramRunner() {
    namespace fs = std::filesystem;
    std::string pattern = "/tmp/tessel-app-XXXXXX";  // short: the socket path must fit
    m_root = mkdtemp(pattern.data()) ? pattern : "";
    m_program_folder = m_root + "/prog";
    m_runtime_folder = m_root + "/run";
    m_config_folder = m_root + "/config";
    fs::create_directories(m_program_folder);
    fs::create_directories(m_config_folder);
    fs::create_directories(m_root + "/home");
    mkdir(m_runtime_folder.c_str(), 0700);
    // A copy, so that the program folder (the executable's) is this test's own. Without a web
    // folder beside it or under share/ it counts as a portable program.
    fs::copy_file(TESSEL_BINARY, m_program_folder + "/tessel");
    m_program = m_program_folder + "/tessel";
  }

  // The built web folder, beside the built program.
  static std::string BuiltWebFolder() {
    return (std::filesystem::path(TESSEL_BINARY).parent_path() / "web").string();
  }

  // Gives the program folder a copy of the built web folder, as a portable build has.
  void MakePortable() {
    namespace fs = std::filesystem;
    fs::create_directories(m_program_folder + "/web");
    fs::copy(BuiltWebFolder() + "/images", m_program_folder + "/web/images",
             fs::copy_options::recursive);
  }

  // Lays the program out as the package installs it under the root: usr/bin/tessel and
  // usr/share/tessel/web. The program folder becomes usr/bin.
  void MakeInstalled() {
    namespace fs = std::filesystem;
    const std::string usr = m_root + "/usr";
    fs::create_directories(usr + "/bin");
    fs::create_directories(usr + "/share/tessel/web");
    fs::copy(BuiltWebFolder() + "/images", usr + "/share/tessel/web/images",
             fs::copy_options::recursive);
    fs::rename(m_program, usr + "/bin/tessel");
    fs::remove_all(m_program_folder);
    m_program_folder = usr + "/bin";
    m_program = m_program_folder + "/tessel";
  }

  // Starts the program as user and group from now on. Needs root; the folders the program
  // writes (program, runtime, config, home) become theirs, and the root folder readable.
  void RunAs(uid_t user, gid_t group) {
    m_user = user;
    m_group = group;
    chmod(m_root.c_str(), 0755);
    for (const std::string& folder : {m_program_folder, m_runtime_folder, m_config_folder, Home()})
      [[maybe_unused]] int ignored = chown(folder.c_str(), user, group);
  }

  // Sets a variable of the child's environment (XDG_DATA_HOME, for one, is left out unless set).
  void SetEnvironment(const std::string& name, const std::string& value) {
    m_environment.push_back(name + "=" + value);
  }

  ~ProgramRunner() {
    for (pid_t pid : m_unreaped) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
  }

  const std::string& Root() const { return m_root; }
  const std::string& ProgramFolder() const { return m_program_folder; }
  const std::string& Program() const { return m_program; }
  std::string Home() const { return m_root + "/home"; }
  std::string SocketPath() const { return m_runtime_folder + "/tessel.sock"; }
  std::string AutoStartEntry() const { return m_config_folder + "/autostart/Tessel.desktop"; }

  // Starts the program with args in the folder cwd (the root when empty).
  void Start(Child& child, const std::vector<std::string>& args, const std::string& cwd = "") {
    const int number = ++m_started;
    child.out = m_root + "/out" + std::to_string(number) + ".txt";
    child.err = m_root + "/err" + std::to_string(number) + ".txt";
    child.status = -1;
    const std::string program = m_program;
    std::vector<std::string> strings{program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings = {"XDG_RUNTIME_DIR=" + m_runtime_folder,
                                            "XDG_CONFIG_HOME=" + m_config_folder, "HOME=" + Home()};
    env_strings.insert(env_strings.end(), m_environment.begin(), m_environment.end());
    // No display unless the test gives one: these tests are about the program without a window.
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      bool keep = true;
      for (const char* name : {"XDG_RUNTIME_DIR=", "XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "HOME=",
                               "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="})
        keep = keep && entry.rfind(name, 0) != 0;
      if (keep) env_strings.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    const std::string folder = cwd.empty() ? m_root : cwd;
    const std::string input = m_root + "/in" + std::to_string(number) + ".txt";
    if (child.input) std::ofstream(input, std::ios::binary) << *child.input;

    const pid_t pid = fork();
    if (pid == 0) {
      const int out = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open(child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
      const int in = child.input ? open(input.c_str(), O_RDONLY) : child.terminal;
      if ((child.input || child.terminal >= 0) && (in < 0 || dup2(in, 0) < 0)) _exit(126);
      if (m_user != 0 &&
          (setgroups(0, nullptr) != 0 || setgid(m_group) != 0 || setuid(m_user) != 0))
        _exit(126);
      if (chdir(folder.c_str()) != 0) _exit(126);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    child.pid = pid;
    if (pid > 0) m_unreaped.push_back(pid);
  }

  // Waits for the child to end: true when it did within timeout (scaled for slow builds).
  bool Wait(Child& child, std::chrono::milliseconds timeout = kPatience) {
    if (child.status >= 0 || child.pid <= 0) return child.status >= 0;
    return tessel::test::Eventually(
        [&] {
          int status = 0;
          if (waitpid(child.pid, &status, WNOHANG) != child.pid) return false;
          child.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          std::erase(m_unreaped, child.pid);
          return true;
        },
        timeout);
  }

  bool IsRunning(Child& child) { return !Wait(child, std::chrono::milliseconds(0)); }

  // Runs the program to its end; its exit status, or -1 when it did not end in time.
  int Run(Child& child, const std::vector<std::string>& args, const std::string& cwd = "") {
    Start(child, args, cwd);
    return Wait(child) ? child.status : -1;
  }

  // Sends signal and waits for the end; the exit status or -1.
  int Stop(Child& child, int signal = SIGTERM) {
    if (child.status < 0) kill(child.pid, signal);
    return Wait(child) ? child.status : -1;
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Waits until the child's standard output holds text (true), or it ends or time runs out.
  bool WaitForOutput(Child& child, const std::string& text,
                     std::chrono::milliseconds timeout = kPatience) {
    tessel::test::Eventually(
        [&] { return Read(child.out).find(text) != std::string::npos || !IsRunning(child); },
        timeout);
    return Read(child.out).find(text) != std::string::npos;
  }

  // Starts a headless instance and waits until it serves; false when it does not.
  bool StartServing(Child& child, const std::vector<std::string>& args = {"-headless"}) {
    Start(child, args);
    return WaitForOutput(child, "URL: ");  // printed after "Serving on port N"
  }

 private:
  std::string m_root;
  std::string m_program_folder;
  std::string m_runtime_folder;
  std::string m_config_folder;
  std::string m_program;
  std::vector<std::string> m_environment;
  uid_t m_user = 0;  // 0: as this process
  gid_t m_group = 0;
  int m_started = 0;
  std::vector<pid_t> m_unreaped;
};
