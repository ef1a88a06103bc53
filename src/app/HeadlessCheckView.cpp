#include "app/HeadlessCheckView.h"

CHeadlessCheckView::CHeadlessCheckView(std::function<void(const std::string&)> print_line)
    : m_print_line(std::move(print_line)) {}

void CHeadlessCheckView::SetStatusText(const std::string& text) {
  m_print_line("Internet check: " + text);
}

void CHeadlessCheckView::SetPageUrl(const std::string& url) {
  m_print_line("Internet URL: " + url);
}

void CHeadlessCheckView::SetIpv6Url(const std::string& url) {
  if (!url.empty()) m_print_line("Internet URL: " + url);
}
