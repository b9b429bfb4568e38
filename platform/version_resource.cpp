#include "platform/version_resource.h"

#include <algorithm>
#include <cstring>

namespace plat {
namespace {

// ---- integer reads from a byte source, with the image's byte order ----

class Reader {
 public:
  Reader(const IByteSource& src, bool bBigEndian) : m_src(src), m_bBigEndian(bBigEndian) {}
  const IByteSource& Source() const { return m_src; }

  bool U16(std::uint64_t off, WORD* pOut) const {
    BYTE b[2];
    if (!m_src.Read(off, b, 2)) return false;
    *pOut = m_bBigEndian ? static_cast<WORD>(b[0] << 8 | b[1]) : static_cast<WORD>(b[1] << 8 | b[0]);
    return true;
  }
  bool U32(std::uint64_t off, DWORD* pOut) const {
    BYTE b[4];
    if (!m_src.Read(off, b, 4)) return false;
    DWORD v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | b[m_bBigEndian ? i : 3 - i];
    *pOut = v;
    return true;
  }
  bool U64(std::uint64_t off, std::uint64_t* pOut) const {
    BYTE b[8];
    if (!m_src.Read(off, b, 8)) return false;
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | b[m_bBigEndian ? i : 7 - i];
    *pOut = v;
    return true;
  }

 private:
  const IByteSource& m_src;
  bool m_bBigEndian;
};

bool CheckedAdd(std::uint64_t a, std::uint64_t b, std::uint64_t* pSum) { return !__builtin_add_overflow(a, b, pSum); }
bool CheckedMulAdd(std::uint64_t base, std::uint64_t i, std::uint64_t size, std::uint64_t* pOut) {
  std::uint64_t prod;
  return !__builtin_mul_overflow(i, size, &prod) && CheckedAdd(base, prod, pOut);
}

WORD Le16(const BYTE* p) { return static_cast<WORD>(p[0] | p[1] << 8); }
std::size_t Align4(std::size_t n) { return (n + 3) & ~static_cast<std::size_t>(3); }

// ---- VS_VERSIONINFO nodes ----
//
// Every node: wLength (whole node with children), wValueLength (characters
// for text, bytes for binary), wType (1 text, 0 binary), a NUL-terminated
// UTF-16 key, padding to 32 bits, the value, padding, the children.
// Offsets are relative to the block, which starts 32-bit aligned.

struct VerNode {
  std::size_t nStart = 0;
  std::size_t nEnd = 0;  // clamped to the parent's end
  WORD wValueLength = 0;
  WORD wType = 0;
  std::size_t nKey = 0;  // first key unit
  std::size_t nKeyChars = 0;
  std::size_t nValue = 0;
  std::size_t nValueEnd = 0;
  std::size_t nChildren = 0;
};

bool ParseNode(const BYTE* p, std::size_t nStart, std::size_t nLimit, VerNode* pNode) {
  if (nStart > nLimit || nLimit - nStart < 6) return false;
  const WORD wLength = Le16(p + nStart);
  if (wLength < 6) return false;
  VerNode n;
  n.nStart = nStart;
  n.nEnd = nStart + std::min<std::size_t>(wLength, nLimit - nStart);
  n.wValueLength = Le16(p + nStart + 2);
  n.wType = Le16(p + nStart + 4);
  n.nKey = nStart + 6;
  std::size_t i = n.nKey;
  for (;;) {
    if (n.nEnd - i < 2) return false;  // key without its NUL
    if (Le16(p + i) == 0) break;
    i += 2;
  }
  n.nKeyChars = (i - n.nKey) / 2;
  n.nValue = std::min(Align4(i + 2), n.nEnd);
  const std::size_t nValueBytes = n.wType == 1 ? std::size_t{n.wValueLength} * 2 : n.wValueLength;
  n.nValueEnd = n.nValue + std::min(nValueBytes, n.nEnd - n.nValue);
  n.nChildren = std::min(Align4(n.nValueEnd), n.nEnd);
  *pNode = n;
  return true;
}

char AsciiLower(unsigned c) { return static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c); }

bool KeyEquals(const BYTE* p, const VerNode& n, const char* pszKey, std::size_t nKeyLen) {
  if (n.nKeyChars != nKeyLen) return false;
  for (std::size_t k = 0; k < nKeyLen; ++k) {
    const WORD u = Le16(p + n.nKey + 2 * k);
    const unsigned char c = static_cast<unsigned char>(pszKey[k]);
    if (u >= 0x80 || c >= 0x80) {
      if (u != c) return false;
    } else if (AsciiLower(u) != AsciiLower(c)) {
      return false;
    }
  }
  return true;
}

constexpr char kRootKey[] = "VS_VERSION_INFO";

bool IsVersionBlock(const BYTE* p, std::size_t n) {
  VerNode root;
  return ParseNode(p, 0, n, &root) && KeyEquals(p, root, kRootKey, sizeof kRootKey - 1);
}

bool FindNode(const BYTE* p, std::size_t nBlock, const char* pszSubBlock, VerNode* pOut) {
  VerNode node;
  if (!p || !pszSubBlock || !ParseNode(p, 0, nBlock, &node)) return false;
  const char* s = pszSubBlock;
  for (;;) {
    while (*s == '\\') ++s;
    if (!*s) break;
    const char* pszEnd = std::strchr(s, '\\');
    const std::size_t nLen = pszEnd ? static_cast<std::size_t>(pszEnd - s) : std::strlen(s);
    bool bFound = false;
    std::size_t off = node.nChildren;
    VerNode child;
    while (off < node.nEnd && ParseNode(p, off, node.nEnd, &child)) {
      if (KeyEquals(p, child, s, nLen)) {
        bFound = true;
        break;
      }
      const std::size_t next = Align4(child.nEnd);
      if (next <= off) break;
      off = next;
    }
    if (!bFound) return false;
    node = child;
    s += nLen;
  }
  *pOut = node;
  return true;
}

// Reads the block whose first byte is at `off` of the source and that may
// take at most nAvail bytes there.
bool ReadBlockAt(const IByteSource& src, std::uint64_t off, std::uint64_t nAvail, std::vector<BYTE>* pBlock) {
  BYTE len[2];
  if (nAvail < 6 || !src.Read(off, len, 2)) return false;
  const WORD wLength = Le16(len);
  if (wLength < 6 || wLength > nAvail) return false;
  std::vector<BYTE> block(wLength);
  if (!src.Read(off, block.data(), block.size())) return false;
  if (!IsVersionBlock(block.data(), block.size())) return false;
  *pBlock = std::move(block);
  return true;
}

// ---- PE ----

struct PeSection {
  DWORD dwVirtualAddress;
  DWORD dwRawSize;
  DWORD dwRawPointer;
};

class PeImage {
 public:
  explicit PeImage(const Reader& r) : m_r(r) {}

  bool Load() {
    WORD wMz = 0;
    DWORD dwLfanew = 0, dwSig = 0;
    if (!m_r.U16(0, &wMz) || wMz != 0x5A4D) return false;
    if (!m_r.U32(0x3C, &dwLfanew) || !m_r.U32(dwLfanew, &dwSig) || dwSig != 0x00004550) return false;
    const std::uint64_t coff = std::uint64_t{dwLfanew} + 4;
    WORD wSections = 0, wOptSize = 0, wMagic = 0;
    if (!m_r.U16(coff + 2, &wSections) || !m_r.U16(coff + 16, &wOptSize)) return false;
    const std::uint64_t opt = coff + 20;
    if (!m_r.U16(opt, &wMagic)) return false;
    unsigned nCountOff, nDirsOff;
    if (wMagic == 0x10B) {
      nCountOff = 92, nDirsOff = 96;
    } else if (wMagic == 0x20B) {
      nCountOff = 108, nDirsOff = 112;
    } else {
      return false;
    }
    DWORD dwDirs = 0;
    if (wOptSize < nDirsOff + 3 * 8 || !m_r.U32(opt + nCountOff, &dwDirs) || dwDirs < 3) return false;
    if (!m_r.U32(opt + nDirsOff + 2 * 8, &m_dwResRva) || m_dwResRva == 0) return false;
    // The loader knows no more than 96 sections; neither do we.
    const unsigned nSections = std::min<unsigned>(wSections, 96);
    const std::uint64_t table = opt + wOptSize;
    for (unsigned i = 0; i < nSections; ++i) {
      const std::uint64_t sh = table + std::uint64_t{i} * 40;
      PeSection s{};
      if (!m_r.U32(sh + 12, &s.dwVirtualAddress) || !m_r.U32(sh + 16, &s.dwRawSize) ||
          !m_r.U32(sh + 20, &s.dwRawPointer))
        return false;
      m_sections.push_back(s);
    }
    return true;
  }

  // File offset of nLen bytes at an RVA, when the file holds all of them.
  bool RvaToOffset(std::uint64_t rva, std::uint64_t nLen, std::uint64_t* pOff) const {
    for (const PeSection& s : m_sections) {
      if (rva < s.dwVirtualAddress) continue;
      const std::uint64_t delta = rva - s.dwVirtualAddress;
      if (delta >= s.dwRawSize || nLen > s.dwRawSize - delta) continue;
      const std::uint64_t off = std::uint64_t{s.dwRawPointer} + delta;
      if (off > m_r.Source().Size() || nLen > m_r.Source().Size() - off) continue;
      *pOff = off;
      return true;
    }
    return false;
  }

  bool U32AtRva(std::uint64_t rva, DWORD* pOut) const {
    std::uint64_t off;
    return RvaToOffset(rva, 4, &off) && m_r.U32(off, pOut);
  }
  bool U16AtRva(std::uint64_t rva, WORD* pOut) const {
    std::uint64_t off;
    return RvaToOffset(rva, 2, &off) && m_r.U16(off, pOut);
  }

  // One level of the resource tree: the entry with ID wId, or with
  // bFirstIfMissing the first entry when no entry has that ID. Returns the
  // entry's OffsetToData (high bit: subdirectory).
  bool FindEntry(std::uint64_t dirRva, bool bById, WORD wId, bool bFirstIfMissing, DWORD* pData) const {
    WORD wNamed = 0, wIds = 0;
    if (!U16AtRva(dirRva + 12, &wNamed) || !U16AtRva(dirRva + 14, &wIds)) return false;
    const unsigned nEntries = unsigned{wNamed} + wIds;
    bool bHaveFirst = false;
    DWORD dwFirst = 0;
    for (unsigned i = 0; i < nEntries; ++i) {
      DWORD dwName = 0, dwData = 0;
      const std::uint64_t e = dirRva + 16 + std::uint64_t{i} * 8;
      if (!U32AtRva(e, &dwName) || !U32AtRva(e + 4, &dwData)) return false;
      if (!bHaveFirst) bHaveFirst = true, dwFirst = dwData;
      if (bById && !(dwName & 0x80000000u) && dwName == wId) {
        *pData = dwData;
        return true;
      }
    }
    if (bFirstIfMissing && bHaveFirst) {
      *pData = dwFirst;
      return true;
    }
    return false;
  }

  bool ExtractVersion(std::vector<BYTE>* pBlock) const {
    constexpr DWORD kSubdir = 0x80000000u;
    DWORD dwType = 0, dwName = 0, dwLang = 0;
    // type 16, then name 1 (or the first name), then the first language
    if (!FindEntry(m_dwResRva, true, kRtVersion, false, &dwType) || !(dwType & kSubdir)) return false;
    if (!FindEntry(m_dwResRva + (dwType & ~kSubdir), true, 1, true, &dwName) || !(dwName & kSubdir)) return false;
    if (!FindEntry(m_dwResRva + (dwName & ~kSubdir), false, 0, true, &dwLang) || (dwLang & kSubdir)) return false;
    const std::uint64_t entry = std::uint64_t{m_dwResRva} + dwLang;
    DWORD dwDataRva = 0, dwSize = 0;
    if (!U32AtRva(entry, &dwDataRva) || !U32AtRva(entry + 4, &dwSize)) return false;
    const std::uint64_t nTake = std::min<std::uint64_t>(dwSize, 0xFFFF);
    std::uint64_t off;
    if (!RvaToOffset(dwDataRva, nTake, &off)) return false;
    return ReadBlockAt(m_r.Source(), off, nTake, pBlock);
  }

 private:
  const Reader& m_r;
  DWORD m_dwResRva = 0;
  std::vector<PeSection> m_sections;
};

bool ExtractFromPe(const IByteSource& src, std::vector<BYTE>* pBlock) {
  Reader r(src, false);
  PeImage pe(r);
  return pe.Load() && pe.ExtractVersion(pBlock);
}

// ---- ELF ----

struct ElfSection {
  DWORD dwName = 0;
  DWORD dwType = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  DWORD dwLink = 0;
};

constexpr DWORD kShtNobits = 8;

bool ExtractFromElf(const IByteSource& src, std::vector<BYTE>* pBlock) {
  BYTE ident[16];
  if (!src.Read(0, ident, sizeof ident) || std::memcmp(ident, "\x7F" "ELF", 4) != 0) return false;
  const bool b64 = ident[4] == 2;
  if (ident[4] != 1 && !b64) return false;
  if (ident[5] != 1 && ident[5] != 2) return false;
  Reader r(src, ident[5] == 2);

  std::uint64_t shoff = 0;
  WORD wEntSize = 0, wCount = 0, wStrIndex = 0;
  if (b64) {
    if (!r.U64(0x28, &shoff) || !r.U16(0x3A, &wEntSize) || !r.U16(0x3C, &wCount) || !r.U16(0x3E, &wStrIndex))
      return false;
  } else {
    DWORD dw = 0;
    if (!r.U32(0x20, &dw) || !r.U16(0x2E, &wEntSize) || !r.U16(0x30, &wCount) || !r.U16(0x32, &wStrIndex))
      return false;
    shoff = dw;
  }
  if (shoff == 0 || wEntSize < (b64 ? 64 : 40) || shoff >= src.Size()) return false;

  auto header = [&](std::uint64_t i, ElfSection* s) -> bool {
    std::uint64_t sh;
    if (!CheckedMulAdd(shoff, i, wEntSize, &sh)) return false;
    if (b64) {
      return r.U32(sh, &s->dwName) && r.U32(sh + 4, &s->dwType) && r.U64(sh + 24, &s->offset) &&
             r.U64(sh + 32, &s->size) && r.U32(sh + 40, &s->dwLink);
    }
    DWORD off = 0, size = 0;
    if (!r.U32(sh, &s->dwName) || !r.U32(sh + 4, &s->dwType) || !r.U32(sh + 16, &off) || !r.U32(sh + 20, &size) ||
        !r.U32(sh + 24, &s->dwLink))
      return false;
    s->offset = off;
    s->size = size;
    return true;
  };

  // Extended numbering: with more sections than fit the header fields, the
  // count and the name-table index live in section 0.
  std::uint64_t nCount = wCount;
  std::uint64_t nStrIndex = wStrIndex;
  if (nCount == 0 || nStrIndex == 0xFFFF) {
    ElfSection s0;
    if (!header(0, &s0)) return false;
    if (nCount == 0) nCount = s0.size;
    if (nStrIndex == 0xFFFF) nStrIndex = s0.dwLink;
  }
  // No more headers than the file can hold.
  nCount = std::min<std::uint64_t>(nCount, (src.Size() - shoff) / wEntSize);
  if (nStrIndex >= nCount) return false;
  ElfSection names;
  if (!header(nStrIndex, &names) || names.dwType == kShtNobits) return false;

  constexpr std::size_t kNameLen = sizeof kElfVersionSection;  // with its NUL
  for (std::uint64_t i = 0; i < nCount; ++i) {
    ElfSection s;
    if (!header(i, &s)) return false;
    if (s.dwType == kShtNobits || s.dwName > names.size || names.size - s.dwName < kNameLen) continue;
    char szName[kNameLen];
    std::uint64_t at;
    if (!CheckedAdd(names.offset, s.dwName, &at) || !src.Read(at, szName, kNameLen)) continue;
    if (std::memcmp(szName, kElfVersionSection, kNameLen) != 0) continue;
    if (s.offset > src.Size() || s.size > src.Size() - s.offset) return false;
    return ReadBlockAt(src, s.offset, std::min<std::uint64_t>(s.size, 0xFFFF), pBlock);
  }
  return false;
}

}  // namespace

bool MemoryByteSource::Read(std::uint64_t offset, void* pDest, std::size_t n) const {
  if (offset > m_n || n > m_n - offset) return false;
  if (n) std::memcpy(pDest, m_p + offset, n);
  return true;
}

bool ExtractVersionResource(const IByteSource& image, std::vector<BYTE>* pBlock) {
  if (!pBlock) return false;
  BYTE magic[4];
  if (!image.Read(0, magic, sizeof magic)) return false;
  if (magic[0] == 'M' && magic[1] == 'Z') return ExtractFromPe(image, pBlock);
  if (std::memcmp(magic, "\x7F" "ELF", 4) == 0) return ExtractFromElf(image, pBlock);
  return false;
}

bool ExtractVersionResource(const BYTE* pImage, std::size_t nImage, std::vector<BYTE>* pBlock) {
  return ExtractVersionResource(MemoryByteSource(pImage, nImage), pBlock);
}

bool QueryVersionValue(const void* pBlock, std::size_t nBlock, const char* pszSubBlock, const BYTE** ppValue,
                   DWORD* pnBytes) {
  const BYTE* p = static_cast<const BYTE*>(pBlock);
  VerNode node;
  if (!FindNode(p, nBlock, pszSubBlock, &node)) return false;
  if (ppValue) *ppValue = p + node.nValue;
  if (pnBytes) *pnBytes = static_cast<DWORD>(node.nValueEnd - node.nValue);
  return true;
}

bool VerQueryString(const void* pBlock, std::size_t nBlock, const char* pszSubBlock, std::string* pText) {
  const BYTE* p = static_cast<const BYTE*>(pBlock);
  VerNode node;
  if (!pText || !FindNode(p, nBlock, pszSubBlock, &node)) return false;
  // Producers disagree on whether a string's wValueLength counts characters
  // or bytes; the text runs to its NUL inside the node either way.
  *pText = node.wValueLength ? Utf16LeToNarrow(p + node.nValue, node.nEnd - node.nValue) : std::string();
  return true;
}

std::string Utf16LeToNarrow(const BYTE* p, std::size_t nBytes) {
  std::string out;
  if (!p) return out;
  auto put = [&out](std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  };
  const std::size_t nUnits = nBytes / 2;
  for (std::size_t i = 0; i < nUnits; ++i) {
    const WORD u = Le16(p + 2 * i);
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < nUnits) {
      const WORD lo = Le16(p + 2 * (i + 1));
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        put(0x10000 + ((std::uint32_t{u} - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    put((u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
  }
  return out;
}

}  // namespace plat
