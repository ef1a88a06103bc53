#pragma once

#include <string>

// Where the items of one share may lie once symbolic links are resolved: at or below the real
// path of the share's own path. The share's path may itself be a link, as the owner chose it;
// a link below it is followed only while its target stays inside, so "etc -> /etc" or
// "up -> .." in a shared folder leads nowhere. Judged afresh on every call: the owner may change
// the folder at any time. Cheap to copy; not for use by several threads at once.
class CShareBoundary {
 public:
  // A boundary that admits nothing.
  CShareBoundary() = default;
  // The boundary of the share whose local path is share_path (absolute).
  explicit CShareBoundary(const std::string& share_path);

  // Whether path, with every link along it resolved, is the share's real path or lies below it.
  // False when path (or the share's path) does not exist or cannot be resolved.
  bool Admits(const std::string& path) const;
  // The share's path as given, normalised: names the boundary.
  const std::string& Root() const { return m_root; }

 private:
  // The real path of the share, resolved when first needed: most paths are judged without it.
  const std::string& RealRoot() const;

  std::string m_root;  // the share's path, normalised, without a trailing "/"
  mutable std::string m_real_root;
  mutable bool m_resolved = false;
};
