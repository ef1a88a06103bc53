#include "desktop/GfxOutBarCtrl.h"

// The bar's folders and items, the selection and the in-place editing; GfxOutBarLayout.cpp
// places and paints them, GfxOutBarInput.cpp takes the mouse and the keys.

#include <algorithm>

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

long CGfxOutBarCtrl::Notify(int code, const Notification& notification) {
  return m_owner ? m_owner(code, notification) : 0;
}

CBarFolder* CGfxOutBarCtrl::Current() {
  return GetFolder(m_current);
}

const CBarFolder* CGfxOutBarCtrl::Current() const {
  return m_current >= 0 && m_current < GetFolderCount() ? m_folders[m_current].get() : nullptr;
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
