#include "app/HeadlessCheckView.h"

CHeadlessCheckView::CHeadlessCheckView(std::function<void(const std::string&)> print_line,
                                       Facts https_facts)
    : m_print_line(std::move(print_line)), m_https_facts(std::move(https_facts)) {}

void CHeadlessCheckView::SetStatusText(const std::string& text) {
  m_print_line("Internet check: " + text);
}

void CHeadlessCheckView::SetPageUrl(const std::string& url) {
  m_print_line("Internet URL: " + url);
  if (!m_https_facts) return;
  std::vector<std::string> facts = m_https_facts();
  if (facts == m_printed_facts) return;
  for (const std::string& fact : facts) m_print_line("Internet check: " + fact);
  m_printed_facts = std::move(facts);
}

void CHeadlessCheckView::SetIpv6Url(const std::string& url) {
  if (!url.empty()) m_print_line("Internet URL: " + url);
}
