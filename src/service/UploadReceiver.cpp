#include "service/UploadReceiver.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>

#include "base/AsciiText.h"
#include "base/Utf8.h"
#include "res/StringIds.h"
#include "res/StringTable.h"
#include "service/Connection.h"
#include "store/DataFileShare.h"

namespace {

using Clock = std::chrono::steady_clock;

// Names tried after the first before giving up (a folder full of a-2 ... a-N).
constexpr int kMaxNameAttempts = 100000;

constexpr std::string_view kSubmitHeader = "Content-Disposition: form-data; name=\"submit\"";
constexpr std::string_view kShareHeader = "Content-Disposition: form-data; name=\"fm_Share\"";

bool WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// The form's body after the file's bytes, but for the label and the choice digit.
struct Tail {
  std::string before_label;  // line end after the data, boundary, submit header, empty line
  std::string after_label;   // up to the choice digit
  std::string closing;       // after the digit: its line end and the closing boundary line

  explicit Tail(const std::string& boundary) {
    const std::string line = "--" + boundary;
    before_label = "\r\n" + line + "\r\n" + std::string(kSubmitHeader) + "\r\n\r\n";
    after_label = "\r\n" + line + "\r\n" + std::string(kShareHeader) + "\r\n\r\n";
    closing = "\r\n" + line + "--\r\n";
  }
  std::size_t Length(std::size_t label_length) const {
    return before_label.size() + label_length + after_label.size() + 1 + closing.size();
  }
};

}  // namespace

std::string CUploadReceiver::ClientFileName(const std::string& part_header) {
  constexpr std::string_view kKey = "filename=\"";
  std::size_t key = part_header.find(kKey);
  if (key == std::string::npos) return {};
  std::size_t start = key + kKey.size();
  std::size_t end = part_header.rfind('"');
  if (end == std::string::npos || end < start) return {};
  std::string name = part_header.substr(start, end - start);
  // Some browsers send the whole client path; either separator may be the client's.
  if (std::size_t separator = name.find_last_of("\\/"); separator != std::string::npos)
    name.erase(0, separator + 1);
  if (name == "." || name == ".." || name.find('\0') != std::string::npos) return {};
  // The name reaches the activity log (a terminal in headless mode), the database and the pages:
  // no control sequences, no controls that make it show as another name, only UTF-8.
  return tessel::SafeName(name);
}

std::string CUploadReceiver::FitName(const std::string& stem, const std::string& ending) {
  if (stem.size() + ending.size() <= NAME_MAX) return stem + ending;
  std::size_t keep = NAME_MAX > ending.size() ? NAME_MAX - ending.size() : 0;
  // Cut before a continuation byte would split a character.
  while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
  return stem.substr(0, keep) + ending;
}

bool CUploadReceiver::ReceiveExactly(CConnection& connection, std::string& data,
                                     std::size_t length) {
  std::size_t used = data.size();
  data.resize(used + length);
  while (length > 0) {
    const std::size_t got = connection.ReceiveSome(&data[used], length);
    if (got == 0) return false;
    used += got;
    length -= got;
  }
  return true;
}

bool CUploadReceiver::ReceiveToFile(CConnection& connection, int fd, std::uint64_t count) {
  auto buffer = std::make_unique<char[]>(kBufferSize);
  std::size_t filled = 0;
  while (count > 0) {
    std::size_t room = kBufferSize - filled;
    const std::size_t got = connection.ReceiveSome(
        buffer.get() + filled, static_cast<std::size_t>(std::min<std::uint64_t>(room, count)));
    if (got == 0) return false;
    connection.AddProgress(got);
    filled += got;
    count -= got;
    if (filled == kBufferSize || count == 0) {
      if (!WriteAll(fd, buffer.get(), filled)) return false;
      filled = 0;
    }
  }
  return true;
}

int CUploadReceiver::CreateUniqueFile(const std::string& folder, const std::string& name,
                                      std::string& path) const {
  // Without a folder the path would be "/name", at the file system's root.
  if (folder.empty()) return -1;
  // The same numbering as share names, so the share recorded for the file gets the file's name.
  std::size_t dot = name.rfind('.');
  std::string base = name.substr(0, dot);
  std::string extension = dot == std::string::npos ? "" : name.substr(dot);
  // An extension that leaves no room for a stem and a number is part of the stem.
  if (extension.size() > NAME_MAX / 2) {
    base = name;
    extension.clear();
  }
  for (int counter = 1; counter <= kMaxNameAttempts; ++counter) {
    const std::string number = counter == 1 ? "" : "-" + std::to_string(counter);
    const std::string candidate = FitName(base, number + extension);
    // A name some share has already is passed over.
    if (m_shares.MakeUniqueShareName(folder + "/" + candidate) != candidate) continue;
    path = folder + "/" + candidate;
    // Exclusive creation never follows a link nor reuses a file: two uploads of one name at the
    // same moment, or a file whose share was removed, make us move on to the next name.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool CUploadReceiver::ReceiveUpload(CConnection& connection, const std::string& upload_folder,
                                    std::uint64_t content_length, const std::string& boundary,
                                    std::uint64_t& data_length, std::string& local_path,
                                    bool& share_with_everybody) const {
  // The head: boundary line, file part header, its Content-Type line and the empty line. A line
  // that fills the reader's buffer may have been split, which would spoil the count.
  const std::size_t longest = CConnection::kLineCapacity - 3;
  std::string lines[4];
  std::uint64_t head_length = 0;
  for (std::string& line : lines) {
    if (!connection.ReadLine(line) || line.size() >= longest) return false;
    head_length += line.size() + 2;
  }
  if (boundary.empty() || lines[0] != "--" + boundary ||
      !tessel::StartsWithNoCase(lines[2], "Content-Type:") || !lines[3].empty()) {
    return false;
  }
  const std::string name = ClientFileName(lines[1]);
  if (name.empty()) return false;

  const std::string& label = tessel::res::String(tessel::res::IDS_HTML_UPLOAD);
  const Tail tail(boundary);
  const std::uint64_t tail_length = tail.Length(label.size());
  if (content_length < head_length + tail_length) return false;
  const std::uint64_t length = content_length - head_length - tail_length;
  if (m_transfer) {
    m_transfer->SetItem(name);
    m_transfer->SetTotal(static_cast<std::int64_t>(length));
  }

  std::string path;
  int fd = CreateUniqueFile(upload_folder, name, path);
  if (fd < 0) return false;
  bool stored = ReceiveToFile(connection, fd, length);
  stored = close(fd) == 0 && stored;

  // The computed length is right only if the form's fields follow the data exactly.
  std::string rest;
  stored = stored && ReceiveExactly(connection, rest, tail_length);
  const std::size_t digit = tail.before_label.size() + label.size() + tail.after_label.size();
  stored = stored && rest.compare(0, tail.before_label.size(), tail.before_label) == 0 &&
           rest.compare(digit - tail.after_label.size(), tail.after_label.size(),
                        tail.after_label) == 0 &&
           rest.compare(digit + 1, std::string::npos, tail.closing) == 0;
  if (!stored) {
    unlink(path.c_str());
    return false;
  }
  // A choice that is not a digit reads as 0: logged-in visitors only.
  share_with_everybody = rest[digit] >= '1' && rest[digit] <= '9';
  data_length = length;
  local_path = path;
  return true;
}

void CUploadReceiver::DiscardRequestBody(CConnection& connection,
                                         std::uint64_t content_length) const {
  connection.ShutdownWrite();
  std::uint64_t left = std::min(content_length, kDiscardLimit);
  const auto deadline = Clock::now() + std::chrono::seconds(kDiscardSeconds);
  char buffer[64 * 1024];
  while (left > 0) {
    const std::size_t got =
        connection.ReceiveSome(buffer, std::min<std::uint64_t>(sizeof buffer, left), deadline);
    if (got == 0) return;
    left -= got;
  }
}
