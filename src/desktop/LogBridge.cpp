#include "desktop/LogBridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>
#include <deque>
#include <mutex>

#include "store/DataLog.h"

namespace {

const QEvent::Type kLinesQueued = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

// What the logging threads share with the window. The sinks keep it alive, so a line on its way
// when the bridge goes still finds it (and the fallback).
struct CLogBridge::Queue {
  std::mutex mutex;
  CLogBridge* receiver = nullptr;  // null once detached
  std::deque<CLogModel::Line> lines;
  bool shares_changed = false;
  bool posted = false;  // an event or a wait for the interval is under way
  size_t max_lines = 0;
  std::function<void(const std::string&)> fallback;

  // Called with the mutex held: makes sure the window will look at the queue.
  void Notify() {
    if (posted || !receiver) return;
    posted = true;
    QCoreApplication::postEvent(receiver, new QEvent(kLinesQueued));
  }
};

CLogBridge::CLogBridge(CDataLog& log, std::function<void(const std::string&)> fallback,
                       Deliver deliver, size_t max_queued, QObject* parent)
    : QObject(parent),
      m_log(log),
      m_queue(std::make_shared<Queue>()),
      m_deliver(std::move(deliver)) {
  m_queue->receiver = this;
  m_queue->max_lines = max_queued > 0 ? max_queued : 1;
  m_queue->fallback = std::move(fallback);
  std::shared_ptr<Queue> queue = m_queue;
  m_log.SetLogSink([queue](const std::string& text) {
    std::unique_lock lock(queue->mutex);
    if (!queue->receiver) {
      lock.unlock();
      if (queue->fallback) queue->fallback(text);
      return;
    }
    queue->lines.push_back({std::time(nullptr), text});
    if (queue->lines.size() > queue->max_lines) queue->lines.pop_front();
    queue->Notify();
  });
  m_log.SetSharesChangedSink([queue] {
    std::lock_guard lock(queue->mutex);
    if (!queue->receiver) return;
    queue->shares_changed = true;
    queue->Notify();
  });
}

CLogBridge::~CLogBridge() {
  Detach();
}

void CLogBridge::Detach() {
  if (!m_attached) return;
  m_attached = false;
  m_log.SetSharesChangedSink({});
  m_log.SetLogSink(m_queue->fallback);
  // A logging thread that took the old sink before the swap finds no receiver and uses the
  // fallback; what queued before is the window's.
  std::deque<CLogModel::Line> lines;
  bool shares_changed = false;
  {
    std::lock_guard lock(m_queue->mutex);
    m_queue->receiver = nullptr;
    lines.swap(m_queue->lines);
    shares_changed = m_queue->shares_changed;
    m_queue->shares_changed = false;
  }
  m_wait.stop();
  if (m_deliver && (!lines.empty() || shares_changed))
    m_deliver(std::vector<CLogModel::Line>(std::make_move_iterator(lines.begin()),
                                           std::make_move_iterator(lines.end())),
              shares_changed);
}

void CLogBridge::Flush() {
  std::vector<CLogModel::Line> lines;
  bool shares_changed = false;
  {
    std::lock_guard lock(m_queue->mutex);
    lines.assign(std::make_move_iterator(m_queue->lines.begin()),
                 std::make_move_iterator(m_queue->lines.end()));
    m_queue->lines.clear();
    shares_changed = m_queue->shares_changed;
    m_queue->shares_changed = false;
    m_queue->posted = false;
  }
  m_wait.stop();
  m_since_flush.start();
  if (m_deliver && (!lines.empty() || shares_changed)) m_deliver(std::move(lines), shares_changed);
}

void CLogBridge::customEvent(QEvent* event) {
  if (event->type() != kLinesQueued) return QObject::customEvent(event);
  const auto interval = static_cast<qint64>(kBatchInterval.count());
  const qint64 since = m_since_flush.isValid() ? m_since_flush.elapsed() : interval;
  if (since >= interval)
    Flush();
  else
    m_wait.start(static_cast<int>(interval - since), Qt::PreciseTimer, this);
}

void CLogBridge::timerEvent(QTimerEvent* event) {
  if (event->timerId() != m_wait.timerId()) return QObject::timerEvent(event);
  Flush();
}
