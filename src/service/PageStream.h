#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class CConnection;

// A page sent as it is made: text gathers in a buffer of bounded size, which goes out (through
// gzip when the browser takes it) each time it fills, so a page of any length costs the same
// memory, and a reader that does not read holds up only its own page's making.
class CPageStream {
 public:
  // What the buffer holds before it is sent. The gzip state adds about 256 KiB.
  static constexpr std::size_t kBufferSize = 64 << 10;
  // deflate's level: the fastest, as the page's server time counts as much as its size.
  static constexpr int kGzipLevel = 1;

  // head is sent before the first text; gzip compresses what follows it. On a connection kept
  // alive the body goes out in chunks. The connection must outlive the stream.
  CPageStream(CConnection& connection, std::string head, bool gzip,
              std::size_t buffer_size = kBufferSize);
  ~CPageStream();
  CPageStream(const CPageStream&) = delete;
  CPageStream& operator=(const CPageStream&) = delete;

  // The buffer, to append text to; call Flow after appending.
  std::string& Text() { return m_text; }
  void Append(std::string_view text) {
    m_text += text;
    Flow();
  }
  // Sends the buffer when it holds buffer_size bytes or more.
  void Flow() {
    if (m_text.size() >= m_buffer_size) Send(false);
  }
  // Sends the rest and ends the page. False when a send failed, here or before.
  bool Finish();
  // A send has failed (the client left or stopped reading): the rest of the page is not wanted.
  bool Failed() const { return m_failed; }
  // The body bytes delivered so far (compressed ones when compressing).
  std::uint64_t BodySent() const { return m_body_sent; }

 private:
  class Gzip;

  void Send(bool last);
  // Sends bytes of the body (after the head, when it is still to go); last ends a chunked body.
  bool SendBytes(std::string_view bytes, bool last = false);

  CConnection& m_connection;
  std::string m_head;  // sent with the first bytes, then emptied
  const std::size_t m_buffer_size;
  std::string m_text;
  std::unique_ptr<Gzip> m_gzip;
  bool m_failed = false;
  bool m_finished = false;
  bool m_first_flush_done = false;
  std::uint64_t m_body_sent = 0;
  const bool m_chunked;
  std::string m_frame;  // a chunk's framing and bytes
};
