#pragma once

#include <QBasicTimer>
#include <QIcon>
#include <QList>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "desktop/BarFolder.h"
#include "desktop/GfxGroupEdit.h"

// The outlook-style bar: folder caption buttons, and the items of the current folder as icons
// with their texts. The bar tells its owner what happens through one callback with a code; the
// owner's answer accepts (non-zero) or refuses (0) what codes 2, 3, 4, 6 and 7 propose. With
// keyboard focus, Up/Down/Home/End select items as clicks do, Page Up/Down change the folder, F2
// edits the selected item's text.
class CGfxOutBarCtrl : public QWidget {
  Q_OBJECT

 public:
  // Option flags given at creation.
  static constexpr unsigned kSmallIcons = 0x004;     // items drawn with the small image list
  static constexpr unsigned kEditFolders = 0x010;    // double click or F2 on a caption edits it
  static constexpr unsigned kEditItems = 0x020;      // F2 or the context menu edits an item
  static constexpr unsigned kRemoveFolders = 0x040;  // the context menu removes folders
  static constexpr unsigned kRemoveItems = 0x080;    // the context menu removes items
  static constexpr unsigned kSelHighlight = 0x100;   // the selected item is drawn highlighted
  static constexpr unsigned kDragItems = 0x200;      // items may be dragged to another place
  static constexpr unsigned kDefaultFlags = kSmallIcons | kEditFolders | kEditItems |
                                            kRemoveFolders | kRemoveItems | kSelHighlight |
                                            kDragItems;

  // Image list types.
  static constexpr int kImageSmall = 1;
  static constexpr int kImageLarge = 2;

  // Notification codes.
  static constexpr int kNotifyItemClicked = 1;     // index: the item, now selected; answer ignored
  static constexpr int kNotifyItemText = 2;        // index and text: an item's edited text
  static constexpr int kNotifyFolderText = 3;      // folder and text: a caption's edited text
  static constexpr int kNotifyItemDragged = 4;     // folder, index, to_index: a proposed move
  static constexpr int kNotifyFolderChanged = 5;   // folder: the new current folder; ignored
  static constexpr int kNotifyItemRemoving = 6;    // folder and index: removal asked for
  static constexpr int kNotifyFolderRemoving = 7;  // folder: removal asked for

  struct Notification {
    int folder = -1;    // the folder concerned (the current one for items)
    int index = -1;     // the item concerned
    int to_index = -1;  // code 4: where the item would go
    QString text;       // codes 2 and 3: the new text, never empty
  };
  using Owner = std::function<long(int code, const Notification& notification)>;

  explicit CGfxOutBarCtrl(QWidget* parent = nullptr, unsigned flags = kDefaultFlags);
  ~CGfxOutBarCtrl() override;

  // Without an owner every proposal is refused.
  void SetOwner(Owner owner) { m_owner = std::move(owner); }
  unsigned GetFlags() const { return m_flags; }
  void SetFlags(unsigned flags);

  // icon_size empty: 32 x 32 for large icons, 16 x 16 for small ones.
  void SetImageList(const QList<QIcon>& icons, int type, QSize icon_size = QSize());

  // Appends a folder; returns its index. The first folder added becomes the current one.
  int AddFolder(const QString& caption, quintptr data = 0);
  bool RemoveFolder(int folder);
  int GetFolderCount() const { return static_cast<int>(m_folders.size()); }
  CBarFolder* GetFolder(int folder);
  // Inserts an item into a folder before position; returns its index, or -1 for no such folder.
  int InsertItem(int folder, int position, const QString& text, int image, quintptr data = 0);
  // Removes an item of the current folder.
  bool RemoveItem(int index);

  int GetSelFolder() const { return m_current; }
  // Makes folder the current one and repaints; the owner is not told (it asked).
  void SetSelFolder(int folder);
  // The selected item of the current folder (0 at first).
  int GetSelectedItem() const { return m_selected; }
  void SetSelectedItem(int index);

  // Period of the bar's own timer, which drops the hover mark when the mouse left without the
  // bar seeing it (a dialog opened by the click took the mouse). 0 or less stops it.
  void SetTimerPeriod(int period_ms);

  // Opens the in-place editor over an item of the current folder or a folder's caption. False
  // for an index out of range.
  bool StartItemEdit(int index);
  bool StartFolderEdit(int folder);
  // The open in-place editor, or nullptr.
  CGfxGroupEdit* GetEditor() const { return m_editor; }

  // Where an item of the current folder, or a folder's caption, is drawn now; empty when it is
  // out of sight.
  QRect ItemRect(int index) const;
  QRect FolderRect(int folder) const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  static constexpr int kItemsPadding = 6;  // above the first item and below the last
  static constexpr int kArrowSize = 16;    // the scroll buttons

  long Notify(int code, const Notification& notification);
  // The current folder, or nullptr when there is none.
  CBarFolder* Current();
  const CBarFolder* Current() const;
  QRect ItemsArea() const;
  int FolderHeight() const;
  QSize ItemSize() const;
  const QList<QIcon>& Icons() const;
  QSize IconSize() const;
  int ItemAt(const QPoint& pos) const;
  int FolderAt(const QPoint& pos) const;
  // Where a dragged item would go for the mouse at pos.
  int DropIndexAt(const QPoint& pos) const;
  // The button that scrolls the items up or down, where it is drawn when there is more to see.
  QRect ScrollButton(bool up) const;
  int MaxScroll() const;
  void ScrollTo(int offset);
  void EnsureVisible(int index);
  void ClickItem(int index);
  void ChangeFolder(int folder);
  void OnEditEnded(CGfxGroupEdit::Kind kind, int index, const QString& text);
  void OpenEditor(CGfxGroupEdit::Kind kind, int index, const QRect& start);
  void UpdateHover(const QPoint& pos);

  unsigned m_flags;
  Owner m_owner;
  std::vector<std::unique_ptr<CBarFolder>> m_folders;
  int m_current = -1;
  int m_selected = 0;
  int m_scroll = 0;  // pixels of the current folder's items scrolled out at the top
  QList<QIcon> m_large_icons;
  QList<QIcon> m_small_icons;
  QSize m_large_size{32, 32};
  QSize m_small_size{16, 16};
  QBasicTimer m_timer;

  // The mouse: what was pressed, what it is over, and a drag under way.
  int m_pressed_item = -1;
  int m_pressed_folder = -1;
  QPoint m_press_pos;
  bool m_dragging = false;
  int m_drop_index = -1;
  int m_hover_item = -1;
  int m_hover_folder = -1;

  QPointer<CGfxGroupEdit> m_editor;
};
