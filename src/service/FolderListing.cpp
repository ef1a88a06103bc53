#include "service/FolderListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <wctype.h>

#include <algorithm>

#include "base/Utf8.h"

namespace {

// Case folding must not depend on the process locale (the C locale folds ASCII only).
locale_t Utf8Locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  return locale;
}

char32_t Fold(char32_t cp) {
  if (cp < 0x80) return (cp >= 'a' && cp <= 'z') ? cp - ('a' - 'A') : cp;
  if (cp > 0x10FFFF) return cp;
  const locale_t locale = Utf8Locale();
  if (locale == locale_t{}) return cp;
  return static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), locale));
}

}  // namespace

bool CFolderListing::NameLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t ca = Fold(tessel::NextCodePoint(a, i));
    const char32_t cb = Fold(tessel::NextCodePoint(b, j));
    if (ca != cb) return ca < cb;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

bool CFolderListing::Read(const std::string& folder, const CShareBoundary* boundary) {
  m_items.clear();
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  const int fd = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    struct stat st {};
    bool is_link = entry->d_type == DT_LNK;
    if (entry->d_type == DT_UNKNOWN) {
      if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      is_link = S_ISLNK(st.st_mode);
    }
    if (is_link && boundary != nullptr && !boundary->Admits(folder + "/" + entry->d_name)) continue;
    if (fstatat(fd, entry->d_name, &st, 0) != 0) continue;
    const bool is_folder = S_ISDIR(st.st_mode);
    if (!is_folder && !S_ISREG(st.st_mode)) continue;
    FolderItem item;
    item.name = entry->d_name;
    item.is_folder = is_folder;
    item.is_link = is_link;
    item.size = is_folder ? 0 : static_cast<std::uint64_t>(st.st_size);
    item.last_write = st.st_mtime;
    item.last_write_nsec = st.st_mtim.tv_nsec;
    item.mode = st.st_mode;
    item.device = st.st_dev;
    item.inode = st.st_ino;
    m_items.push_back(std::move(item));
  }
  closedir(dir);
  std::sort(m_items.begin(), m_items.end(),
            [](const FolderItem& x, const FolderItem& y) { return NameLess(x.name, y.name); });
  return true;
}
