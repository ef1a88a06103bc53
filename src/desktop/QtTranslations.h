#pragma once

#include "res/StringTable.h"

class QCoreApplication;
class QTranslator;

namespace tessel::desktop {

// Installs Qt's own translations (file dialog, message box buttons) for language into app, so
// that Qt's texts follow the string table's. Returns the translator (owned by app), or nullptr
// for English or when Qt's translations are not installed.
QTranslator* InstallQtTranslations(QCoreApplication& app, res::Language language);

}  // namespace tessel::desktop
