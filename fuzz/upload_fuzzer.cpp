// libFuzzer target for the upload reader: a request body arrives through a socket pair and is
// stored, or refused with nothing left behind. A stored file must hold exactly the body's bytes
// between the form's head and its fields, and its length must add up with the Content-Length.
// Input: one flag byte (bit 0: a Content-Length of its own in the next 4 bytes, little-endian,
// instead of the body's real size), the boundary up to a line feed, then the body.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "FuzzHarness.h"
#include "service/Connection.h"
#include "service/UploadReceiver.h"
#include "store/DataFileShare.h"

namespace fs = std::filesystem;

namespace {

struct World {
  CServiceStack* stack = nullptr;
  std::string uploads;
};

// A running service (the line reader gives up on a stopped one) and a program folder with its
// database and an upload folder that already holds a.txt.
World& TheWorld() {
  static World world = [] {
    World made;
    made.stack = &fuzz::Stack("tessel-upload-fuzz", std::chrono::seconds(2));
    made.uploads = made.stack->shares.GetProgramFolder() + "/upload";
    fs::create_directories(made.uploads);
    std::ofstream(made.uploads + "/a.txt") << "kept";
    return made;
  }();
  return world;
}

std::size_t FileCount(const std::string& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator{}));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.empty()) return 0;
  const bool own_length = input[0] & 1;
  input.remove_prefix(1);
  std::uint64_t content_length = 0;
  if (own_length) {
    if (input.size() < 4) return 0;
    for (int i = 3; i >= 0; --i)
      content_length = content_length << 8 | static_cast<unsigned char>(input[i]);
    input.remove_prefix(4);
  }
  const std::size_t lf = input.find('\n');
  if (lf == std::string_view::npos || lf > 200) return 0;
  const std::string boundary(input.substr(0, lf));
  const std::string_view body = input.substr(lf + 1);
  if (!own_length) content_length = body.size();

  World& world = TheWorld();
  int pair[2];
  Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
  int buffer = 1 << 20;
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  Check(send(pair[1], body.data(), body.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(body.size()));
  shutdown(pair[1], SHUT_WR);

  const std::size_t files_before = FileCount(world.uploads);
  CUploadReceiver receiver(world.stack->shares);
  CConnection connection(pair[0], world.stack->service.Rules());
  std::uint64_t data_length = 12345;
  std::string local_path;
  bool everybody = false;
  const bool stored = receiver.ReceiveUpload(connection, world.uploads, content_length, boundary,
                                             data_length, local_path, everybody);
  close(pair[0]);
  close(pair[1]);

  if (!stored) {
    Check(FileCount(world.uploads) == files_before);
    return 0;
  }
  Check(FileCount(world.uploads) == files_before + 1);
  Check(local_path.compare(0, world.uploads.size() + 1, world.uploads + "/") == 0);
  Check(local_path.find('/', world.uploads.size() + 1) == std::string::npos);
  Check(local_path != world.uploads + "/a.txt");
  Check(data_length <= content_length);
  // The data sits after the four head lines (each ended as the line reader ends lines); what
  // follows it is the form's fields.
  std::size_t head = 0;
  for (int i = 0; i < 4; ++i) {
    const std::string_view window = body.substr(head, CServiceBasic::kLineCapacity - 3);
    std::size_t end = window.find('\n');
    if (end == std::string_view::npos) end = window.find('\r');
    Check(end != std::string_view::npos);
    head += end + 1;
  }
  Check(ReadFile(local_path) == body.substr(head, data_length));
  Check(fs::remove(local_path));
  return 0;
}
