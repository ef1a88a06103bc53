#include "app/CommandLine.h"

#include <array>
#include <utility>

#include "base/AsciiText.h"

CommandLine CommandLine::Parse(int argc, const char* const* argv) {
  CommandLine line;
  if (argc < 2 || !argv[1]) return line;
  line.first = argv[1];
  if (argc >= 3 && argv[2]) {
    line.path = argv[2];
    line.has_path = true;
  }
  // Tested in this order; the first match selects.
  static constexpr std::array<std::pair<const char*, Switch>, 6> kSwitches{{
      {"-f", Switch::kShareFile},
      {"-a", Switch::kShareAuth},
      {"-uninstall", Switch::kUninstall},
      {"-z", Switch::kZip},
      {"-mini", Switch::kMini},
      {"-headless", Switch::kHeadless},
  }};
  for (const auto& [text, which] : kSwitches) {
    if (tessel::EqualsNoCase(line.first, text)) {
      line.selected = which;
      break;
    }
  }
  return line;
}

bool CommandLine::NeedsPath() const {
  return selected == Switch::kShareFile || selected == Switch::kShareAuth ||
         selected == Switch::kZip;
}
