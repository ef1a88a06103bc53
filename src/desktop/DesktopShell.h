#pragma once

#include <QString>

class QUrl;
class QWidget;

// What the window and the dialogs ask of the desktop around them: message boxes, the file and
// folder pickers, and the default handler for addresses. Every call waits for the person's
// answer. Tests derive from it and answer without a person; the default answers through Qt's
// standard boxes and pickers with the texts of the string table.
class CDesktopShell {
 public:
  enum class Icon { kInformation, kWarning, kCritical };

  virtual ~CDesktopShell();

  // Shows text, letter for letter, with an OK button.
  virtual void ShowMessage(QWidget* parent, const QString& text, Icon icon = Icon::kWarning);
  // Asks text (letter for letter) with Yes and No buttons, No being the default (question icon).
  // True for Yes.
  virtual bool AskYesNo(QWidget* parent, const QString& text);
  // The file or folder the person picks, as a full local path; empty when cancelled.
  virtual QString PickFile(QWidget* parent);
  virtual QString PickFolder(QWidget* parent, const QString& start_folder = QString());
  // Opens url with the desktop's default handler; false when it could not be handed over.
  virtual bool OpenUrl(const QUrl& url);

  // The shell everything uses unless given another: the real one.
  static CDesktopShell& Standard();
};
