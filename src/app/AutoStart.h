#pragma once

#include <string>

// The per-user auto-start entry: a desktop entry in the XDG autostart folder that starts the
// program with "-mini" when the user logs in.
namespace tessel {

// $XDG_CONFIG_HOME/autostart/Tessel.desktop, where an unset, empty or relative XDG_CONFIG_HOME
// means $HOME/.config. Empty when no home folder is known.
std::string AutoStartEntryPath();

// The Exec value that starts program_path with "-mini", quoted and escaped as desktop entries
// require when the path holds blanks or other reserved characters.
std::string AutoStartExec(const std::string& program_path);

// Writes the entry for program_path (creating the autostart folder), replacing it whole. True
// when written.
bool WriteAutoStartEntry(const std::string& program_path);

// Removes the entry. True when no entry is left.
bool RemoveAutoStartEntry();

}  // namespace tessel
