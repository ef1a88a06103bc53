#include "desktop/GfxOutBarCtrl.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimerEvent>
#include <QWheelEvent>
#include <algorithm>

#include "desktop/UiString.h"
#include "res/StringIds.h"

namespace {

constexpr int kItemsPadding = 6;  // above the first item and below the last
constexpr int kArrowSize = 16;    // the scroll buttons
const QColor kBackground(72, 84, 102);
const QColor kText(Qt::white);

}  // namespace

CGfxOutBarCtrl::CGfxOutBarCtrl(QWidget* parent, unsigned flags) : QWidget(parent), m_flags(flags) {
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

CGfxOutBarCtrl::~CGfxOutBarCtrl() {
  // An open editor must not report to a bar being destroyed.
  if (m_editor) disconnect(m_editor, nullptr, this, nullptr);
}

void CGfxOutBarCtrl::SetFlags(unsigned flags) {
  m_flags = flags;
  ScrollTo(m_scroll);
  update();
}

void CGfxOutBarCtrl::SetImageList(const QList<QIcon>& icons, int type, QSize icon_size) {
  if (type == kImageLarge) {
    m_large_icons = icons;
    m_large_size = icon_size.isEmpty() ? QSize(32, 32) : icon_size;
  } else if (type == kImageSmall) {
    m_small_icons = icons;
    m_small_size = icon_size.isEmpty() ? QSize(16, 16) : icon_size;
  }
  updateGeometry();
  ScrollTo(m_scroll);
  update();
}

int CGfxOutBarCtrl::AddFolder(const QString& caption, quintptr data) {
  m_folders.push_back(std::make_unique<CBarFolder>(caption, data));
  if (m_current < 0) m_current = 0;
  update();
  return GetFolderCount() - 1;
}

bool CGfxOutBarCtrl::RemoveFolder(int folder) {
  if (folder < 0 || folder >= GetFolderCount()) return false;
  m_folders.erase(m_folders.begin() + folder);
  if (folder < m_current || m_current >= GetFolderCount()) {
    m_current = std::max(m_current - 1, GetFolderCount() > 0 ? 0 : -1);
    m_scroll = 0;
  }
  m_hover_item = m_hover_folder = m_pressed_item = m_pressed_folder = -1;
  ScrollTo(m_scroll);
  update();
  return true;
}

CBarFolder* CGfxOutBarCtrl::GetFolder(int folder) {
  return folder >= 0 && folder < GetFolderCount() ? m_folders[folder].get() : nullptr;
}

int CGfxOutBarCtrl::InsertItem(int folder, int position, const QString& text, int image,
                               quintptr data) {
  CBarFolder* target = GetFolder(folder);
  if (!target) return -1;
  const int index = target->InsertItem(position, text, image, data);
  if (folder == m_current) {
    const int before = target->GetItemCount() - 1;
    if (index <= m_selected && m_selected < before) ++m_selected;  // stays on its item
    ScrollTo(m_scroll);
    update();
  }
  return index;
}

bool CGfxOutBarCtrl::RemoveItem(int index) {
  CBarFolder* folder = Current();
  if (!folder || !folder->RemoveItem(index)) return false;
  if (index < m_selected) --m_selected;
  m_selected = std::min(m_selected, std::max(0, folder->GetItemCount() - 1));
  m_hover_item = m_pressed_item = -1;
  ScrollTo(m_scroll);
  update();
  return true;
}

void CGfxOutBarCtrl::SetSelFolder(int folder) {
  if (folder < 0 || folder >= GetFolderCount() || folder == m_current) return;
  m_current = folder;
  m_scroll = 0;
  m_hover_item = m_pressed_item = -1;
  update();
}

void CGfxOutBarCtrl::SetSelectedItem(int index) {
  m_selected = index;
  EnsureVisible(index);
  repaint();
}

void CGfxOutBarCtrl::SetTimerPeriod(int period_ms) {
  if (period_ms <= 0) {
    m_timer.stop();
  } else {
    m_timer.start(period_ms, this);
  }
}

bool CGfxOutBarCtrl::StartItemEdit(int index) {
  const CBarFolder* folder = Current();
  if (!folder || !folder->GetItem(index)) return false;
  EnsureVisible(index);
  const QRect cell = ItemRect(index);
  const int line = fontMetrics().height() + 6;
  QRect start;
  if (m_flags & kSmallIcons) {
    const int left = cell.left() + 8 + IconSize().width() + 4;
    start = QRect(left, cell.center().y() - line / 2, cell.right() - left - 4, line);
  } else {
    start =
        QRect(cell.left() + 4, cell.top() + 6 + IconSize().height() + 2, cell.width() - 8, line);
  }
  OpenEditor(CGfxGroupEdit::Kind::kItem, index, start);
  return true;
}

bool CGfxOutBarCtrl::StartFolderEdit(int folder) {
  QRect caption = FolderRect(folder);
  if (caption.isEmpty()) {
    // A lone folder without a caption has no button; edit over the top of the items.
    if (!GetFolder(folder)) return false;
    caption = QRect(0, 0, width(), FolderHeight());
  }
  OpenEditor(CGfxGroupEdit::Kind::kFolder, folder, caption.adjusted(2, 2, -2, -2));
  return true;
}

QRect CGfxOutBarCtrl::ItemRect(int index) const {
  const CBarFolder* folder = Current();
  if (!folder || !folder->GetItem(index)) return {};
  const QRect area = ItemsArea();
  const QSize size = ItemSize();
  const QRect cell(area.left(), area.top() + kItemsPadding + index * size.height() - m_scroll,
                   size.width(), size.height());
  return cell.intersects(area) ? cell : QRect();
}

QRect CGfxOutBarCtrl::FolderRect(int folder) const {
  const int count = GetFolderCount();
  if (folder < 0 || folder >= count) return {};
  // A single folder without a caption needs no button.
  if (count == 1 && m_folders[0]->GetCaption().isEmpty()) return {};
  const int height = FolderHeight();
  if (folder <= m_current) return {0, folder * height, width(), height};
  return {0, this->height() - (count - folder) * height, width(), height};
}

QSize CGfxOutBarCtrl::sizeHint() const {
  int text = 0;
  for (const auto& folder : m_folders) {
    for (int i = 0; i < folder->GetItemCount(); ++i) {
      text = std::max(text, fontMetrics().horizontalAdvance(folder->GetItem(i)->GetText()));
    }
  }
  const int width = (m_flags & kSmallIcons) ? IconSize().width() + text + 30
                                            : std::max(IconSize().width() + 40, text + 24);
  return {std::clamp(width, 80, 200), 300};
}

QSize CGfxOutBarCtrl::minimumSizeHint() const {
  return {60, FolderHeight() * 2};
}

void CGfxOutBarCtrl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kBackground);

  for (int f = 0; f < GetFolderCount(); ++f) {
    const QRect caption = FolderRect(f);
    if (caption.isEmpty()) continue;
    QStyleOptionButton button;
    button.initFrom(this);
    button.rect = caption;
    button.text =
        fontMetrics().elidedText(m_folders[f]->GetCaption(), Qt::ElideRight, caption.width() - 12);
    button.state |= QStyle::State_Raised;
    if (f == m_hover_folder) button.state |= QStyle::State_MouseOver;
    if (f == m_pressed_folder && f == m_hover_folder) button.state |= QStyle::State_Sunken;
    style()->drawControl(QStyle::CE_PushButton, &button, &painter, this);
  }

  const CBarFolder* folder = Current();
  if (!folder) return;
  const QRect area = ItemsArea();
  painter.save();
  painter.setClipRect(area);
  painter.setRenderHint(QPainter::Antialiasing);
  const QSize icon_size = IconSize();
  const QList<QIcon>& icons = Icons();
  const bool small = m_flags & kSmallIcons;
  const QColor highlight = palette().color(QPalette::Highlight);
  for (int i = 0; i < folder->GetItemCount(); ++i) {
    const QRect cell = ItemRect(i);
    if (cell.isEmpty()) continue;
    const CBarItem& item = *folder->GetItem(i);
    QRect icon_box;
    QRect text_box;
    QRect mark;
    int text_flags;
    QString text = item.GetText();
    if (small) {
      icon_box = QRect(cell.left() + 8, cell.center().y() - icon_size.height() / 2 + 1,
                       icon_size.width(), icon_size.height());
      text_box = QRect(icon_box.right() + 7, cell.top(), cell.right() - icon_box.right() - 12,
                       cell.height());
      text = fontMetrics().elidedText(text, Qt::ElideRight, text_box.width());
      text_flags = Qt::AlignVCenter | Qt::AlignLeft;
      mark = cell.adjusted(3, 1, -3, -1);
    } else {
      icon_box = QRect(cell.center().x() - icon_size.width() / 2 + 1, cell.top() + 6,
                       icon_size.width(), icon_size.height());
      text_box = QRect(cell.left() + 4, icon_box.bottom() + 4, cell.width() - 8,
                       fontMetrics().height() * 2);
      text_flags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;
      const QRect used = fontMetrics().boundingRect(text_box, text_flags, text);
      mark = icon_box.united(used).adjusted(-8, -4, 8, 3);
    }
    const bool selected = (m_flags & kSelHighlight) && i == m_selected;
    const bool pressed = i == m_pressed_item && i == m_hover_item && !m_dragging;
    if (selected || pressed || i == m_hover_item) {
      QColor fill = selected ? highlight : QColor(255, 255, 255, 40);
      if (selected) fill.setAlpha(190);
      if (pressed) fill = fill.darker(130);
      QPainterPath path;
      path.addRoundedRect(QRectF(mark).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
      painter.fillPath(path, fill);
      if (selected) painter.strokePath(path, QPen(highlight.lighter(140), 1));
    }
    if (hasFocus() && i == m_selected) {
      painter.setPen(QPen(kText, 1, Qt::DotLine));
      painter.setBrush(Qt::NoBrush);
      painter.drawRoundedRect(QRectF(mark).adjusted(2.5, 2.5, -2.5, -2.5), 4, 4);
    }
    if (item.GetImage() >= 0 && item.GetImage() < icons.size()) {
      icons[item.GetImage()].paint(&painter, icon_box, Qt::AlignCenter,
                                   isEnabled() ? QIcon::Normal : QIcon::Disabled);
    }
    painter.setPen(isEnabled() ? kText : kText.darker(140));
    painter.drawText(text_box, text_flags, text);
  }

  if (m_dragging && m_drop_index >= 0) {
    const int y = area.top() + kItemsPadding + m_drop_index * ItemSize().height() - m_scroll;
    painter.setPen(QPen(kText, 2));
    painter.drawLine(area.left() + 6, y, area.right() - 6, y);
  }
  painter.restore();

  // Scroll buttons where more items lie out of sight.
  if (m_scroll > 0 || m_scroll < MaxScroll()) {
    for (bool up : {true, false}) {
      if (up ? m_scroll <= 0 : m_scroll >= MaxScroll()) continue;
      const QRect box =
          up ? QRect(area.right() - kArrowSize - 2, area.top() + 2, kArrowSize, kArrowSize)
             : QRect(area.right() - kArrowSize - 2, area.bottom() - kArrowSize - 2, kArrowSize,
                     kArrowSize);
      QStyleOptionButton button;
      button.initFrom(this);
      button.rect = box;
      button.state |= QStyle::State_Raised;
      style()->drawControl(QStyle::CE_PushButtonBevel, &button, &painter, this);
      QStyleOption arrow;
      arrow.initFrom(this);
      arrow.rect = box.adjusted(3, 3, -3, -3);
      style()->drawPrimitive(up ? QStyle::PE_IndicatorArrowUp : QStyle::PE_IndicatorArrowDown,
                             &arrow, &painter, this);
    }
  }
}

void CGfxOutBarCtrl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  const QPoint pos = event->position().toPoint();
  const QRect area = ItemsArea();
  // The scroll buttons act at once.
  if (QRect(area.right() - kArrowSize - 2, area.top() + 2, kArrowSize, kArrowSize).contains(pos) &&
      m_scroll > 0) {
    ScrollTo(m_scroll - ItemSize().height());
    return;
  }
  if (QRect(area.right() - kArrowSize - 2, area.bottom() - kArrowSize - 2, kArrowSize, kArrowSize)
          .contains(pos) &&
      m_scroll < MaxScroll()) {
    ScrollTo(m_scroll + ItemSize().height());
    return;
  }
  // Qt keeps the mouse with this widget until the button is released.
  m_press_pos = pos;
  m_pressed_folder = FolderAt(pos);
  m_pressed_item = m_pressed_folder < 0 ? ItemAt(pos) : -1;
  m_dragging = false;
  UpdateHover(pos);
  update();
}

void CGfxOutBarCtrl::mouseMoveEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  if (m_pressed_item >= 0 && (m_flags & kDragItems) && (event->buttons() & Qt::LeftButton)) {
    if (!m_dragging && (pos - m_press_pos).manhattanLength() >= QApplication::startDragDistance()) {
      m_dragging = true;
      setCursor(Qt::DragMoveCursor);
    }
    if (m_dragging) {
      m_drop_index = DropIndexAt(pos);
      update();
      return;
    }
  }
  UpdateHover(pos);
}

void CGfxOutBarCtrl::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mouseReleaseEvent(event);
    return;
  }
  const QPoint pos = event->position().toPoint();
  const int pressed_item = m_pressed_item;
  const int pressed_folder = m_pressed_folder;
  const bool dragging = m_dragging;
  const int drop = m_drop_index;
  m_pressed_item = m_pressed_folder = m_drop_index = -1;
  m_dragging = false;
  unsetCursor();
  update();

  if (dragging) {
    // Inserting before drop; past the item's own place that is one less once it is taken out.
    const int to = drop > pressed_item ? drop - 1 : drop;
    CBarFolder* folder = Current();
    if (folder && to >= 0 && to != pressed_item && to < folder->GetItemCount()) {
      Notification move;
      move.folder = m_current;
      move.index = pressed_item;
      move.to_index = to;
      if (Notify(kNotifyItemDragged, move) != 0 && folder->MoveItem(pressed_item, to)) {
        if (m_selected == pressed_item) {
          m_selected = to;
        } else if (pressed_item < m_selected && to >= m_selected) {
          --m_selected;
        } else if (pressed_item > m_selected && to <= m_selected) {
          ++m_selected;
        }
        update();
      }
    }
    return;
  }
  if (pressed_item >= 0 && ItemAt(pos) == pressed_item) {
    ClickItem(pressed_item);
  } else if (pressed_folder >= 0 && FolderAt(pos) == pressed_folder) {
    ChangeFolder(pressed_folder);
  }
}

void CGfxOutBarCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  const int folder = FolderAt(pos);
  if (event->button() == Qt::LeftButton && folder >= 0 && (m_flags & kEditFolders)) {
    StartFolderEdit(folder);
    return;
  }
  // The second press of a double click is a press like the first.
  mousePressEvent(event);
}

void CGfxOutBarCtrl::wheelEvent(QWheelEvent* event) {
  const int steps = event->angleDelta().y() / 120;
  if (steps == 0 || MaxScroll() == 0) {
    event->ignore();
    return;
  }
  ScrollTo(m_scroll - steps * ItemSize().height());
  UpdateHover(event->position().toPoint());
}

void CGfxOutBarCtrl::keyPressEvent(QKeyEvent* event) {
  const CBarFolder* folder = Current();
  const int count = folder ? folder->GetItemCount() : 0;
  switch (event->key()) {
    case Qt::Key_Up:
      if (m_selected > 0 && m_selected <= count) ClickItem(std::min(m_selected, count) - 1);
      return;
    case Qt::Key_Down:
      if (m_selected + 1 < count) ClickItem(std::max(m_selected + 1, 0));
      return;
    case Qt::Key_Home:
      if (count > 0) ClickItem(0);
      return;
    case Qt::Key_End:
      if (count > 0) ClickItem(count - 1);
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
      if (m_selected >= 0 && m_selected < count) ClickItem(m_selected);
      return;
    case Qt::Key_PageUp:
      if (m_current > 0) ChangeFolder(m_current - 1);
      return;
    case Qt::Key_PageDown:
      if (m_current + 1 < GetFolderCount()) ChangeFolder(m_current + 1);
      return;
    case Qt::Key_F2:
      if ((m_flags & kEditItems) && m_selected >= 0 && m_selected < count) {
        StartItemEdit(m_selected);
      } else if (m_flags & kEditFolders) {
        StartFolderEdit(m_current);
      }
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void CGfxOutBarCtrl::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  UpdateHover(QPoint(-1, -1));
}

void CGfxOutBarCtrl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ScrollTo(m_scroll);
}

void CGfxOutBarCtrl::contextMenuEvent(QContextMenuEvent* event) {
  const bool by_mouse = event->reason() == QContextMenuEvent::Mouse;
  const int folder = by_mouse ? FolderAt(event->pos()) : -1;
  const int item = by_mouse ? (folder < 0 ? ItemAt(event->pos()) : -1) : m_selected;
  const bool on_item = item >= 0 && Current() && Current()->GetItem(item);
  const int target_folder = folder >= 0 ? folder : m_current;
  const bool rename = on_item ? (m_flags & kEditItems) : (m_flags & kEditFolders);
  const bool remove = on_item ? (m_flags & kRemoveItems) : (m_flags & kRemoveFolders);
  if ((!rename && !remove) || target_folder < 0) {
    event->ignore();
    return;
  }
  QMenu menu(this);
  QAction* rename_action =
      rename ? menu.addAction(tessel::desktop::UiString(tessel::res::IDS_OUTBAR_RENAME)) : nullptr;
  QAction* remove_action =
      remove ? menu.addAction(tessel::desktop::UiString(tessel::res::IDS_OUTBAR_REMOVE)) : nullptr;
  const QPoint at = by_mouse ? event->globalPos()
                             : mapToGlobal(on_item ? ItemRect(item).center()
                                                   : FolderRect(target_folder).center());
  QAction* chosen = menu.exec(at);
  if (!chosen) return;
  if (chosen == rename_action) {
    if (on_item) {
      StartItemEdit(item);
    } else {
      StartFolderEdit(target_folder);
    }
  } else if (chosen == remove_action) {
    Notification removal;
    removal.folder = on_item ? m_current : target_folder;
    removal.index = on_item ? item : -1;
    if (Notify(on_item ? kNotifyItemRemoving : kNotifyFolderRemoving, removal) == 0) return;
    if (on_item) {
      RemoveItem(item);
    } else {
      RemoveFolder(target_folder);
    }
  }
}

void CGfxOutBarCtrl::timerEvent(QTimerEvent* event) {
  if (event->timerId() != m_timer.timerId()) {
    QWidget::timerEvent(event);
    return;
  }
  if (m_hover_item < 0 && m_hover_folder < 0) return;
  const QPoint pos = mapFromGlobal(QCursor::pos());
  UpdateHover(rect().contains(pos) && isActiveWindow() ? pos : QPoint(-1, -1));
}

long CGfxOutBarCtrl::Notify(int code, const Notification& notification) {
  return m_owner ? m_owner(code, notification) : 0;
}

CBarFolder* CGfxOutBarCtrl::Current() {
  return GetFolder(m_current);
}

const CBarFolder* CGfxOutBarCtrl::Current() const {
  return m_current >= 0 && m_current < GetFolderCount() ? m_folders[m_current].get() : nullptr;
}

QRect CGfxOutBarCtrl::ItemsArea() const {
  const int count = GetFolderCount();
  if (count == 0 || FolderRect(0).isEmpty()) return rect();
  const int height = FolderHeight();
  const int top = (m_current + 1) * height;
  const int bottom = this->height() - (count - m_current - 1) * height;
  return {0, top, width(), std::max(0, bottom - top)};
}

int CGfxOutBarCtrl::FolderHeight() const {
  return fontMetrics().height() + 10;
}

QSize CGfxOutBarCtrl::ItemSize() const {
  const int line = fontMetrics().height();
  if (m_flags & kSmallIcons) return {width(), std::max(IconSize().height(), line) + 10};
  return {width(), IconSize().height() + 2 * line + 18};
}

const QList<QIcon>& CGfxOutBarCtrl::Icons() const {
  return (m_flags & kSmallIcons) ? m_small_icons : m_large_icons;
}

QSize CGfxOutBarCtrl::IconSize() const {
  return (m_flags & kSmallIcons) ? m_small_size : m_large_size;
}

int CGfxOutBarCtrl::ItemAt(const QPoint& pos) const {
  const CBarFolder* folder = Current();
  const QRect area = ItemsArea();
  if (!folder || !area.contains(pos)) return -1;
  const int y = pos.y() - area.top() - kItemsPadding + m_scroll;
  if (y < 0) return -1;
  const int index = y / ItemSize().height();
  return index < folder->GetItemCount() ? index : -1;
}

int CGfxOutBarCtrl::FolderAt(const QPoint& pos) const {
  for (int f = 0; f < GetFolderCount(); ++f) {
    if (FolderRect(f).contains(pos)) return f;
  }
  return -1;
}

int CGfxOutBarCtrl::DropIndexAt(const QPoint& pos) const {
  const CBarFolder* folder = Current();
  if (!folder) return -1;
  const int y = pos.y() - ItemsArea().top() - kItemsPadding + m_scroll;
  const int height = ItemSize().height();
  return std::clamp((y + height / 2) / height, 0, folder->GetItemCount());
}

int CGfxOutBarCtrl::MaxScroll() const {
  const CBarFolder* folder = Current();
  if (!folder) return 0;
  const int content = 2 * kItemsPadding + folder->GetItemCount() * ItemSize().height();
  return std::max(0, content - ItemsArea().height());
}

void CGfxOutBarCtrl::ScrollTo(int offset) {
  const int scroll = std::clamp(offset, 0, MaxScroll());
  if (scroll == m_scroll) return;
  m_scroll = scroll;
  update();
}

void CGfxOutBarCtrl::EnsureVisible(int index) {
  const CBarFolder* folder = Current();
  if (!folder || !folder->GetItem(index)) return;
  const QRect area = ItemsArea();
  const int height = ItemSize().height();
  const int top = kItemsPadding + index * height;  // in content coordinates
  if (top < m_scroll) {
    ScrollTo(top - kItemsPadding);
  } else if (top + height > m_scroll + area.height()) {
    ScrollTo(top + height + kItemsPadding - area.height());
  }
}

void CGfxOutBarCtrl::ClickItem(int index) {
  m_selected = index;
  EnsureVisible(index);
  // The owner is told once the bar shows the new selection.
  repaint();
  Notification click;
  click.folder = m_current;
  click.index = index;
  Notify(kNotifyItemClicked, click);
}

void CGfxOutBarCtrl::ChangeFolder(int folder) {
  if (folder == m_current || !GetFolder(folder)) return;
  SetSelFolder(folder);
  repaint();
  Notification change;
  change.folder = folder;
  Notify(kNotifyFolderChanged, change);
}

void CGfxOutBarCtrl::OnEditEnded(CGfxGroupEdit::Kind kind, int index, const QString& text) {
  Notification edit;
  edit.text = text;
  if (kind == CGfxGroupEdit::Kind::kItem) {
    CBarFolder* folder = Current();
    if (!folder || !folder->GetItem(index)) return;
    edit.folder = m_current;
    edit.index = index;
    if (Notify(kNotifyItemText, edit) == 0) return;
    folder->GetItem(index)->SetText(text);
  } else {
    CBarFolder* folder = GetFolder(index);
    if (!folder) return;
    edit.folder = index;
    if (Notify(kNotifyFolderText, edit) == 0) return;
    folder->SetCaption(text);
  }
  updateGeometry();
  update();
}

void CGfxOutBarCtrl::OpenEditor(CGfxGroupEdit::Kind kind, int index, const QRect& start) {
  if (m_editor) m_editor->Close();
  const QString text = kind == CGfxGroupEdit::Kind::kItem ? Current()->GetItem(index)->GetText()
                                                          : m_folders[index]->GetCaption();
  m_editor = new CGfxGroupEdit(this, kind, index, text, start, rect());
  connect(m_editor, &CGfxGroupEdit::EditEnded, this, &CGfxOutBarCtrl::OnEditEnded);
  m_editor->show();
  m_editor->setFocus(Qt::OtherFocusReason);
}

void CGfxOutBarCtrl::UpdateHover(const QPoint& pos) {
  const int folder = FolderAt(pos);
  const int item = folder < 0 ? ItemAt(pos) : -1;
  if (folder == m_hover_folder && item == m_hover_item) return;
  m_hover_folder = folder;
  m_hover_item = item;
  update();
}
