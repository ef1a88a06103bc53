#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>
#include <vector>

#include "desktop/BarItem.h"

// One folder of the out bar: a caption button and its items in order.
class CBarFolder {
 public:
  CBarFolder(const QString& caption, quintptr data) : m_caption(caption), m_data(data) {}

  const QString& GetCaption() const { return m_caption; }
  void SetCaption(const QString& caption) { m_caption = caption; }
  quintptr GetData() const { return m_data; }

  int GetItemCount() const { return static_cast<int>(m_items.size()); }
  // nullptr for an index out of range.
  CBarItem* GetItem(int index);
  const CBarItem* GetItem(int index) const;
  // Inserts before position (clamped to 0 .. count). Returns the new item's index.
  int InsertItem(int position, const QString& text, int image, quintptr data);
  bool RemoveItem(int index);
  // Moves the item at from so that it ends up at index to. False when either is out of range.
  bool MoveItem(int from, int to);

 private:
  QString m_caption;
  quintptr m_data;
  std::vector<std::unique_ptr<CBarItem>> m_items;
};
