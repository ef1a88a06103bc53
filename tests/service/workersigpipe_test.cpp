// A handler that writes to a client who has gone must not end the process: sendfile, which the
// file sender uses, cannot be told not to raise SIGPIPE, and a test process does not ignore it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "service/Loopback.h"
#include "service/ServiceBasic.h"
#include "service/ThreadPool.h"

namespace {

using namespace std::chrono_literals;

class WritingService : public CServiceBasic {
 public:
  using CServiceBasic::CServiceBasic;
  ~WritingService() override { Stop(); }
  bool Handle(ClientTask& task) override {
    std::this_thread::sleep_for(200ms);  // the client resets the connection meanwhile
    for (int i = 0; i < 3; ++i) written += write(task.socket, "x", 1) == 1;
    done = true;
    return true;
  }
  std::atomic<int> written{0};
  std::atomic<bool> done{false};
};

TEST(WorkerSignals, WritingToAGoneClientLeavesTheProcessRunning) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  WritingService service(pool);
  ASSERT_TRUE(service.Start(loopback::FreePort()));
  int fd = loopback::Connect(service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "x");  // a connection that sends nothing is not accepted
  linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  std::this_thread::sleep_for(50ms);
  close(fd);
  for (int i = 0; i < 100 && !service.done; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(service.done);
  EXPECT_EQ(service.written, 0);
}

}  // namespace
