#include "desktop/ExtStatusControlBar.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>

namespace {

constexpr int kPaneGap = 2;  // between panes
constexpr int kTopMargin = 2;

}  // namespace

CExtStatusBarProgressCtrl::CExtStatusBarProgressCtrl(QWidget* parent) : QProgressBar(parent) {
  setTextVisible(false);
  setValue(minimum());
}

void CExtStatusBarProgressCtrl::StepIt() {
  int next = std::max(value(), minimum()) + m_step;
  if (next > maximum() || next < minimum()) next = minimum();
  setValue(next);
}

CExtStatusControlBar::CExtStatusControlBar(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

CExtStatusControlBar::~CExtStatusControlBar() {
  // The hosted controls die with the bar as its children; their destroyed() must not reach a bar
  // that is half gone.
  for (const HostedControl& hosted : m_controls) disconnect(hosted.control, nullptr, this, nullptr);
}

bool CExtStatusControlBar::AddPane(int id, int position) {
  if (CommandToIndex(id) >= 0 || position < 0 || position > PaneCount()) return false;
  PaneInfo pane;
  pane.id = id;
  m_panes.insert(m_panes.begin() + position, pane);
  LayoutControls();
  update();
  return true;
}

bool CExtStatusControlBar::RemovePane(int id) {
  const int index = CommandToIndex(id);
  if (index < 0) return false;
  std::vector<HostedControl> leaving;
  std::erase_if(m_controls, [&](const HostedControl& hosted) {
    if (hosted.pane_id != id) return false;
    leaving.push_back(hosted);
    return true;
  });
  for (const HostedControl& hosted : leaving) {
    disconnect(hosted.control, nullptr, this, nullptr);
    hosted.control->hide();
    if (hosted.auto_destroy) delete hosted.control;
  }
  m_panes.erase(m_panes.begin() + index);
  LayoutControls();
  update();
  return true;
}

bool CExtStatusControlBar::SetPaneWidth(int id, int width) {
  const int index = CommandToIndex(id);
  if (index < 0) return false;
  m_panes[index].width = std::max(0, width);
  LayoutControls();
  update();
  return true;
}

bool CExtStatusControlBar::SetPaneStyle(int id, unsigned style) {
  const int index = CommandToIndex(id);
  if (index < 0) return false;
  m_panes[index].style = style;
  LayoutControls();
  update();
  return true;
}

bool CExtStatusControlBar::SetPaneText(int id, const QString& text) {
  const int index = CommandToIndex(id);
  if (index < 0) return false;
  if (m_panes[index].text != text) {
    m_panes[index].text = text;
    update(PaneRect(id));
  }
  return true;
}

bool CExtStatusControlBar::GetPaneInfo(int id, PaneInfo& info) const {
  const int index = CommandToIndex(id);
  if (index < 0) return false;
  info = m_panes[index];
  return true;
}

int CExtStatusControlBar::CommandToIndex(int id) const {
  for (size_t i = 0; i < m_panes.size(); ++i) {
    if (m_panes[i].id == id) return static_cast<int>(i);
  }
  return -1;
}

QRect CExtStatusControlBar::PaneRect(int id) const {
  const int index = CommandToIndex(id);
  if (index < 0) return {};
  return PaneRects()[index];
}

bool CExtStatusControlBar::AddPaneControl(QWidget* control, int pane_id, bool auto_destroy) {
  if (!control || CommandToIndex(pane_id) < 0) return false;
  auto hosted = std::find_if(m_controls.begin(), m_controls.end(),
                             [&](const HostedControl& entry) { return entry.control == control; });
  if (hosted != m_controls.end()) {
    hosted->pane_id = pane_id;
    hosted->auto_destroy = auto_destroy;
  } else {
    m_controls.push_back({control, pane_id, auto_destroy});
    // A control deleted by its owner leaves the list, so layout never touches it again.
    connect(control, &QObject::destroyed, this, [this](QObject* gone) {
      std::erase_if(m_controls,
                    [gone](const HostedControl& entry) { return entry.control == gone; });
    });
  }
  if (control->parentWidget() != this) control->setParent(this);
  control->show();
  LayoutControls();
  return true;
}

QSize CExtStatusControlBar::sizeHint() const {
  int width = 0;
  for (const PaneInfo& pane : m_panes) width += pane.width + kPaneGap;
  return {std::max(width, 100), minimumSizeHint().height()};
}

QSize CExtStatusControlBar::minimumSizeHint() const {
  return {0, fontMetrics().height() + 10};
}

void CExtStatusControlBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyleOption option;
  option.initFrom(this);
  style()->drawPrimitive(QStyle::PE_PanelStatusBar, &option, &painter, this);

  const std::vector<QRect> rects = PaneRects();
  const QPalette& colors = palette();
  for (size_t i = 0; i < m_panes.size(); ++i) {
    const PaneInfo& pane = m_panes[i];
    const QRect& box = rects[i];
    if (box.isEmpty()) continue;
    if (!(pane.style & kPaneNoBorders)) {
      const bool raised = pane.style & kPanePopOut;
      // A one-pixel sunken (or raised) edge, as classic status panes have.
      painter.setPen(raised ? colors.color(QPalette::Light) : colors.color(QPalette::Mid));
      painter.drawLine(box.topLeft(), box.topRight());
      painter.drawLine(box.topLeft(), box.bottomLeft());
      painter.setPen(raised ? colors.color(QPalette::Mid) : colors.color(QPalette::Light));
      painter.drawLine(box.bottomLeft(), box.bottomRight());
      painter.drawLine(box.topRight(), box.bottomRight());
    }
    if (pane.text.isEmpty() || (pane.style & kPaneDisabled)) continue;
    const QRect text_box = box.adjusted(EdgeWidth() + 1, 0, -EdgeWidth() - 1, 0);
    painter.setPen(colors.color(QPalette::WindowText));
    painter.drawText(text_box, Qt::AlignVCenter | Qt::AlignLeft,
                     fontMetrics().elidedText(pane.text, Qt::ElideRight, text_box.width()));
  }
}

void CExtStatusControlBar::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutControls();
}

void CExtStatusControlBar::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
    updateGeometry();
    LayoutControls();
  }
}

void CExtStatusControlBar::LayoutControls() {
  const std::vector<QRect> rects = PaneRects();
  const int edge = EdgeWidth();
  setUpdatesEnabled(false);  // all moves land together
  for (const HostedControl& hosted : m_controls) {
    const int index = CommandToIndex(hosted.pane_id);
    if (index < 0) continue;
    QRect box = rects[index];
    if (m_panes[index].style & kPaneNoBorders) {
      box.adjust(edge, 1, -edge, -1);
    } else {
      box.adjust(edge, edge, -edge, -edge);
    }
    hosted.control->setGeometry(box);
  }
  setUpdatesEnabled(true);
  update();
}

std::vector<QRect> CExtStatusControlBar::PaneRects() const {
  std::vector<QRect> rects;
  const int count = PaneCount();
  if (count == 0) return rects;
  int fixed = kPaneGap * (count - 1);
  int stretching = 0;
  for (const PaneInfo& pane : m_panes) {
    if (pane.style & kPaneStretch) {
      ++stretching;
    } else {
      fixed += pane.width;
    }
  }
  const int spare = std::max(0, width() - fixed);
  int given = 0;  // of the spare width, to the stretching panes so far
  int stretch_seen = 0;
  int x = 0;
  const int top = kTopMargin;
  const int height = std::max(0, this->height() - top - 1);
  for (const PaneInfo& pane : m_panes) {
    int pane_width = pane.width;
    if (pane.style & kPaneStretch) {
      ++stretch_seen;
      const int share = spare * stretch_seen / stretching - given;
      given += share;
      pane_width = std::max(pane.width, share);
    }
    rects.emplace_back(x, top, pane_width, height);
    x += pane_width + kPaneGap;
  }
  return rects;
}

int CExtStatusControlBar::EdgeWidth() const {
  return 1;
}
