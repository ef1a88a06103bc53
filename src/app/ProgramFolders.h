#pragma once

#include <string>

namespace tessel {

// Where the program finds its web folder and keeps its data (the database and the upload folder).
// A portable program, with a "web" folder beside its executable (the build folder, or a copy of
// it), keeps everything there. An installed one, whose web folder is ../share/tessel/web from the
// executable's folder, keeps its data per user in DataHome()/tessel, as the executable's folder
// is shared by every user and not theirs to write. Without either web folder it is portable.
struct ProgramFolders {
  std::string executable;  // the folder of the running executable
  std::string web;         // the images the pages use
  std::string data;        // tessel.mdb and upload/
  bool installed = false;

  // The folders of an executable in executable_folder, for a user whose XDG data folder is
  // data_home. An installed program without a data_home (no home folder is known) falls back to
  // the executable's folder, where its database most likely cannot be written.
  static ProgramFolders Locate(const std::string& executable_folder, const std::string& data_home);
  // The folders of the running executable, for the user running it.
  static ProgramFolders OfThisProcess();
};

// Makes folder and the missing folders above it readable by the user alone (mode 0700, whatever
// the umask); an existing folder is left as it is. False, with *error saying why, when it cannot.
bool MakePrivateFolder(const std::string& folder, std::string* error);

}  // namespace tessel
