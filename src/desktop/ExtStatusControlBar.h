#pragma once

#include <QProgressBar>
#include <QString>
#include <QWidget>
#include <vector>

// The progress bar the status bar hosts in a pane. Adds only the step of the classic progress
// control, which the Internet check moves by.
class CExtStatusBarProgressCtrl : public QProgressBar {
  Q_OBJECT

 public:
  explicit CExtStatusBarProgressCtrl(QWidget* parent = nullptr);

  void SetStep(int step) { m_step = step; }
  int GetStep() const { return m_step; }
  // Advances by the step; past the maximum it starts again from the minimum.
  void StepIt();

 private:
  int m_step = 1;
};

// A status bar of panes, each known by an id, that can host other controls (the LED, the
// progress bar, the status text field) in its panes. Panes are laid out left to right with their
// widths; a pane of style kPaneStretch takes the width left over.
class CExtStatusControlBar : public QWidget {
  Q_OBJECT

 public:
  // Pane style bits.
  static constexpr unsigned kPaneNormal = 0;
  static constexpr unsigned kPaneNoBorders = 0x1;  // no sunken frame
  static constexpr unsigned kPanePopOut = 0x2;     // raised frame
  static constexpr unsigned kPaneDisabled = 0x4;   // text not drawn
  static constexpr unsigned kPaneStretch = 0x8;    // takes the remaining width

  struct PaneInfo {
    int id = 0;
    unsigned style = kPaneNormal;
    int width = 0;
    QString text;
  };

  explicit CExtStatusControlBar(QWidget* parent = nullptr);
  ~CExtStatusControlBar() override;

  // Inserts a pane with an unused id at position (0 .. PaneCount()); false otherwise.
  bool AddPane(int id, int position);
  // Removes the pane; its hosted controls are hidden, and deleted when added with auto_destroy.
  bool RemovePane(int id);
  bool SetPaneWidth(int id, int width);
  bool SetPaneStyle(int id, unsigned style);
  bool SetPaneText(int id, const QString& text);
  // False (info untouched) for an unknown id.
  bool GetPaneInfo(int id, PaneInfo& info) const;
  // The position of the pane, or -1.
  int CommandToIndex(int id) const;
  int PaneCount() const { return static_cast<int>(m_panes.size()); }
  // The pane's rectangle in the bar as laid out now; empty for an unknown id.
  QRect PaneRect(int id) const;

  // Hosts control in the pane: the bar becomes its parent and lays all hosted controls out again.
  // Refused (false, nothing changes) for a null control or an unknown pane id. A control already
  // hosted moves to the new pane. With auto_destroy the bar deletes the control with its pane.
  bool AddPaneControl(QWidget* control, int pane_id, bool auto_destroy);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct HostedControl {
    QWidget* control;
    int pane_id;
    bool auto_destroy;
  };

  // Moves each hosted control into its pane, shrunk by the frame's edge.
  void LayoutControls();
  std::vector<QRect> PaneRects() const;
  int EdgeWidth() const;

  std::vector<PaneInfo> m_panes;
  std::vector<HostedControl> m_controls;
};
