#pragma once

#include <QString>
#include <string>

namespace tessel::desktop {

// What an activity line is worth telling the owner about outside the window (a notification): a
// friend's upload that arrived, or logins from an address being refused. Empty for the rest
// (downloads, removals, notices).
QString ActivityNote(const std::string& line);

}  // namespace tessel::desktop
