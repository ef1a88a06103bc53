// libFuzzer target for request-path resolution: whatever path a visitor sends, what it resolves
// to must lie inside a share (or the web folder), exist as the kind says, and carry a
// share-relative name that matches the local path. The first input byte chooses a route prefix.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzHarness.h"
#include "service/RequestResolver.h"
#include "store/DataFileShare.h"

namespace fs = std::filesystem;

namespace {

struct Share {
  std::string name;
  std::string path;
};

struct World {
  std::string folder;  // the program folder: tessel.mdb and web/
  std::vector<Share> shares;
  CDataFileShare* store = nullptr;
};

void Touch(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "x";
}

// A program folder with a web folder, and shares of folders, of a file, of a name with a quote
// and of a path that is gone; beside the shared folder lies one whose name extends its name.
World& TheWorld() {
  static World world = [] {
    World made;
    CDataFileShare& store = fuzz::Stack("tessel-path-fuzz", std::chrono::seconds(5)).shares;
    made.folder = store.GetProgramFolder();
    const fs::path root = made.folder;
    Touch(root / "web/images/home.gif");
    Touch(root / "web/images/favicon.ico");
    Touch(root / "web/icons/file.gif");
    Touch(root / "secret.txt");
    Touch(root / "data/Music/live/a b.mp3");
    Touch(root / "data/Music/notes.txt");
    Touch(root / "data/Music/.hidden");
    fs::create_directories(root / "data/Music/empty");
    mkfifo((root / "data/Music/pipe").c_str(), 0600);
    fs::create_symlink(root / "secret.txt", root / "data/Music/link.txt");
    Touch(root / "data/Music2/private.txt");
    Touch(root / "data/o'brien/x.txt");
    Touch(root / "data/single.txt");
    made.shares = {{"Music", (root / "data/Music").string()},
                   {"Single", (root / "data/single.txt").string()},
                   {"o'brien", (root / "data/o'brien").string()},
                   {"Gone", (root / "data/gone").string()}};
    for (const Share& share : made.shares)
      Check(store.AddShare({share.name, share.path, "", FileShareRecord::kModePublic, "", ""}));
    made.store = &store;
    return made;
  }();
  return world;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

bool Inside(const std::string& root, const std::string& path) {
  return path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

// No "." or ".." component and no empty one: the path is the one the checks judged.
bool IsNormal(const std::string& path) {
  if (path.empty() || path.front() != '/') return false;
  std::size_t start = 1;
  for (;;) {
    std::size_t end = path.find('/', start);
    std::string_view part(path.data() + start,
                          (end == std::string::npos ? path.size() : end) - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static constexpr std::string_view kPrefixes[] = {
      "/download.htm?file=", "/remove.htm?file=", "/images/", "/icons/", "/favicon.ico", ""};
  const std::string_view prefix = kPrefixes[data[0] % std::size(kPrefixes)];
  const std::string request =
      std::string(prefix) + std::string(reinterpret_cast<const char*>(data + 1), size - 1);

  World& world = TheWorld();
  std::string name = "junk", local = "junk";
  const CRequestResolver::PathKind kind =
      CRequestResolver(*world.store).Resolve(request, name, local);
  if (kind == CRequestResolver::PathKind::kNotFound) {
    Check(name.empty() && local.empty());
    return 0;
  }
  Check(IsNormal(local));
  if (kind == CRequestResolver::PathKind::kWebFile) {
    Check(name.empty());
    Check(Inside(world.folder + "/web", local) && local != world.folder + "/web");
    return 0;
  }

  const Share* share = nullptr;
  for (const Share& candidate : world.shares)
    if (StartsWithNoCase(name, candidate.name) &&
        (name.size() == candidate.name.size() || name[candidate.name.size()] == '\\'))
      share = &candidate;
  Check(share != nullptr);
  Check(Inside(share->path, local));
  std::string below = name.substr(share->name.size());
  for (char& c : below)
    if (c == '\\') c = '/';
  const bool removal = StartsWithNoCase(request, "/remove.htm?file=");
  if (!removal) Check(local == share->path + below);

  struct stat info {};
  Check(stat(local.c_str(), &info) == 0);
  if (kind == CRequestResolver::PathKind::kFolder || kind == CRequestResolver::PathKind::kFolderZip)
    Check(S_ISDIR(info.st_mode));
  if (kind == CRequestResolver::PathKind::kFile && !removal) Check(S_ISREG(info.st_mode));
  Check(world.store->CanAccessShare(name, ""));
  return 0;
}
