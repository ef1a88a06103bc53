#pragma once

#include <string>

// The user's own folders, as the XDG base directory rules name them.
namespace tessel {

// $HOME, else the home folder of the user's account; empty when neither is known.
std::string HomeFolder();

// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config; empty without a home folder.
std::string ConfigHome();

// $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share; empty without a home
// folder.
std::string DataHome();

}  // namespace tessel
