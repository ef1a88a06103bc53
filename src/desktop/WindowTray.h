#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QMenu;
class QSystemTrayIcon;

// The window's icon in the desktop's tray. A tray host may come and go while the program runs
// (a panel restarting), so the icon follows it at every tick; a click on it asks for the window.
class CWindowTray : public QObject {
  Q_OBJECT

 public:
  // available says whether the desktop shows tray icons now.
  CWindowTray(std::function<bool()> available, QObject* parent);
  ~CWindowTray() override;

  bool Available() const { return m_available_now(); }
  // Shows the icon where a tray is, anew when the tray has come back.
  void Update();
  // One tick of the window's timer: updates the icon, and is true once the tray has been gone
  // for kGraceTicks ticks in a row (a hidden window must then be put on the taskbar).
  bool Tick();
  // Takes the icon off the tray (the program is ending).
  void Remove();
  // The icon, once a tray has been seen; else nullptr.
  QSystemTrayIcon* Icon() const { return m_icon; }
  // The menu a right click opens.
  void SetMenu(QMenu* menu);
  // Greys the icon and says so in its tip while sharing is paused.
  void SetPaused(bool paused);

  // Where notifications go; the default shows them through the desktop's notification service
  // (the icon's messages), when there is a tray. Tests record them instead.
  using Notifier = std::function<void(const QString& title, const QString& text)>;
  void SetNotifier(Notifier notifier) { m_notifier = std::move(notifier); }
  // Tells the owner text (shown as plain text).
  void Notify(const QString& text);

  // A tray host that is only restarting must not flash a hidden window onto the taskbar.
  static constexpr int kGraceTicks = 5;

 signals:
  // The owner clicked the icon: the window should come back.
  void Restore();

 private:
  std::function<bool()> m_available_now;
  void ShowState();

  QSystemTrayIcon* m_icon = nullptr;
  QMenu* m_menu = nullptr;
  bool m_paused = false;
  Notifier m_notifier;
  bool m_available = false;
  int m_ticks_without = 0;
};
