#include "desktop/DialogParts.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>

#include "desktop/UiString.h"
#include "res/StringIds.h"

namespace tessel::desktop {

QLabel* Buddy(const QString& text, QWidget* field) {
  auto* label = new QLabel(text);
  label->setBuddy(field);
  return label;
}

QDialogButtonBox* OkCancelButtons(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
  ok->setText(UiString(res::IDS_BUTTON_OK));
  ok->setDefault(true);
  buttons->button(QDialogButtonBox::Cancel)->setText(UiString(res::IDS_BUTTON_CANCEL));
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

QChar RefusedCharacter(const QString& name, const QString& refused) {
  for (const QChar c : name)
    if (refused.contains(c)) return c;
  return {};
}

}  // namespace tessel::desktop
