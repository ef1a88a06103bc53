#pragma once

#include <QString>

#include "res/StringTable.h"

namespace tessel::desktop {

// The string-table text of id in the current language, for the window's widgets.
inline QString UiString(int id) {
  return QString::fromStdString(tessel::res::String(id));
}

}  // namespace tessel::desktop
