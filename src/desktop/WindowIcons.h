#pragma once

#include <QIcon>

// The pictures of the main window: the program's icon and those of the toolbar, the out bar
// and the lists. A bare Linux desktop may have no icon theme at all, so each is drawn here, as
// vector shapes at every size asked for, and looks the same everywhere.
class CWindowIcons {
 public:
  enum class Kind {
    kProgram,     // the window, the tray and the About box
    kNewAccount,  // toolbar
    kNewShare,
    kMyComputer,
    kMyShare,
    kUploadPath,
    kCopyUrl,
    kInternetCheck,
    kSettings,
    kHide,
    kExit,
    kFileShareView,  // out bar
    kFriendsView,
    kLogsView,
    kTransfersView,
    kPublicShare,  // File Share rows
    kAuthShare,
    kFriend,  // My Friends rows
  };

  // The icon of kind, made once and shared.
  static QIcon Icon(Kind kind);
  // A picture of kind at size x size device-independent pixels.
  static QPixmap Pixmap(Kind kind, int size);
};
