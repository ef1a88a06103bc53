#include "desktop/BarFolder.h"

CBarItem* CBarFolder::GetItem(int) {
  return nullptr;
}
const CBarItem* CBarFolder::GetItem(int) const {
  return nullptr;
}
int CBarFolder::InsertItem(int, const QString&, int, quintptr) {
  return -1;
}
bool CBarFolder::RemoveItem(int) {
  return false;
}
bool CBarFolder::MoveItem(int, int) {
  return false;
}
