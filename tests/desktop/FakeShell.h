#pragma once

#include <QString>
#include <QUrl>
#include <vector>

#include "desktop/DesktopShell.h"

namespace tessel::test {

// Answers the dialogs' message boxes, pickers and address openings without a person, and keeps
// what was shown.
class FakeShell : public CDesktopShell {
 public:
  void ShowMessage(QWidget*, const QString& text, Icon) override { messages.push_back(text); }
  bool AskYesNo(QWidget*, const QString& text) override {
    questions.push_back(text);
    return answer_yes;
  }
  QString PickFile(QWidget*) override { return picked_file; }
  QString PickFolder(QWidget*, const QString&) override { return picked_folder; }
  bool OpenUrl(const QUrl& url) override {
    opened.push_back(url);
    return true;
  }

  bool answer_yes = false;
  QString picked_file;
  QString picked_folder;
  std::vector<QString> messages;
  std::vector<QString> questions;
  std::vector<QUrl> opened;
};

}  // namespace tessel::test
