#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "desktop/LogModel.h"

class CDataLog;

// Carries activity lines and "shares changed" from the threads that log (HTTP workers) to the
// window's thread. A logging thread only queues its line under a short lock and, for the first
// line of a batch, posts one event: it never waits for the window, so a busy or closing window
// cannot hold up a download or deadlock the exit. The window takes what queued in batches, at
// most one every kBatchInterval, so thousands of lines a second cost it a few refreshes.
class CLogBridge : public QObject {
  Q_OBJECT

 public:
  static constexpr std::chrono::milliseconds kBatchInterval{100};

  // Receives each batch on the window's thread: the lines in the order they were logged, and
  // whether the shares changed meanwhile.
  using Deliver = std::function<void(std::vector<CLogModel::Line>&& lines, bool shares_changed)>;

  // Installs itself as log's line and shares-changed sinks. fallback takes the lines once the
  // bridge is detached (lines still on their way then). At most max_queued lines wait for the
  // window; beyond that the oldest are dropped, as the list keeps only the newest anyway.
  CLogBridge(CDataLog& log, std::function<void(const std::string&)> fallback, Deliver deliver,
             size_t max_queued = CLogModel::kMaxRows, QObject* parent = nullptr);
  // Detaches.
  ~CLogBridge() override;

  // Hands log lines back to the fallback, after delivering what is queued. Later calls do nothing.
  void Detach();
  // Delivers what is queued now, whatever the interval.
  void Flush();

 protected:
  void customEvent(QEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  struct Queue;

  CDataLog& m_log;
  std::shared_ptr<Queue> m_queue;
  Deliver m_deliver;
  bool m_attached = true;
  QElapsedTimer m_since_flush;
  QBasicTimer m_wait;  // runs while a batch waits for the interval to pass
};
