#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>

#include "desktop/GfxOutBarCtrl.h"

// Where the bar's parts lie, how far its items are scrolled, and how it is painted.

namespace {

const QColor kBackground(72, 84, 102);
const QColor kText(Qt::white);

}  // namespace

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
      const QRect box = ScrollButton(up);
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

void CGfxOutBarCtrl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ScrollTo(m_scroll);
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

QRect CGfxOutBarCtrl::ScrollButton(bool up) const {
  const QRect area = ItemsArea();
  return up ? QRect(area.right() - kArrowSize - 2, area.top() + 2, kArrowSize, kArrowSize)
            : QRect(area.right() - kArrowSize - 2, area.bottom() - kArrowSize - 2, kArrowSize,
                    kArrowSize);
}
