#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/DataBasic.h"
#include "store/ShareBoundary.h"

// One row of the table fileshare.
struct FileShareRecord {
  static constexpr int kModePublic = 0;  // any visitor; every other value needs a login
  static constexpr int kModeAuth = 1;

  std::string name;         // key; what visitors see and use in links
  std::string path;         // full local path of the shared file or folder
  std::string description;  // free text
  int share_mode = kModePublic;
  std::string share_time;  // time stamp of the moment the share was made; lists sort by it
  std::string uploader;    // account that uploaded the file; empty for local shares

  bool operator==(const FileShareRecord&) const = default;
};

// The shares. Share names are unique and compare without regard to letter case. Every operation
// may be called from any thread; failures come back as false, the empty text or 0.
class CDataFileShare : public CDataBasic {
 public:
  explicit CDataFileShare(const std::string& program_folder = tessel::ExecutableFolder());
  ~CDataFileShare() override;

  // Opens the database file, creating it when missing.
  bool Open() override;

  // Shares local_path under a free name chosen as MakeUniqueShareName does, stamped with the
  // present time; name choice and insert are one transaction, so two calls (on any connection)
  // never get the same name. Returns the name, or the empty text when nothing was added; then
  // *busy (when given) tells whether that was because another connection held the file's write
  // lock beyond the write wait, which a later try may overcome.
  std::string ShareFile(const std::string& local_path, const std::string& uploader, int share_mode,
                        bool* busy = nullptr);
  // Adds the record under its own name (taken as given) stamped with the present time; false
  // when the name is taken or the row cannot be written.
  bool AddShare(const FileShareRecord& record);
  // Reads the named share into record; false (record untouched) when there is none.
  bool GetShare(const std::string& share_name, FileShareRecord& record);
  // Rewrites the share now named current_name with every field of the record, its name and
  // share time included; false when there is no such share or the row cannot be written (as
  // when the new name is taken).
  bool ModifyShare(const FileShareRecord& record, const std::string& current_name);
  // Removes the named share; true when the statement ran, also when nothing matched.
  bool RemoveShare(const std::string& share_name);
  // Removes the named share only if uploader uploaded it; a local share (no uploader) is never
  // removed this way. True when the statement ran, also when nothing matched.
  bool RemoveUploaderShare(const std::string& share_name, const std::string& uploader);
  // The local path of the named share, or the empty text when there is none.
  std::string GetSharePath(const std::string& share_name);
  // Whether a visitor may use a share-relative name ("docs\sub\a.txt" is decided by the share
  // "docs"): a public share admits everyone, any other share any existing account name.
  bool CanAccessShare(const std::string& relative_name, const std::string& account_name);
  // Replaces the three lists with the shares' names, local paths and uploaders, index for index,
  // oldest share first: all shares, or only public ones. Returns the number listed.
  int ListShareNames(std::vector<std::string>& names, std::vector<std::string>& paths,
                     std::vector<std::string>& uploaders, bool all_shares);
  // Replaces the list with every share, oldest first. Returns the number listed.
  int ListShares(std::vector<FileShareRecord>& shares);
  // The boundary that the items of the share named by a share-relative name ("docs\sub" is
  // decided by "docs") must keep to; one that admits nothing for an unknown share.
  CShareBoundary GetShareBoundary(const std::string& relative_name);
  // A share name that is free now, made from the path's last component (the text after the
  // last "/"; for a path ending in "/" its first character): report.pdf, then report-2.pdf,
  // report-3.pdf... The name is only reserved by ShareFile, which chooses it itself.
  std::string MakeUniqueShareName(const std::string& local_path);

  // An item inside a share, as LocateShareItem finds it.
  struct ShareItem {
    std::string share_name;  // as the visitor wrote it
    std::string below;       // normalised, "\" before each folder; empty for the share itself
    std::string local_path;  // the share's path or below it, also once links are resolved
    int share_mode = FileShareRecord::kModeAuth;  // a mode that is no number is not public
  };
  // Looks up the share named by the text of relative_name before its first "\" and places the
  // rest below the share's path. False when the share is unknown, the result is longer than
  // tessel::kMaxLocalPath or leaves the share (by its text or by the links along it). Whether
  // the item exists is not looked at.
  bool LocateShareItem(const std::string& relative_name, ShareItem& item);

 private:
  static std::string UniqueName(CADO::CADORecordset& rs, const std::string& local_path);
  static void ReadRecord(CADO::CADORecordset& rs, FileShareRecord& record);
};
