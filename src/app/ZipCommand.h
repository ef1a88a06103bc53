#pragma once

#include <string>

// The "-z" job: a zip archive of one file or folder, written beside it.
namespace tessel {

enum class ZipOutcome {
  kWritten,
  kNotFound,      // nothing exists at the path
  kSameFile,      // the archive would overwrite the file being archived (a file named x.zip)
  kCannotCreate,  // the archive cannot be created
  kWriteFailed,   // the archive is incomplete: an item could not be read or written
};

// Where the archive of path goes, after one trailing "/" is removed: a folder's path followed by
// ".zip"; a file's path without its extension (from the last "." of its own name; a leading dot
// starts no extension) followed by ".zip".
std::string ZipArchivePath(const std::string& path, bool is_folder);

// Writes the archive of path: for a folder its contents, named by their paths inside it; for a
// file one entry of the bare file name. archive receives the archive's path.
ZipOutcome ZipBeside(const std::string& path, std::string& archive);

}  // namespace tessel
