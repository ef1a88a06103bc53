#pragma once

#include <string>

// What the command line asks for. Only the first argument selects a switch, compared without
// regard to letter case; the second is the path (or the account name) of the switches that take
// one; the rest is ignored.
struct CommandLine {
  enum class Switch {
    kNone,       // no argument, or one that is no switch
    kShareFile,  // "-f": share the path publicly
    kShareAuth,  // "-a": share the path for logged-in visitors
    kUninstall,  // "-uninstall": remove the auto-start entry, end the running instance
    kZip,        // "-z": write a zip archive of the path beside it
    kMini,       // "-mini": start without showing the window
    kHeadless,   // "-headless": run without any window or display, logging to standard output
    kPassword,   // "-password": give the account named by the second argument a new password
    kAccounts,   // "-accounts": list the accounts
    kHelp,       // "-h" or "--help": print the usage and end
    kVersion,    // "--version": print the version and end
  };

  Switch selected = Switch::kNone;
  std::string first;  // the first argument as given (empty when there is none)
  std::string path;   // the second argument (empty when there is none): a path, or a name
  bool has_path = false;

  // Reads argv[1] and argv[2]; argv[0] is the program.
  static CommandLine Parse(int argc, const char* const* argv);
  // Whether the selected switch needs a path.
  bool NeedsPath() const;

  // What "--help" prints: the switches, one a line, without a final line break.
  static std::string Usage();
  // What "--version" prints: "Tessel " and the version.
  static std::string VersionText();
};
