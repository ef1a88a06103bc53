#include "store/ShareBoundary.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <memory>

namespace {

// The path with every link, "." and ".." resolved; empty when some part does not exist. The
// kernel names what it opened in half the time realpath(3) takes to walk the path component by
// component; realpath stands in where /proc is not mounted.
std::string RealPath(const std::string& path) {
  const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return {};
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t length = readlink(link, target, sizeof target);
  close(fd);
  if (length > 0 && length < static_cast<ssize_t>(sizeof target) && target[0] == '/')
    return std::string(target, static_cast<std::size_t>(length));
  const std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
  return real ? std::string(real.get()) : std::string();
}

// Whether path is root or lies below it; a separator must follow the root.
bool Inside(const std::string& root, const std::string& path) {
  if (root.empty() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || root == "/" || path[root.size()] == '/';
}

}  // namespace

CShareBoundary::CShareBoundary(const std::string& share_path) {
  if (share_path.empty() || share_path.front() != '/') return;
  m_root = std::filesystem::path(share_path).lexically_normal().string();
  while (m_root.size() > 1 && m_root.back() == '/') m_root.pop_back();
}

const std::string& CShareBoundary::RealRoot() const {
  if (!m_resolved) {
    m_real_root = RealPath(m_root);
    m_resolved = true;
  }
  return m_real_root;
}

bool CShareBoundary::Admits(const std::string& path) const {
  if (m_root.empty()) return false;
  const std::string real = RealPath(path);
  if (real.empty()) return false;
  // No link lies along a real path, so when it passes through the share's path as written, that
  // path is real too, and the second resolution is spared: the usual case of a share without
  // links.
  return Inside(m_root, real) || Inside(RealRoot(), real);
}
