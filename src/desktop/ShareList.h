#pragma once

#include <QHash>
#include <QString>
#include <QTreeWidget>
#include <cstdint>
#include <ctime>
#include <vector>

class CDataFileShare;

// File Share: a row per share with the file's size and time. The paths are looked at on a thread
// of their own, never the window's: a share on a hung network mount must not freeze the window.
// Meanwhile the rows show what the last look found. A path that is gone (a USB stick unplugged,
// a mistyped path) keeps its share, greyed and marked missing, until the path is back or the
// owner deletes it.
class CShareList : public QTreeWidget {
  Q_OBJECT

 public:
  enum Column : int {
    kColName,
    kColType,
    kColSize,
    kColFileTime,
    kColShareTime,
    kColUploader,
    kColPath,
    kColDescription,
  };

  CShareList(CDataFileShare& shares, QWidget* parent = nullptr);

  // Lists the stored shares again, and looks at their paths anew; the rows chosen before stay
  // chosen.
  void Fill();
  // Whether a look at the paths is under way.
  bool Looking() const { return m_looking; }
  // The name of the row that is both current and selected, or empty.
  QString FocusedName() const;
  // Removes the selected shares (never the files) and their rows.
  void DeleteSelected();

  // What a look found at a path.
  struct PathInfo {
    enum class State { kUnknown, kFound, kUnreadable, kMissing } state = State::kUnknown;
    uint64_t size = 0;
    std::time_t time = 0;
  };
  // Looks at path (with stat); blocks as long as the file system does.
  static PathInfo Look(const std::string& path);

 signals:
  // A look at the paths has ended and the rows show what it found.
  void Looked();

 protected:
  // Leaves the copy key to the window, which copies the share's URL rather than the cell.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void StartLook();
  void TakeLook(const QHash<QString, PathInfo>& found);
  void ShowPath(QTreeWidgetItem* row, const PathInfo& info) const;

  CDataFileShare& m_shares;
  QHash<QString, PathInfo> m_paths;  // by path, from the last look
  bool m_looking = false;
  bool m_look_again = false;  // the shares changed during a look
};
