#pragma once

#include <string>
#include <utility>
#include <vector>

class CDataSystem;
class QTreeView;
class QWidget;

// Where the window opens and how large it is, and how wide its lists' columns are: kept in the
// settings when the window goes, so that the next start puts it all back.
class CWindowPlacement {
 public:
  // The setting of the window's place and size.
  static constexpr const char* kGeometrySetting = "WindowGeometry";

  // lists: each list with the name of the setting that keeps its column widths.
  CWindowPlacement(QWidget& window, CDataSystem& settings,
                   std::vector<std::pair<QTreeView*, std::string>> lists);

  // Puts the window and the columns back as last kept; a window never kept (or kept where no
  // screen shows it any more) gets its first placement. min_width: as in PlaceAtStart.
  void Restore(int min_width);
  // Keeps the window's place and size and the columns' widths.
  void Save();

  // Gives window its first size, at least min_width wide and never beyond the primary screen's
  // free area, centred on that area.
  static void PlaceAtStart(QWidget& window, int min_width);

 private:
  QWidget& m_window;
  CDataSystem& m_settings;
  std::vector<std::pair<QTreeView*, std::string>> m_lists;
};
