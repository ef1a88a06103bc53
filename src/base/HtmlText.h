#pragma once
#include <string>
#include <string_view>

namespace tessel {

// Appends text to out with "&", "<", ">", '"' and "'" written as character references, so that
// it stands as text in an element or a quoted attribute.
void AppendHtmlEscaped(std::string& out, std::string_view text);

}  // namespace tessel
