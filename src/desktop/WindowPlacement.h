#pragma once

class QWidget;

// Where the window opens and how large it is.
class CWindowPlacement {
 public:
  // Gives window its first size, at least min_width wide and never beyond the primary screen's
  // free area, centred on that area.
  static void PlaceAtStart(QWidget& window, int min_width);
};
