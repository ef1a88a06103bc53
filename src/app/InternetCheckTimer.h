#pragma once

#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "net/InternetCheck.h"
#include "net/UPnPNat.h"

// Runs the Internet check as the main window's timer does: about a second after start-up and
// every 301 seconds after. Owns the process's one gateway client. Needs the event loop's object;
// destroying it cancels a running check and waits for it.
class CInternetCheckTimer {
 public:
  static constexpr std::chrono::seconds kFirstCheck{1};
  static constexpr std::chrono::seconds kInterval{301};

  // setting reads a setting; http_port is the service's port (0 while it does not listen, when
  // a due check is left out).
  CInternetCheckTimer(std::unique_ptr<InternetCheckView> view,
                      std::function<std::string(const std::string&)> setting,
                      std::function<int()> http_port);
  ~CInternetCheckTimer();
  CInternetCheckTimer(const CInternetCheckTimer&) = delete;
  CInternetCheckTimer& operator=(const CInternetCheckTimer&) = delete;

  // Schedules the first check and the ones after it.
  void Start();
  // A check now (the settings were confirmed, or the user asked). False when none starts because
  // the previous one still runs or the service does not listen.
  bool CheckNow();

 private:
  std::function<int()> m_http_port;
  CUPnPNat m_nat;
  std::unique_ptr<InternetCheckView> m_view;
  CInternetCheck m_check;
  QTimer m_timer;
};
