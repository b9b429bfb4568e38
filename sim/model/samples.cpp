#include "sim/model/samples.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "link/frame.h"
#include "link/hex_format.h"
#include "sim/model/hid_front.h"
#include "sim/model/image_rule.h"
#include "sim/model/reader_model.h"

namespace {

constexpr std::size_t kLineBytes = 64;  // hex bytes per script line: one HID report

// One script line: the bytes as hex pairs with blanks, which the runner drops.
void AppendHexLine(std::string* out, const BYTE* p, std::size_t n) {
  out->append(FormatHexLine(p, n));
  out->append("\r\n");
}

struct Command {
  std::vector<BYTE> frame;
  const char* pszAfter;  // the keyword line that ends the command
};

void AppendCommand(std::string* out, const Command& c, SimScriptKind kind) {
  out->append("SEND: ");
  if (kind == SimScriptKind::Rs232) {
    for (std::size_t off = 0; off < c.frame.size(); off += kLineBytes)
      AppendHexLine(out, c.frame.data() + off, std::min(kLineBytes, c.frame.size() - off));
  } else {
    // Written to the device as they stand, 64 bytes a report: the frame
    // already cut into tagged reports, so the request frame starts at byte 1.
    for (const auto& r : CutTaggedReports(c.frame.data(), c.frame.size())) AppendHexLine(out, r.data(), r.size());
  }
  out->append(c.pszAfter);
  out->append("\r\n");
}

bool HasKeyword(const std::string& s) {
  return s.find("SEND:") != std::string::npos || s.find("SLEEP") != std::string::npos ||
         s.find("WAIT") != std::string::npos || s.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

bool IsSimImageSize(std::size_t n) { return n >= 286720 && n <= kSimImageMax && n % 4096 != 0; }

bool MakeSampleImage(std::size_t nSize, std::uint32_t nSeed, std::vector<BYTE>* pImage, std::string* pErr) {
  if (!IsSimImageSize(nSize)) {
    if (pErr) *pErr = "image size " + std::to_string(nSize) + " is outside 286721-358400 or a multiple of 4096";
    return false;
  }
  std::vector<BYTE> body(nSize - kSimTrailerSize);
  std::uint32_t x = nSeed ? nSeed : 0x9E3779B9u;
  for (auto& b : body) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<BYTE>(x >> 24);
  }
  const std::vector<BYTE> t = MakeSimTrailer(body.data(), body.size());
  body.insert(body.end(), t.begin(), t.end());
  pImage->swap(body);
  return true;
}

bool MakeImageFromBody(const std::vector<BYTE>& body, std::vector<BYTE>* pImage, std::string* pErr) {
  if (body.size() + kSimTrailerSize > kSimImageMax) {
    if (pErr) *pErr = "body of " + std::to_string(body.size()) + " bytes is larger than the flash (358144 bytes)";
    return false;
  }
  std::vector<BYTE> b = body;
  if (b.size() + kSimTrailerSize < kSimImageMin) b.resize(kSimImageMin - kSimTrailerSize, 0xFF);
  if ((b.size() + kSimTrailerSize) % 4096 == 0) b.push_back(0xFF);
  const std::vector<BYTE> t = MakeSimTrailer(b.data(), b.size());
  b.insert(b.end(), t.begin(), t.end());
  pImage->swap(b);
  return true;
}

std::string MakeUpdateScript(const std::vector<BYTE>& image, SimScriptKind kind, const std::string& strModel,
                             const std::string& strSource, std::string* pErr) {
  if (!IsSimImageSize(image.size())) {
    if (pErr)
      *pErr = "image of " + std::to_string(image.size()) +
              " bytes: a firmware image has 286721-358400 bytes and is not a multiple of 4096";
    return {};
  }
  if (HasKeyword(strModel) || HasKeyword(strSource)) {
    if (pErr) *pErr = "the model and source texts must not hold a line break, SEND:, SLEEP or WAIT";
    return {};
  }
  const std::size_t bodyLen = image.size() - kSimTrailerSize;
  const std::size_t blocks = (bodyLen + kSimBlockSize - 1) / kSimBlockSize;

  std::vector<Command> cmds;
  cmds.push_back({MakeFrame(0xC7, 0x41), "SLEEP: 5000"});
  cmds.push_back({MakeFrame(0xC7, 0x10), "WAIT: 100"});
  cmds.push_back({MakeFrame(0xC7, 0x02, {0x00}), "WAIT: 3000"});
  for (std::size_t k = 0; k < blocks; ++k) {
    const std::size_t off = k * kSimBlockSize, n = std::min<std::size_t>(kSimBlockSize, bodyLen - off);
    const DWORD address = static_cast<DWORD>(k * kSimBlockAddressStep);
    std::vector<BYTE> data = {static_cast<BYTE>(address >> 24), static_cast<BYTE>(address >> 16),
                              static_cast<BYTE>(address >> 8), static_cast<BYTE>(address)};
    data.insert(data.end(), image.begin() + static_cast<std::ptrdiff_t>(off),
                image.begin() + static_cast<std::ptrdiff_t>(off + n));
    cmds.push_back({MakeFrame(0xC7, 0x03, data), "WAIT: 20"});
    // One C7-15 among the loading frames: the tool paces it by 5 s.
    if (k == blocks / 2) cmds.push_back({MakeFrame(0xC7, 0x15), "WAIT: 100"});
  }
  std::vector<BYTE> verify = {0x00, 0x03, 0xFF, 0xF0};
  verify.insert(verify.end(), image.end() - static_cast<std::ptrdiff_t>(kSimTrailerSize), image.end());
  cmds.push_back({MakeFrame(0xC7, 0x04, verify), "WAIT: 500"});
  cmds.push_back({MakeFrame(0xC7, 0x05), "SLEEP: 3000"});

  std::string s = kind == SimScriptKind::Rs232 ? "#RS232 version\r\n" : "#USBHID version\r\n";
  s += strModel + "\r\n";
  char line[256];
  std::snprintf(line, sizeof line,
                "; Made by readersim gen-script from %s: %zu bytes, body %zu bytes in %zu blocks.\r\n",
                strSource.c_str(), image.size(), bodyLen, blocks);
  s += line;
  s += "; Generated file: make it again from the image instead of editing it.\r\n";
  if (kind == SimScriptKind::UsbHid)
    s += "; Each line is one 64-byte output report: a segment tag, then 63 bytes of the request frame.\r\n";
  s += "; Commands: enter bootloader, bootloader version, erase, blocks (one C7-15 among them), verify, restart.\r\n";
  for (const auto& c : cmds) AppendCommand(&s, c, kind);
  s += "END>\r\n";
  return s;
}

bool ReadWholeFile(const std::string& path, std::vector<BYTE>* pData, std::string* pErr) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    if (pErr) *pErr = path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<BYTE> v;
  BYTE buf[65536];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + got);
  const bool bad = std::ferror(f) != 0;
  std::fclose(f);
  if (bad) {
    if (pErr) *pErr = path + ": read error";
    return false;
  }
  pData->swap(v);
  return true;
}

bool WriteWholeFile(const std::string& path, const void* p, std::size_t n, std::string* pErr) {
  // Write next to the target and rename, so a reader never sees half a file.
  const std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    if (pErr) *pErr = tmp + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = n == 0 || std::fwrite(p, 1, n, f) == n;
  const bool closed = std::fclose(f) == 0;
  if (!ok || !closed || std::rename(tmp.c_str(), path.c_str()) != 0) {
    if (pErr) *pErr = path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

bool WriteSamples(const std::string& strDir, const SampleOptions& opt, std::string* pErr) {
  std::error_code ec;
  std::filesystem::create_directories(strDir, ec);
  if (ec) {
    if (pErr) *pErr = strDir + ": " + ec.message();
    return false;
  }
  std::vector<BYTE> image;
  if (!opt.strBodyFile.empty()) {
    std::vector<BYTE> body;
    if (!ReadWholeFile(opt.strBodyFile, &body, pErr) || !MakeImageFromBody(body, &image, pErr)) return false;
  } else if (!MakeSampleImage(opt.nImageSize, opt.nSeed, &image, pErr)) {
    return false;
  }
  const std::filesystem::path dir(strDir);
  if (!WriteWholeFile((dir / kSimSampleImage).string(), image.data(), image.size(), pErr)) return false;
  const struct {
    SimScriptKind kind;
    const char* name;
  } scripts[] = {{SimScriptKind::Rs232, kSimSampleRs232Script}, {SimScriptKind::UsbHid, kSimSampleUsbHidScript}};
  for (const auto& sc : scripts) {
    const std::string text = MakeUpdateScript(image, sc.kind, opt.strModel, kSimSampleImage, pErr);
    if (text.empty() || !WriteWholeFile((dir / sc.name).string(), text.data(), text.size(), pErr)) return false;
  }
  return true;
}
