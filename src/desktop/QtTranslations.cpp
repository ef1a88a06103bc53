#include "desktop/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace tessel::desktop {

QTranslator* InstallQtTranslations(QCoreApplication& app, res::Language language) {
  if (language != res::Language::kChinese) return nullptr;
  auto* translator = new QTranslator(&app);
  if (!translator->load("qtbase_zh_CN", QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator)) {
    delete translator;
    return nullptr;
  }
  return translator;
}

}  // namespace tessel::desktop
