#pragma once
#include <unistd.h>

#include <utility>

namespace tessel {

// Owns a file descriptor and closes it on every way out; -1 owns nothing.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(m_fd, -1); }
  // Closes the one held and takes fd; false when closing failed (a write may be lost).
  bool Reset(int fd = -1) {
    const int old = std::exchange(m_fd, fd);
    return old < 0 || close(old) == 0;
  }

 private:
  int m_fd = -1;
};

}  // namespace tessel
