#include "desktop/ActivityNote.h"

#include <QRegularExpression>

#include "desktop/UiString.h"
#include "res/StringIds.h"

namespace tessel::desktop {

QString ActivityNote(const std::string& line) {
  // The log's own wording: "user(ACCOUNT:ADDRESS) upload file end NAME(SIZE)".
  static const QRegularExpression upload(
      R"(^user\((.*):[^:()]*\) upload file end (.*)\([^()]*\)$)");
  const QString text = QString::fromStdString(line);
  if (const QRegularExpressionMatch match = upload.match(text); match.hasMatch()) {
    const QString account = match.captured(1).isEmpty() ? QStringLiteral("?") : match.captured(1);
    return UiString(res::IDS_NOTE_UPLOAD).arg(account, match.captured(2));
  }
  if (text.startsWith("user(") && text.contains(") logins refused after ")) return text;
  return {};
}

}  // namespace tessel::desktop
