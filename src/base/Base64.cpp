#include "base/Base64.h"

namespace tessel {

namespace {

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  unsigned bits = 0;  // sextets of the current group, oldest first
  int count = 0;      // sextets in the current group
  auto flush = [&] {
    // n sextets carry n * 6 / 8 whole bytes.
    int bytes = count * 6 / 8;
    bits <<= 6 * (4 - count);
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((bits >> (16 - 8 * i)) & 0xFF);
    bits = 0;
    count = 0;
  };
  for (char c : text) {
    if (c == '=') {
      flush();
      continue;
    }
    int sextet = SextetOf(c);
    if (sextet < 0) continue;
    bits = (bits << 6) | static_cast<unsigned>(sextet);
    if (++count == 4) flush();
  }
  flush();
  return out;
}

}  // namespace tessel
