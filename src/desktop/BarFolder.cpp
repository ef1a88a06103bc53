#include "desktop/BarFolder.h"

#include <algorithm>

CBarItem* CBarFolder::GetItem(int index) {
  return index >= 0 && index < GetItemCount() ? m_items[index].get() : nullptr;
}

const CBarItem* CBarFolder::GetItem(int index) const {
  return index >= 0 && index < GetItemCount() ? m_items[index].get() : nullptr;
}

int CBarFolder::InsertItem(int position, const QString& text, int image, quintptr data) {
  position = std::clamp(position, 0, GetItemCount());
  m_items.insert(m_items.begin() + position, std::make_unique<CBarItem>(text, image, data));
  return position;
}

bool CBarFolder::RemoveItem(int index) {
  if (index < 0 || index >= GetItemCount()) return false;
  m_items.erase(m_items.begin() + index);
  return true;
}

bool CBarFolder::MoveItem(int from, int to) {
  const int count = GetItemCount();
  if (from < 0 || from >= count || to < 0 || to >= count) return false;
  std::unique_ptr<CBarItem> item = std::move(m_items[from]);
  m_items.erase(m_items.begin() + from);
  m_items.insert(m_items.begin() + to, std::move(item));
  return true;
}
