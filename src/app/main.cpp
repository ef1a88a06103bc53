#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/ServiceHttp.h"
#include "service/ThreadPool.h"

// Temporary start-up: serves HTTP on the port given with --port (80 by default) until SIGINT or
// SIGTERM.
int main(int argc, char** argv) {
  int port = 80;
  for (int i = 1; i < argc; ++i) {
    char* end = nullptr;
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      long value = std::strtol(argv[++i], &end, 10);
      if (*end == '\0' && value >= 1 && value <= 65535) {
        port = static_cast<int>(value);
        continue;
      }
    }
    std::fprintf(stderr, "usage: tessel [--port N]\n");
    return 2;
  }

  // Sends use MSG_NOSIGNAL; this also covers calls that cannot (sendfile), so a vanished client
  // never ends the process.
  signal(SIGPIPE, SIG_IGN);
  // Taken by sigwait below; blocked before any thread starts so that every thread inherits it.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  CThreadPool pool;
  pool.Start();
  CServiceHttp service(pool);
  if (!service.Start(port)) {
    std::fprintf(stderr, "tessel: cannot listen on port %d\n", port);
    return 1;
  }
  std::fprintf(stderr, "tessel: serving on port %d\n", port);
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  service.Stop();
  return 0;
}
