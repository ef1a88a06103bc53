// Serves Tessel's pages over https with a certificate the ACME renewal obtains from Debian's
// pebble, then runs a command against them (the README's picture of Chromium):
//
//   pebble_https WEB_FOLDER COMMAND [ARGS...]
//
// COMMAND gets two more arguments: the https address and the file holding pebble's root, which a
// client must trust. As in the ACME tests, pebble runs in a namespace of its own and reaches the
// service over a veth pair at the address standing for the external one; this process and the
// command run in a private namespace of their own. Exits with the command's status, or 1 when no
// certificate came. Needs root (or a user namespace: run it through scripts/isolated).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "app/AcmeRenewal.h"
#include "service/ServiceStack.h"
#include "support/Eventually.h"
#include "support/Loopback.h"
#include "support/NetworkIsolation.h"
#include "support/Pebble.h"
#include "support/TempFolder.h"

namespace {

using namespace tessel::test;

int Fail(const std::string& why) {
  std::fprintf(stderr, "pebble_https: %s\n", why.c_str());
  return 1;
}

void Print(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void WriteFile(const std::string& path, std::size_t size, char byte) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << std::string(size, byte);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Fail("usage: pebble_https WEB_FOLDER COMMAND [ARGS...]");
  if (!NetworkIsolated()) return Fail("no private network namespace");
  if (const std::string why = Pebble::Unavailable(); !why.empty()) return Fail(why);

  TempFolder folder;
  std::mutex mutex;
  std::map<std::string, std::string> values;
  const auto setting = [&](const std::string& name) {
    std::lock_guard lock(mutex);
    return values[name];
  };
  CTlsContext context;
  CAcmeChallenges challenges;
  CTlsCertificates certificates(context, folder.path(), setting, Print, [] {
    return std::vector<std::string>{"tessel-screenshot", "127.0.0.1"};
  });
  // After the certificates, so the service stops before they go.
  CServiceStack stack{{.data_folder = folder.path(), .web_folder = argv[1]}};
  if (!stack.OpenStores() || !certificates.Start() || !stack.pool.Start())
    return Fail("cannot start the service");
  stack.service.SetAcmeChallenges(&challenges);
  stack.service.SetTls(&context, &certificates);
  const int port = loopback::FreePort();
  if (!stack.service.Start(port)) return Fail("cannot listen on port " + std::to_string(port));

  // What a friend finds: a folder of holiday pictures and a file.
  const std::string files = folder / "files";
  for (const auto& [name, size] :
       {std::pair{"Beach.jpg", 2400000}, {"Harbour at night.jpg", 3100000}, {"Route.gpx", 48000}})
    WriteFile(files + "/Holiday photos 2026/" + name, size, 7);
  WriteFile(files + "/Reading list.pdf", 180000, 1);
  for (const char* item : {"Holiday photos 2026", "Reading list.pdf"})
    if (stack.shares.ShareFile(files + "/" + item, "", FileShareRecord::kModePublic).empty())
      return Fail(std::string("cannot share ") + item);

  Pebble pebble(port);
  if (const std::string failure = pebble.Failure(); !failure.empty()) return Fail(failure);
  {
    std::lock_guard lock(mutex);
    values["AcmeDirectory"] = pebble.Directory();
    values["AcmeCaFile"] = pebble.ListenerCa();
  }
  CAcmeRenewal::Options options;
  options.poll_interval = std::chrono::milliseconds(200);
  CAcmeRenewal renewal(certificates, challenges, folder.path(), setting, Print, nullptr, options);
  renewal.Start();
  renewal.SetExternalAddress(Pebble::kPeerAddress);
  if (!Eventually([&] { return renewal.Obtained() == 1; }, std::chrono::seconds(60)))
    return Fail("no certificate from pebble: " + renewal.LastError() + "\n" + pebble.Log());

  std::vector<std::string> strings(argv + 2, argv + argc);
  strings.push_back("https://" + std::string(Pebble::kPeerAddress) + ":" + std::to_string(port) +
                    "/");
  strings.push_back(pebble.Root());
  std::vector<char*> command;
  for (std::string& s : strings) command.push_back(s.data());
  command.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execvp(command[0], command.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return Fail("cannot run the command");
  stack.service.Stop();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
