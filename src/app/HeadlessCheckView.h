#pragma once

#include <functional>
#include <string>
#include <vector>

#include "net/InternetCheck.h"

// The Internet check's view without a window: each status text, and each page URL (the address
// friends open) and IPv6 URL, become a line on standard output; the rest belongs to the window.
// With each page URL come the HTTPS facts, when they differ from those printed last.
class CHeadlessCheckView : public InternetCheckView {
 public:
  using Facts = std::function<std::vector<std::string>()>;

  // print_line writes one whole line; it is called from the check's thread. https_facts, when
  // given, tells the HTTPS facts as lines.
  explicit CHeadlessCheckView(std::function<void(const std::string&)> print_line,
                              Facts https_facts = nullptr);

  void SetStatusText(const std::string& text) override;
  void SetPageUrl(const std::string& url) override;
  void SetDirectUrl(const std::string&) override {}
  void SetInfoText(const std::string&) override {}
  void SetIpv6Url(const std::string& url) override;
  void SetProgress(int) override {}
  void StepProgress() override {}

 private:
  std::function<void(const std::string&)> m_print_line;
  Facts m_https_facts;
  std::vector<std::string> m_printed_facts;
};
