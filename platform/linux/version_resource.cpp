// Linux side of the version-resource layer: the version API is the portable
// parser over files read with pread (only the headers and the block, not the
// whole executable), and modules are found through /proc/self/exe and the
// dynamic linker's list of objects.
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/version_resource.h"

namespace plat {
namespace {

class FileByteSource final : public IByteSource {
 public:
  explicit FileByteSource(const char* pszFileName) {
    m_fd = open(pszFileName, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (m_fd >= 0 && fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) {
      m_size = static_cast<std::uint64_t>(st.st_size);
    } else if (m_fd >= 0) {
      close(m_fd);
      m_fd = -1;
    }
  }
  ~FileByteSource() override {
    if (m_fd >= 0) close(m_fd);
  }
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;

  bool IsOpen() const { return m_fd >= 0; }
  std::uint64_t Size() const override { return m_size; }
  bool Read(std::uint64_t offset, void* pDest, std::size_t n) const override {
    if (m_fd < 0 || offset > m_size || n > m_size - offset || offset > static_cast<std::uint64_t>(INT64_MAX))
      return false;
    auto* p = static_cast<char*>(pDest);
    while (n > 0) {
      const ssize_t got = pread(m_fd, p, n, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;  // the file shrank under us
      p += got;
      n -= static_cast<std::size_t>(got);
      offset += static_cast<std::uint64_t>(got);
    }
    return true;
  }

 private:
  int m_fd = -1;
  std::uint64_t m_size = 0;
};

std::string SelfExePath() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < path.size()) {
      path.resize(static_cast<std::size_t>(n));
      return path;
    }
    if (path.size() >= (1u << 20)) return std::string();
    path.resize(path.size() * 2);
  }
}

struct ModuleSearch {
  std::uintptr_t address;
  bool bFound;
  bool bMainProgram;
  std::string path;
};

int VisitObject(dl_phdr_info* info, size_t, void* pv) {
  auto* s = static_cast<ModuleSearch*>(pv);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const std::uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
    if (s->address >= lo && s->address - lo < ph.p_memsz) {
      s->bFound = true;
      // The dynamic linker names the main program "" (or not at all).
      s->bMainProgram = !info->dlpi_name || !*info->dlpi_name;
      if (!s->bMainProgram) s->path = info->dlpi_name;
      return 1;
    }
  }
  return 0;
}

}  // namespace

bool ReadVersionResource(const char* pszFileName, std::vector<BYTE>* pBlock) {
  if (!pszFileName || !*pszFileName) return false;
  FileByteSource file(pszFileName);
  return file.IsOpen() && ExtractVersionResource(file, pBlock);
}

DWORD VersionInfoSize(const char* pszFileName) {
  std::vector<BYTE> block;
  return ReadVersionResource(pszFileName, &block) ? static_cast<DWORD>(block.size()) : 0;
}

bool ReadVersionInfo(const char* pszFileName, DWORD dwLen, void* pData) {
  std::vector<BYTE> block;
  if (!pData || !ReadVersionResource(pszFileName, &block) || block.size() > dwLen) return false;
  std::memcpy(pData, block.data(), block.size());
  return true;
}

std::string ModuleFileName(ModuleHandle hModule) {
  if (!hModule) return SelfExePath();
  ModuleSearch s{reinterpret_cast<std::uintptr_t>(hModule), false, false, std::string()};
  dl_iterate_phdr(VisitObject, &s);
  if (!s.bFound) return std::string();
  return s.bMainProgram ? SelfExePath() : s.path;
}

}  // namespace plat
