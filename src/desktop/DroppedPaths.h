#pragma once

#include <QStringList>

class QMimeData;

namespace tessel::desktop {

// The local files and folders among the URLs of a drop, each without a trailing "/" (which would
// hide a folder's name from its share name); empty when there are none.
QStringList DroppedPaths(const QMimeData* data);

}  // namespace tessel::desktop
