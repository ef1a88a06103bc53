#include "service/PageStream.h"

#include <zlib.h>

#include <cstdio>

#include "service/Connection.h"

// A gzip stream of deflate at kGzipLevel, compressing into a buffer of bounded size.
class CPageStream::Gzip {
 public:
  static constexpr std::size_t kOutBlock = 16 << 10;

  Gzip() {
    // 15 + 16: a 32 KiB window, and the gzip wrapper instead of zlib's.
    m_ok = deflateInit2(&m_stream, kGzipLevel, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Gzip() {
    if (m_ok) deflateEnd(&m_stream);
  }
  Gzip(const Gzip&) = delete;
  Gzip& operator=(const Gzip&) = delete;

  bool Ok() const { return m_ok; }

  // Compresses input, handing each full output block (and at the end the rest) to send; false
  // as soon as send does.
  template <typename SendFn>
  bool Compress(std::string_view input, int flush, SendFn send) {
    m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    m_stream.avail_in = static_cast<uInt>(input.size());
    for (;;) {
      m_stream.next_out = reinterpret_cast<Bytef*>(m_out + m_used);
      m_stream.avail_out = static_cast<uInt>(kOutBlock - m_used);
      const int result = deflate(&m_stream, flush);
      m_used = kOutBlock - m_stream.avail_out;
      if (result == Z_STREAM_ERROR) return false;
      const bool done = m_stream.avail_in == 0 && m_stream.avail_out != 0 &&
                        (flush == Z_NO_FLUSH || flush == Z_SYNC_FLUSH || result == Z_STREAM_END);
      // A full block goes out at once; the rest waits for more unless the page ends or wants out.
      if (m_used == kOutBlock || (done && flush != Z_NO_FLUSH && m_used > 0)) {
        if (!send(std::string_view(m_out, m_used))) return false;
        m_used = 0;
      }
      if (done) return true;
    }
  }

 private:
  z_stream m_stream{};
  bool m_ok = false;
  char m_out[kOutBlock];
  std::size_t m_used = 0;
};

CPageStream::CPageStream(CConnection& connection, std::string head, bool gzip,
                         std::size_t buffer_size)
    : m_connection(connection),
      m_head(std::move(head)),
      m_buffer_size(buffer_size),
      m_chunked(connection.KeepAlive()) {
  if (gzip) {
    m_gzip = std::make_unique<Gzip>();
    if (!m_gzip->Ok()) m_failed = true;
  }
  m_text.reserve(buffer_size + (buffer_size >> 2));
}

CPageStream::~CPageStream() = default;

bool CPageStream::SendBytes(std::string_view bytes, bool last) {
  if (m_failed) return false;
  std::string_view out = bytes;
  if (m_chunked) {
    // The chunk's size, the bytes, and after the last the empty chunk, in one send.
    m_frame.clear();
    if (!bytes.empty()) {
      char size[20];
      const int length = std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
      m_frame.append(size, static_cast<std::size_t>(length)).append(bytes) += "\r\n";
    }
    if (last) m_frame += "0\r\n\r\n";
    out = m_frame;
  }
  if (!m_head.empty()) {
    // The head and the first bytes in one packet.
    m_head += out;
    m_failed = !m_connection.SendString(m_head);
    m_head.clear();
    m_head.shrink_to_fit();
  } else if (!out.empty()) {
    m_failed = !m_connection.SendString(out);
  }
  if (!m_failed) m_body_sent += bytes.size();
  return !m_failed;
}

void CPageStream::Send(bool last) {
  if (m_failed) {
    // Nobody reads the rest: making it goes on, cheaply, into a buffer that is thrown away.
    m_text.clear();
    return;
  }
  if (m_gzip) {
    // The first block is flushed whole, so the browser can lay out the page's top while the
    // rows are still being made.
    const int flush = last ? Z_FINISH : (m_first_flush_done ? Z_NO_FLUSH : Z_SYNC_FLUSH);
    m_first_flush_done = true;
    if (!m_gzip->Compress(m_text, flush, [this](std::string_view out) { return SendBytes(out); }))
      m_failed = true;
    if (last && m_chunked) SendBytes({}, true);
  } else if (!m_text.empty() || !m_head.empty() || (last && m_chunked)) {
    SendBytes(m_text, last);
  }
  m_text.clear();
}

bool CPageStream::Finish() {
  if (!m_finished) {
    m_finished = true;
    Send(true);
  }
  return !m_failed;
}
