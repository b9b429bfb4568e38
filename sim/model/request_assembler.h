// Finds request frames in whatever the host's line delivers: a byte stream
// cut at any place, with noise, zero padding of reports, truncated frames
// and garbage between them. Every candidate frame — from a header on, as long
// as its length field says — goes to the model, which decides whether it is
// worth an answer.
#pragma once
#include <cstddef>
#include <functional>
#include <vector>

#include "platform/types.h"

class RequestAssembler {
 public:
  using FrameSink = std::function<void(const BYTE* p, std::size_t n)>;

  // Appends bytes and hands every complete candidate to the sink, in order.
  // A candidate whose CRC fits neither byte order is handed over as well, but
  // only its first byte is consumed: the search goes on inside it, so a frame
  // that follows a truncated one is still found.
  void Feed(const BYTE* p, std::size_t n, const FrameSink& sink);
  // Drops a partial frame (a new frame begins).
  void Reset() { m_buf.clear(); }
  // Hands a partial frame to the sink as it stands, then drops it: the line
  // went quiet or the host marked the frame's end, and the rest never came.
  void Flush(const FrameSink& sink);
  std::size_t Buffered() const { return m_buf.size(); }
  // True while the buffer holds the beginning of a frame.
  bool InFrame() const { return !m_buf.empty(); }

 private:
  void Scan(const FrameSink& sink);
  std::vector<BYTE> m_buf;
};
