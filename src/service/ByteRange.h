#pragma once
#include <cstdint>

// The single byte range a request may ask for ("Range: bytes=..."), as read before the size of
// what is sent is known.
struct ByteRange {
  std::uint64_t start = 0;
  std::int64_t length = -1;  // -1: to the end of the file
  std::uint64_t suffix = 0;  // "bytes=-N": the last N bytes instead; 0 when not asked

  // The bytes of a file of size that the range names.
  struct Span {
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    bool operator==(const Span&) const = default;
  };

  // A suffix counts back from the end (all of a smaller file); otherwise the start is clamped to
  // the size and the length to what is left after it.
  Span Resolve(std::uint64_t size) const;

  // Whether the range names any byte of a file of size: not when its start is at or past the
  // end, though a start of 0 is the whole file, even an empty one; a suffix always does.
  bool Satisfiable(std::uint64_t size) const { return suffix > 0 || start == 0 || start < size; }

  bool operator==(const ByteRange&) const = default;
};
