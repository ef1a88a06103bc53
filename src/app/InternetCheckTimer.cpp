#include "app/InternetCheckTimer.h"

CInternetCheckTimer::CInternetCheckTimer(std::unique_ptr<InternetCheckView> view,
                                         std::function<std::string(const std::string&)> setting,
                                         std::function<int()> http_port)
    : m_http_port(http_port),
      m_view(std::move(view)),
      m_check(m_nat, *m_view, std::move(setting), std::move(http_port)) {
  QObject::connect(&m_timer, &QTimer::timeout, [this] {
    m_timer.setInterval(kInterval);
    CheckNow();
  });
}

// The timer goes first, then the check (cancelled and awaited), then what it used.
CInternetCheckTimer::~CInternetCheckTimer() {
  m_timer.stop();
}

void CInternetCheckTimer::Start() {
  m_timer.start(kFirstCheck);
}

bool CInternetCheckTimer::CheckNow() {
  return m_http_port() > 0 && m_check.Start();
}
