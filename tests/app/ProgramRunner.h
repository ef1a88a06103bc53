#pragma once
// Runs the built program as a child process with a program folder, runtime, config and home
// folder of its own under a fresh temporary folder, all removed afterwards.
#include <fcntl.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class ProgramRunner {
 public:
  static constexpr auto kPatience = std::chrono::seconds(20);

  struct Child {
    pid_t pid = -1;
    std::string out;  // file receiving standard output
    std::string err;  // file receiving standard error
    int status = -1;  // exit status once ended; 128 + signal when killed
  };

  ProgramRunner() {
    namespace fs = std::filesystem;
    std::string pattern = "/tmp/tessel-app-XXXXXX";  // short: the socket path must fit
    root_ = mkdtemp(pattern.data()) ? pattern : "";
    program_folder_ = root_ + "/prog";
    runtime_folder_ = root_ + "/run";
    config_folder_ = root_ + "/config";
    fs::create_directories(program_folder_);
    fs::create_directories(config_folder_);
    fs::create_directories(root_ + "/home");
    mkdir(runtime_folder_.c_str(), 0700);
    // A copy, so that the program folder (the executable's) is this test's own.
    fs::copy_file(TESSEL_BINARY, program_folder_ + "/tessel");
  }

  ~ProgramRunner() {
    for (pid_t pid : unreaped_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  // "NAME=value" entries added to the environment of the children started from now on.
  std::vector<std::string> extra_env;

  const std::string& Root() const { return root_; }
  const std::string& ProgramFolder() const { return program_folder_; }
  std::string SocketPath() const { return runtime_folder_ + "/tessel.sock"; }
  std::string AutoStartEntry() const { return config_folder_ + "/autostart/Tessel.desktop"; }

  // Starts the program with args in the folder cwd (the root when empty).
  void Start(Child& child, const std::vector<std::string>& args, const std::string& cwd = "") {
    const int number = ++started_;
    child.out = root_ + "/out" + std::to_string(number) + ".txt";
    child.err = root_ + "/err" + std::to_string(number) + ".txt";
    child.status = -1;
    const std::string program = program_folder_ + "/tessel";
    std::vector<std::string> strings{program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings = {"XDG_RUNTIME_DIR=" + runtime_folder_,
                                            "XDG_CONFIG_HOME=" + config_folder_,
                                            "HOME=" + root_ + "/home"};
    // No display unless the test gives one: these tests are about the program without a window.
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      bool keep = true;
      for (const char* name : {"XDG_RUNTIME_DIR=", "XDG_CONFIG_HOME=", "HOME=", "DISPLAY=",
                               "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="})
        keep = keep && entry.rfind(name, 0) != 0;
      if (keep) env_strings.push_back(entry);
    }
    env_strings.insert(env_strings.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (std::string& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    const std::string folder = cwd.empty() ? root_ : cwd;

    const pid_t pid = fork();
    if (pid == 0) {
      const int out = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open(child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(folder.c_str()) != 0)
        _exit(126);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    child.pid = pid;
    if (pid > 0) unreaped_.push_back(pid);
  }

  // Waits for the child to end: true when it did within timeout.
  bool Wait(Child& child, std::chrono::milliseconds timeout = kPatience) {
    if (child.status >= 0 || child.pid <= 0) return child.status >= 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
        child.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::erase(unreaped_, child.pid);
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
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
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (Read(child.out).find(text) != std::string::npos) return true;
      if (!IsRunning(child) || std::chrono::steady_clock::now() >= deadline)
        return Read(child.out).find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Starts a headless instance and waits until it serves; false when it does not.
  bool StartServing(Child& child, const std::vector<std::string>& args = {"-headless"}) {
    Start(child, args);
    return WaitForOutput(child, "URL: ");  // printed after "Serving on port N"
  }

 private:
  std::string root_;
  std::string program_folder_;
  std::string runtime_folder_;
  std::string config_folder_;
  int started_ = 0;
  std::vector<pid_t> unreaped_;
};
