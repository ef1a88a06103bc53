#pragma once

#include <QString>

namespace tessel::desktop {

// text in a form Qt shows letter for letter where it guesses between plain and rich text
// (tooltips, labels, message boxes, the tray and its notifications): unchanged when Qt would take
// it as plain, otherwise escaped into rich text that reads the same. Every text a visitor, a file
// name, an account or a log line brings goes through it: taken as markup, a name such as
// <img src="/dev/zero"> makes Qt read that file when the text is shown.
QString PlainText(const QString& text);

}  // namespace tessel::desktop
