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
  static constexpr std::array<std::pair<const char*, Switch>, 11> kSwitches{{
      {"-f", Switch::kShareFile},
      {"-a", Switch::kShareAuth},
      {"-uninstall", Switch::kUninstall},
      {"-z", Switch::kZip},
      {"-mini", Switch::kMini},
      {"-headless", Switch::kHeadless},
      {"-password", Switch::kPassword},
      {"-accounts", Switch::kAccounts},
      {"-h", Switch::kHelp},
      {"--help", Switch::kHelp},
      {"--version", Switch::kVersion},
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

std::string CommandLine::Usage() {
  return "Usage: tessel [SWITCH [PATH]]\n"
         "Shares files and folders of this computer with friends over the web.\n"
         "\n"
         "  -f PATH      share the file or folder for every visitor\n"
         "  -a PATH      share the file or folder for logged-in visitors\n"
         "  -z PATH      write a zip archive of the file or folder beside it, and end\n"
         "  -mini        start with the window hidden\n"
         "  -headless    run without any window, logging to standard output\n"
         "  -uninstall   remove the auto-start entry and end the running Tessel\n"
         "  -password NAME  give the account NAME a new password, read from standard input\n"
         "  -accounts    list the accounts (not their passwords)\n"
         "  -h, --help   print this help, and end\n"
         "  --version    print the version, and end\n"
         "\n"
         "Only the first argument selects a switch, in any letter case. When Tessel is already\n"
         "running, a later start hands it the share (or shows its window) and ends.\n"
         "See tessel(1) for where Tessel keeps its data and how it chooses its port.";
}

std::string CommandLine::VersionText() {
  return "Tessel " TESSEL_VERSION;
}
