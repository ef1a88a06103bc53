#pragma once
#include <string>

// Where the running program lies: the database, the upload folder and the web folder sit beside
// the executable.
namespace tessel {

// The path of the running executable (from /proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();

// The folder of the running executable without a trailing "/"; empty when it cannot be read.
std::string ExecutableFolder();

}  // namespace tessel
