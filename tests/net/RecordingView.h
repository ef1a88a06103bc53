#pragma once
// An Internet check view for tests.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/InternetCheck.h"

namespace tessel::test {

// Records every update in order: "status:", "page:", "direct:", "info:", "ipv6:", "progress=N",
// "step".
class RecordingView : public InternetCheckView {
 public:
  void SetStatusText(const std::string& text) override { Add("status:" + text); }
  void SetPageUrl(const std::string& url) override { Add("page:" + url); }
  void SetDirectUrl(const std::string& url) override { Add("direct:" + url); }
  void SetInfoText(const std::string& text) override { Add("info:" + text); }
  void SetIpv6Url(const std::string& url) override { Add("ipv6:" + url); }
  void SetProgress(int position) override { Add("progress=" + std::to_string(position)); }
  void StepProgress() override { Add("step"); }

  std::vector<std::string> Take() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_events, {});
  }

 private:
  void Add(std::string event) {
    std::lock_guard lock(m_mutex);
    m_events.push_back(std::move(event));
  }
  std::mutex m_mutex;
  std::vector<std::string> m_events;
};

}  // namespace tessel::test
