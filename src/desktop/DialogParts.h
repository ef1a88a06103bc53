#pragma once

class QChar;
class QDialog;
class QDialogButtonBox;
class QLabel;
class QString;
class QWidget;

namespace tessel::desktop {

// The pieces the edit dialogs share, so they look and answer alike.

// A field's label, whose mnemonic moves the focus to field.
QLabel* Buddy(const QString& text, QWidget* field);
// OK (the default button) and Cancel in the current language, wired to dialog's accept and
// reject.
QDialogButtonBox* OkCancelButtons(QDialog* dialog);
// The first character of name that is one of refused, or a null character.
QChar RefusedCharacter(const QString& name, const QString& refused);

}  // namespace tessel::desktop
