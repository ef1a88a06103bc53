#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTimerEvent>
#include <QWheelEvent>
#include <algorithm>

#include "desktop/GfxOutBarCtrl.h"
#include "desktop/UiString.h"
#include "res/StringIds.h"

// The bar's answers to the mouse, the wheel, the keys and the context menu.

void CGfxOutBarCtrl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  const QPoint pos = event->position().toPoint();
  // The scroll buttons act at once.
  if (ScrollButton(true).contains(pos) && m_scroll > 0) {
    ScrollTo(m_scroll - ItemSize().height());
    return;
  }
  if (ScrollButton(false).contains(pos) && m_scroll < MaxScroll()) {
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

void CGfxOutBarCtrl::UpdateHover(const QPoint& pos) {
  const int folder = FolderAt(pos);
  const int item = folder < 0 ? ItemAt(pos) : -1;
  if (folder == m_hover_folder && item == m_hover_item) return;
  m_hover_folder = folder;
  m_hover_item = item;
  update();
}
