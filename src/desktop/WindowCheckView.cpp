#include "desktop/WindowCheckView.h"

#include <QLineEdit>

#include "desktop/ExtStatusControlBar.h"
#include "desktop/InfoBar.h"
#include "desktop/UiString.h"
#include "res/StringIds.h"

using tessel::desktop::UiString;

CWindowCheckView::CWindowCheckView(QLineEdit* status_text, CInfoBar* info_bar,
                                   CExtStatusBarProgressCtrl* progress, QObject* parent)
    : QObject(parent), m_status_text(status_text), m_info_bar(info_bar), m_progress(progress) {}

template <typename F>
void CWindowCheckView::Post(F&& f) {
  QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::QueuedConnection);
}

void CWindowCheckView::SetStatusText(const std::string& text) {
  const bool failed = text == tessel::res::String(tessel::res::IDS_INTERNET_FAILED) ||
                      text == tessel::res::String(tessel::res::IDS_UPNP_FAILED);
  Post([this, failed, text = QString::fromStdString(text)] {
    ShowStatusText(text);
    if (failed) emit CheckFailed(text);
  });
}

void CWindowCheckView::SetPageUrl(const std::string& url) {
  bool changed = false;
  {
    std::lock_guard lock(m_url_mutex);
    changed = !m_page_url.empty() && m_page_url != url;
    m_page_url = url;
  }
  Post([this, changed, url = QString::fromStdString(url)] {
    m_info_bar->SetText(UiString(tessel::res::IDS_INFO_DOWNLOAD_FROM) + url);
    m_info_bar->SetQrText(url);
    if (changed) emit PageUrlChanged(url);
  });
}

void CWindowCheckView::SetDirectUrl(const std::string& url) {
  std::lock_guard lock(m_url_mutex);
  m_direct_url = url;
}

void CWindowCheckView::SetInfoText(const std::string& text) {
  Post([this, text = QString::fromStdString(text)] { m_info_bar->SetText(text); });
}

void CWindowCheckView::SetProgress(int position) {
  Post([this, position] { m_progress->setValue(position); });
}

void CWindowCheckView::StepProgress() {
  Post([this] { m_progress->StepIt(); });
}

QString CWindowCheckView::StatusText() const {
  return m_status_text->text();
}

void CWindowCheckView::ShowStatusText(const QString& text) {
  m_status_text->setText(text);
  m_status_text->setCursorPosition(0);
}

std::string CWindowCheckView::PageUrl() const {
  std::lock_guard lock(m_url_mutex);
  return m_page_url;
}

std::string CWindowCheckView::DirectUrl() const {
  std::lock_guard lock(m_url_mutex);
  return m_direct_url;
}
