#pragma once
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "service/ByteRange.h"
#include "service/ServiceBasic.h"

// Sends files and item icons as downloads ("application/octet-stream", disposition
// "attachment") over a connection of a service, whose socket operations and limits it keeps to.
class CFileSender {
 public:
  // How long browsers may keep the web folder's files and the item icons without asking again.
  static constexpr int kCacheSeconds = 24 * 60 * 60;

  // The service must outlive the sender.
  explicit CFileSender(const CServiceBasic& service) : m_service(service) {}

  // Sends the file at local_path, or the part of it the range names (see ByteRange::Resolve).
  // A whole file, or a range from 0 to the end, gets "200 OK"; any other range "206 Partial
  // Content" with a Content-Range that matches the body; a range that is not satisfiable (its
  // start at or past the end) "416 Range Not Satisfiable" with "bytes */SIZE" and no body.
  // The header names display_name, or when it is empty the last component of local_path, and
  // content_type as the body's type. bytes_sent receives the body bytes delivered. False, with
  // nothing sent, when the path is not a regular file that can be opened; false when the body
  // cannot be sent whole (the file shrank, the client left, the service stopped); true otherwise.
  bool SendFile(int socket, const std::string& local_path, const ByteRange& range,
                std::string_view display_name, std::uint64_t& bytes_sent,
                std::string_view content_type = kDownloadType) const;

  static constexpr std::string_view kDownloadType = "application/octet-stream";

  // The head lines (without the blank line that ends the head) of SendFile's 200 or 206 reply
  // for span of a body of size bytes.
  static std::string DownloadHead(std::uint64_t size, const ByteRange::Span& span,
                                  std::string_view content_type, std::string_view display_name);
  // SendFile's whole reply to a range that names no byte of size.
  static std::string NotSatisfiableReply(std::uint64_t size);

  // SendFile for the files of the web folder, which browsers may keep: the reply adds a
  // Cache-Control lifetime and the file's Last-Modified time, and a request whose
  // If-Modified-Since names exactly that time gets "304 Not Modified" without a body.
  bool SendWebFile(int socket, const std::string& local_path, const ByteRange& range,
                   std::optional<std::time_t> if_modified_since, std::string_view content_type,
                   std::uint64_t& bytes_sent) const;

  // Sends the 16 x 16 GIF icon for the kind of item at path (".." for a parent folder entry) as
  // a download named "file.gif"; a path without an icon gets the header with a length of 0. Its
  // time is the later of the program's and the item's, with caching as SendWebFile's. Always
  // true.
  bool SendIcon(int socket, const std::string& path,
                std::optional<std::time_t> if_modified_since = std::nullopt) const;

 private:
  // SendFile, with caching as SendWebFile's when cache is set.
  bool SendFileCached(int socket, const std::string& local_path, const ByteRange& range,
                      std::string_view display_name, std::uint64_t& bytes_sent,
                      std::string_view content_type, bool cache,
                      std::optional<std::time_t> if_modified_since) const;
  // Sends head followed by length bytes of file from offset, in one go (head is used as the
  // buffer). False when sending fails (bytes_sent stays 0) or the file has fewer bytes.
  bool SendWithHead(int socket, int file, std::uint64_t offset, std::uint64_t length,
                    std::string& head, std::uint64_t& bytes_sent) const;
  // Sends length bytes of file from offset, adding each delivered byte to bytes_sent.
  bool SendBody(int socket, int file, std::uint64_t offset, std::uint64_t length,
                std::uint64_t& bytes_sent) const;
  // The two ways of SendBody: sendfile(2), and reading into a buffer where the file system does
  // not support that. SendBodyZeroCopy sets unsupported (having sent nothing) to ask for the
  // other way.
  bool SendBodyZeroCopy(int socket, int file, std::uint64_t offset, std::uint64_t length,
                        std::uint64_t& bytes_sent, bool& unsupported) const;
  bool SendBodyByReading(int socket, int file, std::uint64_t offset, std::uint64_t length,
                         std::uint64_t& bytes_sent) const;

  const CServiceBasic& m_service;
};
