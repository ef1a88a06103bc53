#include "desktop/DroppedPaths.h"

#include <QMimeData>
#include <QUrl>

QStringList tessel::desktop::DroppedPaths(const QMimeData* data) {
  QStringList paths;
  if (!data || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile()) continue;
    QString path = url.toLocalFile();
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    if (!path.isEmpty()) paths << path;
  }
  return paths;
}
