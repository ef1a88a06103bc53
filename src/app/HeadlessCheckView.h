#pragma once

#include <functional>
#include <string>

#include "net/InternetCheck.h"

// The Internet check's view without a window: each status text, and each page URL (the address
// friends open) and IPv6 URL, become a line on standard output; the rest belongs to the window.
class CHeadlessCheckView : public InternetCheckView {
 public:
  // print_line writes one whole line; it is called from the check's thread.
  explicit CHeadlessCheckView(std::function<void(const std::string&)> print_line);

  void SetStatusText(const std::string& text) override;
  void SetPageUrl(const std::string& url) override;
  void SetDirectUrl(const std::string&) override {}
  void SetInfoText(const std::string&) override {}
  void SetIpv6Url(const std::string& url) override;
  void SetProgress(int) override {}
  void StepProgress() override {}

 private:
  std::function<void(const std::string&)> m_print_line;
};
