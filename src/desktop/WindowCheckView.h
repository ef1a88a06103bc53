#pragma once

#include <QObject>
#include <QString>
#include <mutex>
#include <string>

#include "net/InternetCheck.h"

class CExtStatusBarProgressCtrl;
class CInfoBar;
class QLineEdit;

// Where the Internet check shows its progress in the window: the status text, the info bar (its
// text and the page URL's QR code) and the progress bar. The check calls in on its own thread;
// the widgets change later on the window's thread. The URLs it found are kept for the commands
// that open or copy them.
class CWindowCheckView : public QObject, public InternetCheckView {
  Q_OBJECT

 public:
  CWindowCheckView(QLineEdit* status_text, CInfoBar* info_bar, CExtStatusBarProgressCtrl* progress,
                   QObject* parent);

  void SetStatusText(const std::string& text) override;
  void SetPageUrl(const std::string& url) override;
  void SetDirectUrl(const std::string& url) override;
  void SetInfoText(const std::string& text) override;
  void SetProgress(int position) override;
  void StepProgress() override;

  // The status text now, written by the window's thread (notices, port changes) as well.
  QString StatusText() const;
  void ShowStatusText(const QString& text);
  std::string PageUrl() const;
  std::string DirectUrl() const;

 signals:
  // On the window's thread, when a check has found a page URL other than the one before.
  void PageUrlChanged(const QString& url);
  // On the window's thread, when a check could not find how friends reach this computer.
  void CheckFailed(const QString& text);

 private:
  template <typename F>
  void Post(F&& f);

  QLineEdit* m_status_text;
  CInfoBar* m_info_bar;
  CExtStatusBarProgressCtrl* m_progress;
  mutable std::mutex m_url_mutex;  // the check's thread writes the URLs, the window reads them
  std::string m_page_url;
  std::string m_direct_url;
};
