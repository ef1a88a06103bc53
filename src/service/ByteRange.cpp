#include "service/ByteRange.h"

#include <algorithm>

ByteRange::Span ByteRange::Resolve(std::uint64_t size) const {
  if (suffix > 0) {
    const std::uint64_t last = std::min(suffix, size);
    return {size - last, last};
  }
  const std::uint64_t from = std::min(start, size);
  const std::uint64_t left = size - from;
  return {from, length < 0 ? left : std::min(static_cast<std::uint64_t>(length), left)};
}
