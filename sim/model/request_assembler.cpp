#include "sim/model/request_assembler.h"

#include <algorithm>
#include <cstring>

#include "link/frame.h"
#include "sim/model/reader_model.h"

void RequestAssembler::Feed(const BYTE* p, std::size_t n, const FrameSink& sink) {
  if (p && n) m_buf.insert(m_buf.end(), p, p + n);
  Scan(sink);
}

void RequestAssembler::Scan(const FrameSink& sink) {
  for (;;) {
    // Drop everything before the first header, keeping a tail that could be
    // the beginning of one.
    std::size_t start = 0;
    const std::size_t n = m_buf.size();
    while (start < n) {
      const std::size_t avail = std::min<std::size_t>(n - start, kFrameHeaderLen);
      if (std::memcmp(m_buf.data() + start, g_pszFrameHeader, avail) == 0) break;
      ++start;
    }
    if (start) m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(start));
    if (m_buf.size() < 14) return;

    const DWORD len = static_cast<DWORD>(m_buf[12]) * 256u + m_buf[13];
    if (len > kSimMaxRequestData) {
      // The length cannot be trusted, so neither can the frame's end: report
      // the header and look for the next frame behind it.
      sink(m_buf.data(), 14);
      m_buf.erase(m_buf.begin());
      continue;
    }
    const std::size_t frameLen = len + kFrameOverheadV2;
    if (m_buf.size() < frameLen) return;
    const bool crcOk = CheckRxFrame(m_buf.data(), static_cast<DWORD>(frameLen)) == static_cast<int>(frameLen);
    sink(m_buf.data(), frameLen);
    m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(crcOk ? frameLen : 1));
  }
}

void RequestAssembler::Flush(const FrameSink& sink) {
  if (!m_buf.empty()) sink(m_buf.data(), m_buf.size());
  m_buf.clear();
}
