#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "service/TransferRegistry.h"

class CConnection;
class CDataFileShare;

// Stores the file of an upload: the POST body of the page's own form, whose layout is fixed (the
// file part, then the "submit" field holding the upload label, then the one-digit "fm_Share"
// choice). The file's length follows from the Content-Length and that layout; no general
// multipart parsing is done, but the layout is checked so that a body of another shape is refused
// instead of being stored with wrong bytes.
class CUploadReceiver {
 public:
  // Receive and write block size: large blocks keep big uploads at disk speed.
  static constexpr std::size_t kBufferSize = 256 * 1024;
  // How much of an unwanted request body DiscardRequestBody reads at most, and for how long.
  static constexpr std::uint64_t kDiscardLimit = 8ull << 20;
  static constexpr int kDiscardSeconds = 2;

  // shares chooses free names; it must outlive the receiver.
  explicit CUploadReceiver(CDataFileShare& shares) : m_shares(shares) {}

  // The running transfer the upload is, told the file's name and length once they are known.
  void Track(CTransferRegistry::Transfer* transfer) { m_transfer = transfer; }

  // Reads the body following a request head from connection and writes the file into upload_folder
  // under the client's file name (its last "\" or "/" component), made unique against the shares
  // and the folder's files with "-2", "-3"... before the extension, its stem shortened to fit the
  // file system's longest name; an existing file is never touched. The label expected in the
  // "submit" field is string 171 of the current language. True with the data length, the new file's
  // path and the share choice (fm_Share other than 0) filled in. False, with no file left behind,
  // for an empty upload_folder, an unusable name, a body that does not have the form's layout, a
  // connection that ends, fails or idles past the connection's I/O timeout, a stopped service, or a
  // file that cannot be written.
  bool ReceiveUpload(CConnection& connection, const std::string& upload_folder,
                     std::uint64_t content_length, const std::string& boundary,
                     std::uint64_t& data_length, std::string& local_path,
                     bool& share_with_everybody) const;

  // For a reply sent before the body was read: ends our side of the connection and reads and
  // drops up to kDiscardLimit bytes of the body for kDiscardSeconds at most, so that the client
  // reads the reply instead of being reset by a close over unread data.
  void DiscardRequestBody(CConnection& connection, std::uint64_t content_length) const;

  // The client's file name from the file part's header line: the text between `filename="` and
  // the line's last double quote, after its last "\" or "/", with control characters made "_".
  // Empty when there is none or it is unusable as a file name ("." and "..", a NUL).
  static std::string ClientFileName(const std::string& part_header);

  // stem + ending, the stem cut on a character boundary so that the name fits in NAME_MAX bytes.
  static std::string FitName(const std::string& stem, const std::string& ending);

 private:
  // Creates the file exclusively under the first free name; its descriptor, or -1.
  int CreateUniqueFile(const std::string& folder, const std::string& name, std::string& path) const;
  // Receives exactly length bytes into data (appended); false when the connection gives fewer.
  static bool ReceiveExactly(CConnection& connection, std::string& data, std::size_t length);
  // Receives count bytes into the open file; false on a receive or write failure.
  static bool ReceiveToFile(CConnection& connection, int fd, std::uint64_t count);

  CDataFileShare& m_shares;
  CTransferRegistry::Transfer* m_transfer = nullptr;
};
