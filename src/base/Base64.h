#pragma once
#include <string>
#include <string_view>

namespace tessel {

// Decodes Base64 (RFC 4648 standard alphabet). "=" ends the group it stands in; bytes outside the
// alphabet (line ends, blanks) are skipped. Never fails: what cannot be decoded is left out.
std::string Base64Decode(std::string_view text);

}  // namespace tessel
