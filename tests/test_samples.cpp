// The sample generator: firmware images that keep the size rules and the
// simulated bootloader's trailer rule, and the two update scripts, read back
// the way the tool's script runner reads them and played to the simulated
// reader over each kind's own path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "link/frame.h"
#include "platform/hid.h"
#include "platform/pump.h"
#include "sim/model/hid_front.h"
#include "sim/model/image_rule.h"
#include "sim/model/reader_ids.h"
#include "sim/model/reader_model.h"
#include "sim/model/samples.h"
#include "sim/model/serial_front.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/sim_hid.h"
#include "support/sim_process.h"
#include "support/sim_serial.h"
#include "support/virtual_time.h"
#include "update/firmware_image.h"
#include "script/text_script.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"

namespace {

struct ScriptCommand {
  std::vector<BYTE> bytes;
  std::string keyword;  // "SLEEP" or "WAIT"
  std::size_t nTextChars = 0;
};

// Reads the commands as the runner does: "SEND:" anywhere starts one, its text
// runs to the first "SLEEP" or "WAIT", CR, LF and blanks are dropped, the
// rest is read two hex digits a byte.
std::vector<ScriptCommand> ParseCommands(const std::string& s) {
  std::vector<ScriptCommand> out;
  std::size_t p = 0;
  while ((p = s.find("SEND:", p)) != std::string::npos) {
    p += 5;
    const std::size_t sleep = s.find("SLEEP", p), wait = s.find("WAIT", p);
    const std::size_t e = std::min(sleep, wait);
    ScriptCommand c;
    std::string text;
    for (std::size_t i = p; i < std::min(e, s.size()); ++i)
      if (s[i] != '\r' && s[i] != '\n' && s[i] != ' ') text.push_back(s[i]);
    c.nTextChars = text.size();
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
      c.bytes.push_back(static_cast<BYTE>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    EXPECT_EQ(text.size() % 2, 0u);
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    c.keyword = e == std::string::npos ? "" : e == sleep ? "SLEEP" : "WAIT";
    out.push_back(std::move(c));
    p = e == std::string::npos ? s.size() : e + 1;
  }
  return out;
}

// The request frame of a USB HID script command: the tagged reports' payloads.
std::vector<BYTE> FrameOfReports(const std::vector<BYTE>& bytes) {
  std::vector<BYTE> f;
  for (std::size_t off = 0; off + 64 <= bytes.size(); off += 64)
    f.insert(f.end(), bytes.begin() + off + 1, bytes.begin() + off + 64);
  if (f.size() >= 14) f.resize(std::min<std::size_t>(f.size(), f[12] * 256u + f[13] + 16u));
  return f;
}

std::string Line(const std::string& s, int n) {
  std::size_t b = 0;
  for (int i = 0; i < n; ++i) b = s.find("\r\n", b) + 2;
  return s.substr(b, s.find("\r\n", b) - b);
}

TEST(SampleImage, SizesAndTrailer) {
  struct Row {
    std::size_t size;
    bool ok;
  } rows[] = {{300000, true},  {286721, true},  {358400, true},  {286720, false},
              {286719, false}, {358401, false}, {290816, false}, {0, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.size);
    std::vector<BYTE> img;
    std::string err;
    ASSERT_EQ(MakeSampleImage(r.size, 7, &img, &err), r.ok) << err;
    EXPECT_EQ(IsSimImageSize(r.size), r.ok);
    if (!r.ok) {
      EXPECT_FALSE(err.empty());
      continue;
    }
    ASSERT_EQ(img.size(), r.size);
    const std::size_t body = r.size - kSimTrailerSize;
    EXPECT_TRUE(SimTrailerMatches(img.data() + body, img.data(), body));
    EXPECT_FALSE(SimTrailerMatches(img.data() + body, img.data(), body - 1));
  }
  std::vector<BYTE> a, b;
  ASSERT_TRUE(MakeSampleImage(300000, 7, &a, nullptr));
  ASSERT_TRUE(MakeSampleImage(300000, 7, &b, nullptr));
  EXPECT_EQ(a, b);
  ASSERT_TRUE(MakeSampleImage(300000, 8, &b, nullptr));
  EXPECT_NE(a, b);
}

TEST(SampleImage, FromAnyBody) {
  struct Row {
    std::size_t body;
    std::size_t image;  // 0: refused
  } rows[] = {
      {0, 286721},                         // padded up to the smallest image
      {1000, 286721},   {286464, 286721},  // 286,720 would be 70 * 4096: one byte more
      {290560, 290817},                    // 71 * 4096 likewise
      {300000, 300256}, {358144, 358400},  // the largest
      {358145, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.body);
    std::vector<BYTE> body(r.body);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<BYTE>(i ^ (i >> 9));
    std::vector<BYTE> img;
    std::string err;
    ASSERT_EQ(MakeImageFromBody(body, &img, &err), r.image != 0) << err;
    if (!r.image) continue;
    ASSERT_EQ(img.size(), r.image);
    EXPECT_TRUE(IsSimImageSize(img.size()));
    EXPECT_TRUE(std::equal(body.begin(), body.end(), img.begin()));
    EXPECT_TRUE(std::all_of(img.begin() + static_cast<std::ptrdiff_t>(r.body), img.end() - 256,
                            [](BYTE x) { return x == 0xFF; }));
    EXPECT_TRUE(SimTrailerMatches(img.data() + img.size() - 256, img.data(), img.size() - 256));
  }
}

class SampleScriptTest : public VirtualTimeTest {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeSampleImage(300000, 1, &m_image, nullptr)); }
  std::vector<BYTE> m_image;
};

TEST_F(SampleScriptTest, FormatAndRolesOfBothKinds) {
  const std::size_t body = m_image.size() - 256;
  for (SimScriptKind kind : {SimScriptKind::Rs232, SimScriptKind::UsbHid}) {
    const bool hid = kind == SimScriptKind::UsbHid;
    SCOPED_TRACE(hid ? "USB HID" : "RS-232");
    std::string err;
    const std::string s = MakeUpdateScript(m_image, kind, kSimDefaultModel, "firmware.bin", &err);
    ASSERT_FALSE(s.empty()) << err;
    EXPECT_EQ(Line(s, 0), hid ? "#USBHID version" : "#RS232 version");
    EXPECT_EQ(Line(s, 1), kSimDefaultModel);
    ASSERT_GE(s.size(), 6u);
    EXPECT_EQ(s.substr(s.size() - 6), "END>\r\n");

    const auto cmds = ParseCommands(s);
    ASSERT_EQ(cmds.size(), 3 + 147 + 1 + 2);
    std::vector<WORD> codes;
    std::vector<BYTE> programmed;
    for (std::size_t i = 0; i < cmds.size(); ++i) {
      SCOPED_TRACE(i + 1);
      const auto& c = cmds[i];
      EXPECT_FALSE(c.keyword.empty()) << "every command ends in SLEEP: or WAIT:";
      EXPECT_LE(c.nTextChars, 16384u);
      EXPECT_LE(c.bytes.size(), 8192u);
      std::vector<BYTE> f = c.bytes;
      if (hid) {
        // Whole 64-byte reports, written as they stand; the frame starts at byte 1.
        EXPECT_EQ(c.bytes.size() % 64, 0u);
        EXPECT_EQ(c.bytes[0], c.bytes.size() == 64 ? 1 : 2);
        EXPECT_EQ(GetRespCode(c.bytes.data() + 1), GetRespCode(FrameOfReports(c.bytes).data()));
        f = FrameOfReports(c.bytes);
      }
      ASSERT_GE(f.size(), 16u);
      EXPECT_TRUE(IsFrameHeader(f.data(), static_cast<DWORD>(f.size())));
      EXPECT_EQ(CheckRxFrame(f.data(), static_cast<DWORD>(f.size())), static_cast<int>(f.size()));
      EXPECT_EQ(f[14 + f[12] * 256 + f[13]], CalcCrc16Hi(f.data(), static_cast<DWORD>(f.size() - 2)));
      codes.push_back(GetRespCode(f.data()));
      if (codes.back() == 0xC703) {
        const DWORD addr = (f[14] << 24) | (f[15] << 16) | (f[16] << 8) | f[17];
        EXPECT_EQ(addr, programmed.size() / 2048 * 2032);
        programmed.insert(programmed.end(), f.begin() + 18, f.end() - 2);
      }
      if (codes.back() == 0xC704) {
        ASSERT_EQ(f.size(), 276u);
        EXPECT_EQ(std::vector<BYTE>(f.begin() + 14, f.begin() + 18), (std::vector<BYTE>{0x00, 0x03, 0xFF, 0xF0}));
        EXPECT_TRUE(std::equal(f.begin() + 18, f.end() - 2, m_image.end() - 256));
      }
      if (codes.back() == 0xC702) {
        EXPECT_EQ(f.size(), 17u);
        EXPECT_EQ(f[14], 0x00);
      }
    }
    // Roles by position.
    EXPECT_EQ(codes[0], 0xC741);
    EXPECT_TRUE(codes[1] == 0xC710 || codes[1] == 0xC701);
    EXPECT_EQ(codes[2], 0xC702);
    EXPECT_EQ(codes[3], 0xC703);
    EXPECT_EQ(codes[codes.size() - 2], 0xC704);
    EXPECT_EQ(codes.back(), 0xC705);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xC715), 1);
    const auto at15 = std::find(codes.begin(), codes.end(), 0xC715);
    EXPECT_TRUE(at15 > codes.begin() + 3 && at15 < codes.end() - 3) << "C7-15 stands among the blocks";
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xC703), 147);
    EXPECT_EQ(programmed, std::vector<BYTE>(m_image.begin(), m_image.begin() + static_cast<std::ptrdiff_t>(body)));
  }
}

TEST_F(SampleScriptTest, RefusedInputs) {
  std::string err;
  std::vector<BYTE> small(1000);
  EXPECT_TRUE(MakeUpdateScript(small, SimScriptKind::Rs232, kSimDefaultModel, "x.bin", &err).empty());
  EXPECT_FALSE(err.empty());
  for (const char* model : {"two\r\nlines", "SEND: here", "WAIT for it", "SLEEPER"}) {
    err.clear();
    EXPECT_TRUE(MakeUpdateScript(m_image, SimScriptKind::Rs232, model, "x.bin", &err).empty()) << model;
    EXPECT_FALSE(err.empty());
  }
}

// Plays a script to the simulated reader the way the runner sends it, through
// the tool's own transports: an RS-232 script over the serial exchange and
// over USB HID with tagged reports, a USB HID script written as it stands in
// raw 64-byte output reports. Every answer must be the one its role needs.
void VirtualWait(DWORD dwMs, BOOL) { plat::ThreadPump().WaitUntil(plat::NowMs() + dwMs); }

TEST_F(SampleScriptTest, TheSimulatedReaderTakesTheWholeUpdate) {
  struct Row {
    const char* name;
    SimScriptKind kind;
    bool bUsb;
    BYTE bTagged;
  } rows[] = {
      {"RS-232 script on RS-232", SimScriptKind::Rs232, false, 0},
      {"RS-232 script on USB HID", SimScriptKind::Rs232, true, 1},
      {"USB HID script on USB HID", SimScriptKind::UsbHid, true, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const auto cmds = ParseCommands(MakeUpdateScript(m_image, r.kind, kSimDefaultModel, "firmware.bin", nullptr));
    ReaderModel reader;
    FakeSerial serial;
    SimSerialLink line(serial.AddPort("COM1"), reader, 115200);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    SimHidDevice usb(backend, reader, SimHidMode::Interrupt64);
    CRs232Port port;
    CHidDevice dev;
    if (r.bUsb) {
      ASSERT_TRUE(dev.Open(kSimReaderVendorId, kSimReaderProductId));
      dev.SetTaggedReports(r.bTagged);
    } else {
      ASSERT_TRUE(port.Open("\\\\.\\COM1/baud=115200/parity=N/stop=1/data=8"));
    }
    for (std::size_t n = 0; n < cmds.size(); ++n) {
      SCOPED_TRACE(n + 1);
      BYTE answer[512] = {};
      DWORD len = sizeof answer;
      const auto& b = cmds[n].bytes;
      if (r.bUsb) {
        len = dev.SendAndGetResponseUSBHID(b.data(), static_cast<DWORD>(b.size()), answer, len, 65000, nullptr);
      } else {
        port.SendRecvFrame(b.data(), static_cast<DWORD>(b.size()), answer, &len, 65000, VirtualWait);
      }
      ASSERT_GT(len, 0u);
      if (n > 0) {
        ASSERT_TRUE(IsRespOk(answer, 0xC7)) << "status " << int(answer[11]);
      }
      // The runner waits 5 s after the first command; the bootloader is up by then.
      if (n == 0) VirtualWait(5000, FALSE);
    }
    m_clock.Advance(reader.Config().nRestartMs);
    EXPECT_EQ(reader.State(), SimState::Application);
    EXPECT_TRUE(reader.AppValid());
    EXPECT_EQ(reader.AppVersion(), "3.10.001");
    EXPECT_EQ(reader.BlocksProgrammed(), 0) << "the restart ends the bootloader's session";
    EXPECT_EQ(reader.ProgrammedBody(),
              std::vector<BYTE>(m_image.begin(), m_image.end() - static_cast<std::ptrdiff_t>(kSimTrailerSize)));
  }
}

TEST(SampleFiles, WrittenByTheCommandsGenerator) {
  const auto dir = std::filesystem::temp_directory_path() / ("readersim_samples_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  SampleOptions opt;
  std::string err;
  ASSERT_TRUE(WriteSamples((dir / "out").string(), opt, &err)) << err;
  std::vector<BYTE> img, rs, usb;
  ASSERT_TRUE(ReadWholeFile((dir / "out" / kSimSampleImage).string(), &img, &err)) << err;
  ASSERT_TRUE(ReadWholeFile((dir / "out" / kSimSampleRs232Script).string(), &rs, &err)) << err;
  ASSERT_TRUE(ReadWholeFile((dir / "out" / kSimSampleUsbHidScript).string(), &usb, &err)) << err;
  std::vector<BYTE> want;
  ASSERT_TRUE(MakeSampleImage(kSimDefaultImageSize, 1, &want, nullptr));
  EXPECT_EQ(img, want);
  EXPECT_EQ(std::string(rs.begin(), rs.end()),
            MakeUpdateScript(want, SimScriptKind::Rs232, kSimDefaultModel, kSimSampleImage, nullptr));
  EXPECT_EQ(std::string(usb.begin(), usb.end()),
            MakeUpdateScript(want, SimScriptKind::UsbHid, kSimDefaultModel, kSimSampleImage, nullptr));
  // The tool's own checks accept what the generator wrote: each script as
  // its kind only, the image as an image.
  const auto accepts = [&](bool (*check)(const char*, const BYTE*, int), const char* name,
                           const std::vector<BYTE>& data) {
    return check((dir / "out" / name).string().c_str(), data.data(), static_cast<int>(data.size()));
  };
  EXPECT_TRUE(accepts(IsRs232Script, kSimSampleRs232Script, rs));
  EXPECT_FALSE(accepts(IsUsbHidScript, kSimSampleRs232Script, rs));
  EXPECT_TRUE(accepts(IsUsbHidScript, kSimSampleUsbHidScript, usb));
  EXPECT_FALSE(accepts(IsRs232Script, kSimSampleUsbHidScript, usb));
  EXPECT_TRUE(accepts(IsValidImageFile, kSimSampleImage, img));

  // From a body file of the user's.
  const std::vector<BYTE> body(5000, 0x42);
  ASSERT_TRUE(WriteWholeFile((dir / "body.raw").string(), body.data(), body.size(), &err)) << err;
  opt.strBodyFile = (dir / "body.raw").string();
  ASSERT_TRUE(WriteSamples((dir / "mine").string(), opt, &err)) << err;
  ASSERT_TRUE(ReadWholeFile((dir / "mine" / kSimSampleImage).string(), &img, &err));
  EXPECT_EQ(img.size(), kSimImageMin);
  EXPECT_TRUE(std::equal(body.begin(), body.end(), img.begin()));

  opt.strBodyFile = (dir / "missing.raw").string();
  EXPECT_FALSE(WriteSamples((dir / "none").string(), opt, &err));
  EXPECT_NE(err.find("missing.raw"), std::string::npos);
  std::filesystem::remove_all(dir);
}

// The program's generator commands, as users run them.
TEST(SampleFiles, ReadersimCommands) {
  const auto dir = std::filesystem::temp_directory_path() / ("readersim_cmd_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string img = (dir / "fw.bin").string(), txt = (dir / "fw_usb.txt").string();
  SimProcess gen(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_EQ(gen.Run({"gen-image", img, "--size", "290000", "--seed", "9"}), 0) << gen.Output();
  std::vector<BYTE> image, want, script;
  std::string err;
  ASSERT_TRUE(ReadWholeFile(img, &image, &err)) << err;
  ASSERT_TRUE(MakeSampleImage(290000, 9, &want, nullptr));
  EXPECT_EQ(image, want);
  ASSERT_EQ(gen.Run({"gen-script", img, txt, "--kind", "usbhid", "--model", "Bench reader"}), 0) << gen.Output();
  ASSERT_TRUE(ReadWholeFile(txt, &script, &err)) << err;
  EXPECT_EQ(std::string(script.begin(), script.end()),
            MakeUpdateScript(want, SimScriptKind::UsbHid, "Bench reader", "fw.bin", nullptr));
  // Refusals end with a failure status and write nothing.
  struct Row {
    std::vector<std::string> args;
    int status;
  } rows[] = {
      {{"gen-image", (dir / "bad.bin").string(), "--size", "286720"}, 1},
      {{"gen-script", (dir / "missing.bin").string(), (dir / "bad.txt").string()}, 1},
      {{"gen-script", img, (dir / "bad.txt").string(), "--kind", "serial"}, 64},
      {{"--no-such-option"}, 64},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args[0]);
    EXPECT_EQ(gen.Run(r.args), r.status) << gen.Output();
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.txt"));
  std::filesystem::remove_all(dir);
}

}  // namespace
