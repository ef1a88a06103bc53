#include "app/ZipCommand.h"

#include <sys/stat.h>

#include <filesystem>

#include "service/Zipper.h"

namespace fs = std::filesystem;

namespace {

std::string WithoutTrailingSlash(std::string path) {
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string tessel::ZipArchivePath(const std::string& path, bool is_folder) {
  const std::string base = WithoutTrailingSlash(path);
  if (is_folder) return base + ".zip";
  // Only the file's own name has an extension: a dot in a folder name above it must not move the
  // archive out of that folder.
  const std::size_t name_start = base.rfind('/') + 1;  // npos + 1 is 0
  const std::size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot <= name_start) return base + ".zip";
  return base.substr(0, dot) + ".zip";
}

tessel::ZipOutcome tessel::ZipBeside(const std::string& path, std::string& archive) {
  struct stat entry {};
  if (path.empty() || stat(path.c_str(), &entry) != 0) return ZipOutcome::kNotFound;
  const bool is_folder = S_ISDIR(entry.st_mode);

  std::error_code ec;
  fs::path full = fs::absolute(WithoutTrailingSlash(path), ec);
  if (ec) return ZipOutcome::kCannotCreate;
  // "." or ".." name a folder only relative to another: use its real name.
  if (full.filename() == "." || full.filename() == "..") {
    full = fs::canonical(full, ec);
    if (ec) return ZipOutcome::kCannotCreate;
  }
  const std::string item = full.string();
  if (item == "/") return ZipOutcome::kCannotCreate;  // the root has nothing beside it
  archive = ZipArchivePath(item, is_folder);

  // Writing the archive would truncate the very file it is to hold.
  struct stat existing {};
  if (stat(archive.c_str(), &existing) == 0 && existing.st_dev == entry.st_dev &&
      existing.st_ino == entry.st_ino)
    return ZipOutcome::kSameFile;

  CZipper zipper;
  if (!zipper.OpenZip(archive, is_folder ? item + "/" : std::string())) {
    return ZipOutcome::kCannotCreate;
  }
  const bool added = is_folder ? zipper.AddFolderToZip(item + "/") : zipper.AddFileToZip(item);
  const bool closed = zipper.CloseZip();
  return added && closed ? ZipOutcome::kWritten : ZipOutcome::kWriteFailed;
}
