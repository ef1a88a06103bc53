#pragma once
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "service/ByteRange.h"
#include "service/Reply.h"

class CConnection;

// Sends files and item icons as downloads ("application/octet-stream", disposition
// "attachment") over a connection.
class CFileSender {
 public:
  // How long browsers may keep the web folder's files and the item icons without asking again.
  static constexpr int kCacheSeconds = 24 * 60 * 60;

  // Sends the file at local_path, or the part of it the range names (see ByteRange::Resolve).
  // A whole file, or a range from 0 to the end, gets "200 OK"; any other range "206 Partial
  // Content" with a Content-Range that matches the body; a range that is not satisfiable (its
  // start at or past the end) "416 Range Not Satisfiable" with "bytes */SIZE" and no body.
  // The header names display_name, or when it is empty the last component of local_path, and
  // content_type as the body's type. Nothing is sent (status 0) when the path is not a regular
  // file that can be opened; the outcome is incomplete when the body cannot be sent whole (the
  // file shrank, the client left, the service stopped).
  ReplyOutcome SendFile(CConnection& connection, const std::string& local_path,
                        const ByteRange& range, std::string_view display_name,
                        std::string_view content_type = kDownloadType) const;

  static constexpr std::string_view kDownloadType = "application/octet-stream";

  // SendFile's head for span of a body of size bytes: 200, or 206 with its Content-Range, in the
  // HTTP version connection replies with; the caller may add lines before finishing it.
  static CReplyHead DownloadHead(const CConnection& connection, std::uint64_t size,
                                 const ByteRange::Span& span, std::string_view content_type,
                                 std::string_view display_name);
  // SendFile's reply to a range that names no byte of size.
  static ReplyOutcome SendNotSatisfiable(CConnection& connection, std::uint64_t size);

  // SendFile for the files of the web folder, which browsers may keep: the reply adds a
  // Cache-Control lifetime and the file's Last-Modified time, and a request whose
  // If-Modified-Since names exactly that time gets "304 Not Modified" without a body.
  ReplyOutcome SendWebFile(CConnection& connection, const std::string& local_path,
                           const ByteRange& range, std::optional<std::time_t> if_modified_since,
                           std::string_view content_type) const;

  // Sends the 16 x 16 GIF icon for the kind of item at path (".." for a parent folder entry) as
  // a download named "file.gif"; a path without an icon gets the header with a length of 0. Its
  // time is the later of the program's and the item's, with caching as SendWebFile's.
  ReplyOutcome SendIcon(CConnection& connection, const std::string& path,
                        std::optional<std::time_t> if_modified_since = std::nullopt) const;

 private:
  // SendFile, with caching as SendWebFile's when cache is set.
  ReplyOutcome SendFileCached(CConnection& connection, const std::string& local_path,
                              const ByteRange& range, std::string_view display_name,
                              std::string_view content_type, bool cache,
                              std::optional<std::time_t> if_modified_since) const;
  // Sends head followed by length bytes of file from offset, in one go (head is used as the
  // buffer). Incomplete when sending fails (nothing counted as sent) or the file has fewer bytes.
  static ReplyOutcome SendWithHead(CConnection& connection, int file, std::uint64_t offset,
                                   std::uint64_t length, std::string& head, int status);
};
