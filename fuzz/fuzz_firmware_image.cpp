// Arbitrary file names and contents as the firmware image the operator
// picks: the name rules, the size window and the load (checksum, body,
// trailer) must never read or write outside the file, and must agree with
// each other.
//
// Input: [size selector: 3 bytes] [name length] [name bytes...] [content...]
//   The file is the content repeated up to the selected size: sizes around
//   the edges of the window (280 KiB to 350 KiB, multiples of 4096) come up
//   as often as small ones.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/recording_view.h"
#include "ui/main_dialog.h"
#include "update/firmware_image.h"

namespace {

std::size_t PickSize(const std::uint8_t* s) {
  const std::uint32_t v = s[0] | (s[1] << 8) | (s[2] << 16);
  switch (v % 6) {
    case 0:
      return v % 4096;  // small files
    case 1:
      return kImageMinSize - 8 + (v >> 3) % 16;  // the lower edge
    case 2:
      return kImageMaxSize - 8 + (v >> 3) % 16;  // the upper edge
    case 3:
      return kImageMinSize + (v >> 3) % (kImageMaxSize - kImageMinSize + 1);
    case 4:
      return static_cast<std::size_t>(kImageSizeQuantum) * (70 + (v >> 3) % 19);  // multiples of 4096
    default:
      return kImageTrailerSize + (v >> 3) % 1024;  // about one trailer
  }
}

bool EndsWithBin(const std::string& s) {
  if (s.size() < 5) return false;
  static const char kExt[] = ".bin";
  for (int i = 0; i < 4; ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - 4 + i])) != kExt[i]) return false;
  return true;
}

// A folder of our own for the files, removed when the fuzzer exits.
struct ScratchFolder {
  ScratchFolder() {
    char tmpl[] = "/tmp/fuzz_firmware_imageXXXXXX";
    if (const char* d = mkdtemp(tmpl)) path = d;
  }
  ~ScratchFolder() {
    if (!path.empty()) ::rmdir(path.c_str());
  }
  std::string path;
};

const std::string& ScratchDir() {
  static const ScratchFolder folder;
  static const std::string fallback = "/tmp";
  return folder.path.empty() ? fallback : folder.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t fileSize = PickSize(data);
  std::size_t nameLen = data[3] % 48;
  data += 4;
  size -= 4;
  if (nameLen > size) nameLen = size;
  // The name as the file chooser could return it: any bytes but NUL.
  std::string name(reinterpret_cast<const char*>(data), nameLen);
  for (char& c : name)
    if (c == '\0') c = '.';
  data += nameLen;
  size -= nameLen;

  std::vector<BYTE> file(fileSize);
  for (std::size_t i = 0; i < fileSize; ++i) file[i] = size ? data[i % size] : static_cast<BYTE>(i);

  // The rules on the name and the bytes in memory, with the path taken as it stands.
  const bool valid = IsValidImageFile(name.c_str(), file.data(), static_cast<int>(fileSize));
  const bool expected = EndsWithBin(name) && fileSize >= static_cast<std::size_t>(kImageMinSize) &&
                        fileSize <= static_cast<std::size_t>(kImageMaxSize);
  if (valid != expected) __builtin_trap();
  if (IsValidImageFile(name.c_str(), nullptr, static_cast<int>(fileSize))) __builtin_trap();
  if (const char* part = GetFileNamePart(name.c_str())) {
    if (part < name.c_str() || part > name.c_str() + name.size()) __builtin_trap();
  }

  // The whole load, through the file chooser, from a file of that content.
  // Its name on disk keeps the fuzzed name's last characters (the extension
  // decides), without folders.
  std::string leaf = name.size() > 12 ? name.substr(name.size() - 12) : name;
  for (char& c : leaf)
    if (c == '/') c = '_';
  const std::string path = ScratchDir() + "/f" + leaf;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  const bool written = fileSize == 0 || std::fwrite(file.data(), 1, fileSize, f) == fileSize;
  std::fclose(f);
  if (!written) {
    ::unlink(path.c_str());
    return 0;
  }

  RecordingView view;
  CTAVDownloadApDlg dlg;
  dlg.AttachView(&view);
  view.QueueFileChoice(path);
  std::unique_ptr<BYTE[]> image;
  int bodyLen = -1;
  DWORD checksum = 0;
  BYTE trailer[kImageTrailerSize];
  std::memset(trailer, 0xA5, sizeof trailer);
  const bool loaded = LoadFirmwareImage(&dlg, &image, &bodyLen, &checksum, trailer);
  ::unlink(path.c_str());
  dlg.AttachView(nullptr);

  const bool shouldLoad = EndsWithBin(path) && fileSize >= static_cast<std::size_t>(kImageMinSize) &&
                          fileSize <= static_cast<std::size_t>(kImageMaxSize) && fileSize % kImageSizeQuantum != 0;
  if (loaded != shouldLoad) __builtin_trap();
  if (loaded) {
    if (!image || bodyLen != static_cast<int>(fileSize) - kImageTrailerSize) __builtin_trap();
    if (std::memcmp(image.get(), file.data(), fileSize) != 0 || image[fileSize] != 0) __builtin_trap();
    if (std::memcmp(trailer, file.data() + fileSize - kImageTrailerSize, kImageTrailerSize) != 0) __builtin_trap();
    if (checksum != ImageChecksum(file.data(), fileSize)) __builtin_trap();
  } else if (image) {
    __builtin_trap();
  }
  return 0;
}
