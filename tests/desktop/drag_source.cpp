// A window that drags files, as a file manager does: press the mouse on it and move, and it
// starts a drag of the paths given on its command line. The real-desktop test drives it with
// xdotool to drop files on Tessel through the X server's own drag-and-drop protocol.
//
//   tessel_drag_source PATH...
//
// Prints "ready" once shown and "drop accepted" or "drop refused" when the drag ends; then stays
// a moment, since the target asks for the dragged data after the drop, and quits.
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <cstdio>

namespace {

class DragSource : public QLabel {
 public:
  explicit DragSource(QList<QUrl> urls) : QLabel("drag me"), m_urls(std::move(urls)) {
    setWindowTitle("tessel drag source");
    setAlignment(Qt::AlignCenter);
    setMinimumSize(160, 100);
  }

 protected:
  void mousePressEvent(QMouseEvent* event) override { m_press = event->position().toPoint(); }

  void mouseMoveEvent(QMouseEvent* event) override {
    if (m_dragged || !(event->buttons() & Qt::LeftButton)) return;
    if ((event->position().toPoint() - m_press).manhattanLength() <
        QApplication::startDragDistance())
      return;
    m_dragged = true;
    auto* drag = new QDrag(this);
    auto* data = new QMimeData;
    data->setUrls(m_urls);
    drag->setMimeData(data);
    const Qt::DropAction action = drag->exec(Qt::CopyAction);
    std::printf("drop %s\n", action == Qt::CopyAction ? "accepted" : "refused");
    std::fflush(stdout);
    QTimer::singleShot(1500, qApp, &QApplication::quit);
  }

  void showEvent(QShowEvent* event) override {
    QLabel::showEvent(event);
    std::printf("ready\n");
    std::fflush(stdout);
  }

 private:
  QList<QUrl> m_urls;
  QPoint m_press;
  bool m_dragged = false;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QList<QUrl> urls;
  for (int i = 1; i < argc; ++i) urls << QUrl::fromLocalFile(QString::fromLocal8Bit(argv[i]));
  DragSource source(urls);
  source.move(40, 40);
  source.show();
  // Never outlive a test that has given up.
  QTimer::singleShot(120000, &app, &QApplication::quit);
  return app.exec();
}
