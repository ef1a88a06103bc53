// SIGUSR1 asks a running program for its transfers: the table on standard output, the program
// going on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "store/DataFileShare.h"
#include "store/DataSystem.h"
#include "support/NetworkIsolation.h"
#include "support/ProgramRunner.h"

namespace {

using Child = ProgramRunner::Child;
constexpr int kPort = 8093;

TEST(TransferReportTest, SigUsr1PrintsTheTransfersAndTheProgramGoesOn) {
  if (!tessel::test::NetworkIsolated()) GTEST_SKIP() << "no private network namespace";
  ProgramRunner runner;
  const std::string file = runner.Root() + "/big.bin";
  {
    CDataSystem settings(runner.ProgramFolder());
    ASSERT_TRUE(settings.Open());
    ASSERT_TRUE(settings.SetParam("LocalPort", std::to_string(kPort)));
    std::ofstream(file).close();
    ASSERT_EQ(truncate(file.c_str(), 256 << 20), 0);
    CDataFileShare shares(runner.ProgramFolder());
    ASSERT_TRUE(shares.Open());
    ASSERT_EQ(shares.ShareFile(file, "", FileShareRecord::kModePublic), "big.bin");
  }
  Child instance;
  ASSERT_TRUE(runner.StartServing(instance)) << ProgramRunner::Read(instance.err);

  // Nothing going on: it says so.
  kill(instance.pid, SIGUSR1);
  ASSERT_TRUE(runner.WaitForOutput(instance, "No transfers now.\n"));

  // A download the client does not read keeps running.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = "GET /download.htm?file=big.bin HTTP/1.0\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  ASSERT_TRUE(runner.WaitForOutput(instance, "download file start big.bin"));
  kill(instance.pid, SIGUSR1);
  ASSERT_TRUE(runner.WaitForOutput(instance, "Time left"));
  const std::string out = ProgramRunner::Read(instance.out);
  const std::regex table(
      R"(\nVisitor +Item +Direction +Bytes +Speed +Time left\n)"
      R"(local \(127\.0\.0\.1\) +big\.bin +download +[\d.]+ [KM] of 256 M.*\n\n)");
  EXPECT_TRUE(std::regex_search(out, table)) << out;
  close(fd);

  // Another SIGUSR1 is no harm, and SIGTERM still ends the program normally.
  kill(instance.pid, SIGUSR1);
  EXPECT_TRUE(runner.IsRunning(instance));
  EXPECT_EQ(runner.Stop(instance), 0);
}

}  // namespace
