// readersim: the simulated reader as a program. It serves the reader model
// over a pseudo-terminal (the tool's RS-232 side) and over the HID simulator
// socket or as a kernel HID device through /dev/uhid (the tool's USB HID
// side) until SIGINT or SIGTERM, and it makes the sample firmware image and
// update scripts.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/file_version_info.h"
#include "link/hex_format.h"
#include "platform/clock.h"
#include "platform/posix/com_map.h"
#include "platform/hid_sim_wire.h"
#include "platform/posix/hid_sim_server.h"
#include "platform/posix/fd_wait.h"
#include "platform/std_streams.h"
#include "platform/stop.h"
#include "sim/model/hid_front.h"
#include "sim/model/reader_ids.h"
#include "sim/model/reader_model.h"
#include "sim/model/samples.h"
#include "sim/model/serial_front.h"
#include "sim/serve/pty_line.h"
#include "sim/serve/uhid_front.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 64;
constexpr const char* kHidSimEnv = "READERTOOL_HID_SIM";

const char kUsage[] =
    "Usage: readersim [serve] [options]       serve a simulated reader until SIGINT/SIGTERM\n"
    "       readersim gen-samples OUTDIR [--size N] [--seed N] [--body FILE] [--model TEXT]\n"
    "       readersim gen-image OUT.bin [--size N] [--seed N] [--body FILE]\n"
    "       readersim gen-script IMAGE.bin OUT.txt [--kind rs232|usbhid] [--model TEXT]\n"
    "\n"
    "Where it is served (a pseudo-terminal unless only --hid or --uhid is given):\n"
    "  --pty                  serve on a pseudo-terminal; its path is printed\n"
    "  --com N                link it as comN in the COM folder ($READERTOOL_COM_DIR)\n"
    "  --com-dir DIR          the COM folder to link into\n"
    "  --baud N|line          pace answers at N baud, 10 bits a byte; 'line' (default)\n"
    "                         takes the rate the tool set on its port; 0 sends at once\n"
    "  --expect-baud N        the reader runs at N baud only: a request that arrives while\n"
    "                         the tool's port is set to another rate gets no answer (the\n"
    "                         trace says so)\n"
    "  --hid MODE             serve on the HID simulator socket; MODE is int64 (64-byte\n"
    "                         interrupt reports), count65 (65-byte counted reports),\n"
    "                         feature8 (8-byte feature reports) or feature-only (a device\n"
    "                         only the shared, query-only open reaches)\n"
    "  --hid-socket PATH      socket path (default $READERTOOL_HID_SIM)\n"
    "  --uhid                 serve the --hid mode (default int64) as a USB HID device of\n"
    "                         this Linux kernel through /dev/uhid instead of the socket;\n"
    "                         int64, count65 or feature8\n"
    "  --vid HEX, --pid HEX   USB identity (default: the known reader list's default model)\n"
    "  --usb-serial TEXT      USB serial number the socket's device info carries (default none)\n"
    "The reader:\n"
    "  --fw-version X.XX.XXX  application firmware version (default 2.10.005, legacy)\n"
    "  --boot-version X.XX.XXX  bootloader's version text (default: the application's)\n"
    "  --new-fw-version X.XX.XXX  version after a verified download (default 3.10.001)\n"
    "  --boot-status 00|F2    answer to C7-41 (default 00)\n"
    "  --in-boot              start in the bootloader\n"
    "  --frame v2|v3          answer frame version (default v2)\n"
    "  --crc high|low         CRC byte order of the answers (default high)\n"
    "  --delay MS             answer delay (default 5)\n"
    "  --restart-ms MS        silence after 04-F0, 04-0A and C7-05 (default 3000)\n"
    "  --boot-entry-ms MS     silence after C7-41 (default 1000)\n"
    "Faults:\n"
    "  --noise N              N noise bytes before every answer\n"
    "  --bad-crc              answers with a wrong CRC\n"
    "  --silent               no answers\n"
    "  --fault-cmd CC-SS      the three above for this command only\n"
    "  --stop-after N         answer N requests, then nothing\n"
    "  --reject-block N       refuse C7-03 block N (0-based)\n"
    "  --status CC-SS=XX      answer CC-SS with status XX and do nothing else\n"
    "  --restart-at-block N   lose power when block N arrives (the reader stays in\n"
    "                         its bootloader)\n"
    "  --disconnect-after N   unplug after answering N requests\n"
    "Output:\n"
    "  --trace                every request, answer and event with its time on stderr\n"
    "  --version              the program's version, then exit\n";

void OnSignal(int) { plat::Stop().Request(); }

bool ParseNumber(const char* s, unsigned long max, unsigned long* out, int base = 10) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(s, &end, base);
  if (errno || *end || v > max || *s == '-') return false;
  *out = v;
  return true;
}

// "C7-03" or "C703".
bool ParseCode(const std::string& s, int* code) {
  std::string hex;
  for (char c : s)
    if (c != '-') hex.push_back(c);
  unsigned long v;
  if (hex.size() != 4 || !ParseNumber(hex.c_str(), 0xFFFF, &v, 16)) return false;
  *code = static_cast<int>(v);
  return true;
}

struct ServeOptions {
  ServeOptions() { cfg.nAnswerDelayMs = 5; }
  ReaderConfig cfg;
  ReaderFaults faults;
  bool bPty = false;
  int nCom = 0;
  std::string comDir;
  bool bBaudFromLine = true;
  unsigned long nBaud = 0;
  unsigned long nExpectBaud = 0;
  bool bHid = false;
  SimHidMode hidMode = SimHidMode::Interrupt64;
  std::string hidSocket;
  bool bUhid = false;
  unsigned long vid = kSimReaderVendorId, pid = kSimReaderProductId;
  std::string usbSerial;
  bool bTrace = false;
};

const char* ModeText(SimHidMode m) {
  switch (m) {
    case SimHidMode::Interrupt64:
      return "64-byte interrupt reports";
    case SimHidMode::Counted65:
      return "65-byte counted reports";
    case SimHidMode::Feature8:
      return "8-byte feature reports";
    case SimHidMode::FeatureOnly:
      return "feature-only device";
  }
  return "";
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "readersim: %s\n\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

// "--version": the version of the program's own version resource, the one
// readerctl's version command reads. -1 (leave with success) once printed.
int PrintVersion() {
  const std::string strVersion = OwnVersionText();
  if (strVersion.empty()) {
    std::fprintf(stderr, "readersim: the program's version information cannot be read\n");
    return kExitFailure;
  }
  std::printf("readersim %s\n", strVersion.c_str());
  return -1;
}

// Parses the serve options; returns kExitOk or the exit status to leave with.
int ParseServe(int argc, char** argv, int i, ServeOptions* o) {
  auto need = [&](const char* opt) -> const char* {
    if (i + 1 >= argc) return nullptr;
    (void)opt;
    return argv[++i];
  };
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    unsigned long v = 0;
    const char* val = nullptr;
    auto num = [&](unsigned long max) {
      val = need(a.c_str());
      return val && ParseNumber(val, max, &v);
    };
    auto version = [&](std::string* dst) {
      val = need(a.c_str());
      if (!val || !ReaderModel::IsVersionText(val)) return false;
      *dst = val;
      return true;
    };
    // A value that must be one of the named choices.
    auto choice = [&](auto* dst, std::initializer_list<std::pair<const char*, std::decay_t<decltype(*dst)>>> names) {
      val = need(a.c_str());
      for (const auto& [name, value] : names) {
        if (val && std::strcmp(val, name) == 0) {
          *dst = value;
          return true;
        }
      }
      return false;
    };
    if (a == "--pty") {
      o->bPty = true;
    } else if (a == "--com") {
      if (!num(255) || v < 1) return Usage("--com takes a port number from 1 to 255");
      o->nCom = static_cast<int>(v);
    } else if (a == "--com-dir") {
      if (!(val = need(a.c_str()))) return Usage("--com-dir takes a folder");
      o->comDir = val;
    } else if (a == "--baud") {
      val = need(a.c_str());
      if (val && std::strcmp(val, "line") == 0) {
        o->bBaudFromLine = true;
      } else if (val && ParseNumber(val, 4000000, &v)) {
        o->bBaudFromLine = false;
        o->nBaud = v;
      } else {
        return Usage("--baud takes a rate, 0 or 'line'");
      }
    } else if (a == "--expect-baud") {
      if (!num(4000000) || v < 1) return Usage("--expect-baud takes a rate");
      o->nExpectBaud = v;
    } else if (a == "--hid") {
      if (!choice(&o->hidMode, {{"int64", SimHidMode::Interrupt64},
                                {"count65", SimHidMode::Counted65},
                                {"feature8", SimHidMode::Feature8},
                                {"feature-only", SimHidMode::FeatureOnly}}))
        return Usage("--hid takes int64, count65, feature8 or feature-only");
      o->bHid = true;
    } else if (a == "--uhid") {
      o->bUhid = true;
    } else if (a == "--hid-socket") {
      if (!(val = need(a.c_str()))) return Usage("--hid-socket takes a path");
      o->hidSocket = val;
    } else if (a == "--vid" || a == "--pid") {
      val = need(a.c_str());
      if (!val || !ParseNumber(val, 0xFFFF, &v, 16)) return Usage(a + " takes a hexadecimal ID");
      (a == "--vid" ? o->vid : o->pid) = v;
    } else if (a == "--usb-serial") {
      if (!(val = need(a.c_str())) || !*val || std::strlen(val) > plat::hidsim::kMaxSerialLen)
        return Usage("--usb-serial takes a text of 1 to 255 bytes");
      o->usbSerial = val;
    } else if (a == "--fw-version") {
      if (!version(&o->cfg.strAppVersion)) return Usage("--fw-version takes a version such as 2.10.005");
    } else if (a == "--boot-version") {
      if (!version(&o->cfg.strBootVersion)) return Usage("--boot-version takes a version such as 2.10.005");
    } else if (a == "--new-fw-version") {
      if (!version(&o->cfg.strUpdatedVersion)) return Usage("--new-fw-version takes a version such as 3.10.001");
    } else if (a == "--boot-status") {
      val = need(a.c_str());
      if (!val || !ParseNumber(val, 0xFF, &v, 16)) return Usage("--boot-status takes 00 or F2");
      o->cfg.byBootEntryStatus = static_cast<BYTE>(v);
    } else if (a == "--in-boot") {
      o->cfg.bStartInBootloader = true;
    } else if (a == "--frame") {
      if (!choice(&o->cfg.frameVersion, {{"v2", SimFrameVersion::V2}, {"v3", SimFrameVersion::V3}}))
        return Usage("--frame takes v2 or v3");
    } else if (a == "--crc") {
      if (!choice(&o->cfg.crcOrder, {{"high", CrcOrder::HighFirst}, {"low", CrcOrder::LowFirst}}))
        return Usage("--crc takes high or low");
    } else if (a == "--delay") {
      if (!num(600000)) return Usage("--delay takes milliseconds");
      o->cfg.nAnswerDelayMs = static_cast<std::uint32_t>(v);
    } else if (a == "--restart-ms") {
      if (!num(600000)) return Usage("--restart-ms takes milliseconds");
      o->cfg.nRestartMs = static_cast<std::uint32_t>(v);
    } else if (a == "--boot-entry-ms") {
      if (!num(600000)) return Usage("--boot-entry-ms takes milliseconds");
      o->cfg.nBootEntryMs = static_cast<std::uint32_t>(v);
    } else if (a == "--noise") {
      if (!num(4096)) return Usage("--noise takes a byte count up to 4096");
      o->faults.nNoiseBytes = static_cast<int>(v);
    } else if (a == "--bad-crc") {
      o->faults.bBadCrc = true;
    } else if (a == "--silent") {
      o->faults.bSilent = true;
    } else if (a == "--fault-cmd") {
      val = need(a.c_str());
      if (!val || !ParseCode(val, &o->faults.nFaultCmd)) return Usage("--fault-cmd takes a command such as 29-04");
    } else if (a == "--stop-after" || a == "--reject-block" || a == "--restart-at-block" || a == "--disconnect-after") {
      if (!num(1000000)) return Usage(a + " takes a count");
      int& dst = a == "--stop-after"         ? o->faults.nStopAfter
                 : a == "--reject-block"     ? o->faults.nRejectBlock
                 : a == "--restart-at-block" ? o->faults.nRestartAtBlock
                                             : o->faults.nDisconnectAfter;
      dst = static_cast<int>(v);
    } else if (a == "--status") {
      val = need(a.c_str());
      const std::string s = val ? val : "";
      const std::size_t eq = s.find('=');
      if (eq == std::string::npos || !ParseCode(s.substr(0, eq), &o->faults.nStatusCmd) ||
          !ParseNumber(s.substr(eq + 1).c_str(), 0xFF, &v, 16))
        return Usage("--status takes CC-SS=XX, such as C7-02=01");
      o->faults.byStatus = static_cast<BYTE>(v);
    } else if (a == "--trace") {
      o->bTrace = true;
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (a == "--version") {
      return PrintVersion();
    } else {
      return Usage("unknown option " + a);
    }
  }
  if (!o->bHid && !o->bUhid) o->bPty = true;
  if (o->nCom && !o->bPty) return Usage("--com needs the pseudo-terminal (--pty)");
  if (o->nExpectBaud && !o->bPty) return Usage("--expect-baud needs the pseudo-terminal (--pty)");
  // The kernel cannot refuse an exclusive open, which is what makes a
  // feature-only device.
  if (o->bUhid && o->hidMode == SimHidMode::FeatureOnly) return Usage("--uhid serves int64, count65 or feature8");
  if (o->bUhid) o->bHid = false;
  if (o->bHid && o->hidSocket.empty()) {
    const char* env = std::getenv(kHidSimEnv);
    if (!env || !*env) return Usage("--hid needs --hid-socket or READERTOOL_HID_SIM");
    o->hidSocket = env;
  }
  if (o->nCom && o->comDir.empty()) {
    const char* env = std::getenv(plat::kComDirEnv);
    if (!env || !*env) return Usage("--com needs --com-dir or READERTOOL_COM_DIR");
    o->comDir = env;
  }
  return kExitOk;
}

void TraceEntry(const TranscriptEntry& e) {
  static const char* const kKind[] = {"host -> reader", "reader -> host", "event"};
  if (e.kind == TranscriptEntry::Note) {
    std::fprintf(stderr, "[%llu ms] %s: %s\n", static_cast<unsigned long long>(e.tMs), kKind[e.kind], e.text.c_str());
    return;
  }
  std::fprintf(stderr, "[%llu ms] %s %02X-%02X, %zu bytes\n", static_cast<unsigned long long>(e.tMs), kKind[e.kind],
               e.wCode >> 8, e.wCode & 0xFF, e.bytes.size());
  // Four lines are enough to see the header, status and start of the data.
  const std::size_t shown = std::min<std::size_t>(e.bytes.size(), 64);
  for (std::size_t off = 0; off < shown; off += 16)
    std::fprintf(stderr, "    %s\n",
                 FormatHexLine(e.bytes.data() + off, std::min<std::size_t>(16, shown - off)).c_str());
  if (shown < e.bytes.size()) std::fprintf(stderr, "    ... %zu more bytes\n", e.bytes.size() - shown);
}

int Serve(const ServeOptions& o) {
  ReaderModel model(o.cfg);
  model.SetFaults(o.faults);
  model.KeepTranscript(false);
  if (o.bTrace) model.SetTranscriptSink(TraceEntry);
  const int unplugFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  model.SetDisconnectHandler([unplugFd] {
    std::uint64_t one = 1;
    ssize_t r = write(unplugFd, &one, sizeof one);
    (void)r;
  });

  PtyLine line;
  SerialFront serial(model, o.bBaudFromLine ? 0 : static_cast<std::uint32_t>(o.nBaud));
  serial.ExpectBaud(static_cast<std::uint32_t>(o.nExpectBaud));
  std::string err;
  if (o.bPty) {
    if (!line.Open(&err)) {
      std::fprintf(stderr, "readersim: %s\n", err.c_str());
      return kExitFailure;
    }
    std::printf("readersim: serial line %s\n", line.Path().c_str());
    if (o.nCom) {
      const std::string link = (std::filesystem::path(o.comDir) / ("com" + std::to_string(o.nCom))).string();
      if (!line.LinkAs(link, &err)) {
        std::fprintf(stderr, "readersim: %s\n", err.c_str());
        return kExitFailure;
      }
      std::printf("readersim: COM%d is %s\n", o.nCom, link.c_str());
    }
  }
  std::unique_ptr<HidFront> hid;
  std::unique_ptr<plat::HidSimServer> server;
  std::unique_ptr<UhidFront> uhid;
  if (o.bUhid) {
    hid = std::make_unique<HidFront>(model, o.hidMode, static_cast<std::uint16_t>(o.vid),
                                     static_cast<std::uint16_t>(o.pid));
    uhid = std::make_unique<UhidFront>(*hid);
    if (!uhid->Create("readersim simulated reader", &err)) {
      std::fprintf(stderr, "readersim: %s\n", err.c_str());
      return kExitFailure;
    }
    std::printf("readersim: USB HID, %s, vendor %04lX product %04lX, on %s\n", ModeText(o.hidMode), o.vid, o.pid,
                kUhidDevicePath);
    if (!UhidFront::RunAheadOfTheHost(&err))
      std::fprintf(stderr,
                   "readersim: %s; reports a host writes faster than this program reads them may be lost "
                   "(uhid queues 32 events)\n",
                   err.c_str());
  }
  if (o.bHid) {
    hid = std::make_unique<HidFront>(model, o.hidMode, static_cast<std::uint16_t>(o.vid),
                                     static_cast<std::uint16_t>(o.pid));
    hid->SetSerialNumber(o.usbSerial);
    server = std::make_unique<plat::HidSimServer>(*hid);
    if (!server->Start(o.hidSocket, &err)) {
      std::fprintf(stderr, "readersim: %s\n", err.c_str());
      return kExitFailure;
    }
    std::printf("readersim: USB HID, %s, vendor %04lX product %04lX, on %s\n", ModeText(o.hidMode), o.vid, o.pid,
                o.hidSocket.c_str());
  }
  std::printf("readersim: ready\n");
  std::fflush(stdout);

  std::vector<BYTE> out;  // answer bytes due but not yet taken by the pty
  bool unplugged = false;
  int rc = kExitOk;
  std::uint64_t uhidDue = UINT64_MAX;  // next input report of the uhid device
  while (!plat::Stop().Requested()) {
    // poll() passes over the entries of closed descriptors (-1).
    pollfd fds[4] = {{plat::StopFd(), POLLIN, 0},
                     {unplugFd, POLLIN, 0},
                     {line.Fd(), POLLIN, 0},
                     {uhid ? uhid->Fd() : -1, POLLIN, 0}};
    if (!out.empty()) fds[2].events |= POLLOUT;
    int timeout = -1;
    const std::uint64_t due = std::min(line.Fd() >= 0 ? serial.NextDueMs() : UINT64_MAX, uhidDue);
    if (due != UINT64_MAX) timeout = static_cast<int>(std::min<std::uint64_t>(plat::RemainingMs(due), 60000));
    if (poll(fds, 4, timeout) < 0 && errno != EINTR) {
      std::fprintf(stderr, "readersim: poll: %s\n", std::strerror(errno));
      break;
    }
    if (fds[0].revents & POLLIN) plat::StopAfterWake();
    if (fds[1].revents & POLLIN) {
      std::uint64_t v;
      ssize_t r = read(unplugFd, &v, sizeof v);
      (void)r;
    }
    if ((fds[1].revents & POLLIN) && !unplugged) {
      // The reader is unplugged: the serial line hangs up, USB clients drop.
      unplugged = true;
      std::printf("readersim: disconnected\n");
      std::fflush(stdout);
      line.Close();
      out.clear();
      if (server) server->DisconnectClients();
      if (uhid) uhid->Destroy();
    }
    if (uhid && uhid->Fd() >= 0) {
      if ((fds[3].revents & (POLLIN | POLLERR | POLLHUP)) && !uhid->OnReadable(&err)) {
        std::fprintf(stderr, "readersim: %s\n", err.c_str());
        uhid->Destroy();
        // Nothing left to serve on.
        if (line.Fd() < 0) {
          rc = kExitFailure;
          break;
        }
      }
      uhidDue = uhid->DeliverDue(plat::NowMs());
    } else {
      uhidDue = UINT64_MAX;
    }
    if (line.Fd() < 0) continue;
    if (fds[2].revents & POLLIN) {
      BYTE buf[4096];
      const ssize_t n = read(line.Fd(), buf, sizeof buf);
      if (n > 0) {
        // The rate the tool's port is set to now: the bytes just read came at it.
        const unsigned lineBaud = line.LineBaud();
        if (o.bBaudFromLine) serial.SetBaud(lineBaud);
        serial.SetLineBaud(lineBaud);
        serial.OnReceive(buf, static_cast<std::size_t>(n));
      }
    }
    const auto ready = serial.TakeDue(plat::NowMs());
    out.insert(out.end(), ready.begin(), ready.end());
    if (!out.empty()) {
      const ssize_t n = write(line.Fd(), out.data(), out.size());
      if (n > 0) out.erase(out.begin(), out.begin() + n);
    }
  }
  if (server) server->Stop();
  if (uhid) uhid->Destroy();
  line.Close();
  close(unplugFd);
  std::printf("readersim: stopped\n");
  return rc;
}

int GenSamples(int argc, char** argv) {
  if (argc < 3) return Usage("gen-samples needs an output folder");
  SampleOptions opt;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    unsigned long v;
    if (i + 1 >= argc) return Usage(a + " needs a value");
    const char* val = argv[++i];
    if (a == "--size" && ParseNumber(val, 100000000, &v))
      opt.nImageSize = v;
    else if (a == "--seed" && ParseNumber(val, 0xFFFFFFFFul, &v))
      opt.nSeed = static_cast<std::uint32_t>(v);
    else if (a == "--body")
      opt.strBodyFile = val;
    else if (a == "--model")
      opt.strModel = val;
    else
      return Usage("bad option " + a + " " + val);
  }
  std::string err;
  if (!WriteSamples(argv[2], opt, &err)) {
    std::fprintf(stderr, "readersim: %s\n", err.c_str());
    return kExitFailure;
  }
  std::printf("readersim: wrote %s, %s and %s in %s\n", kSimSampleImage, kSimSampleRs232Script, kSimSampleUsbHidScript,
              argv[2]);
  return kExitOk;
}

int GenImage(int argc, char** argv) {
  if (argc < 3) return Usage("gen-image needs an output file");
  std::size_t size = kSimDefaultImageSize;
  std::uint32_t seed = 1;
  std::string body;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    unsigned long v;
    if (i + 1 >= argc) return Usage(a + " needs a value");
    const char* val = argv[++i];
    if (a == "--size" && ParseNumber(val, 100000000, &v))
      size = v;
    else if (a == "--seed" && ParseNumber(val, 0xFFFFFFFFul, &v))
      seed = static_cast<std::uint32_t>(v);
    else if (a == "--body")
      body = val;
    else
      return Usage("bad option " + a + " " + val);
  }
  std::vector<BYTE> image, bytes;
  std::string err;
  const bool ok = body.empty() ? MakeSampleImage(size, seed, &image, &err)
                               : ReadWholeFile(body, &bytes, &err) && MakeImageFromBody(bytes, &image, &err);
  if (!ok || !WriteWholeFile(argv[2], image.data(), image.size(), &err)) {
    std::fprintf(stderr, "readersim: %s\n", err.c_str());
    return kExitFailure;
  }
  std::printf("readersim: wrote %s (%zu bytes)\n", argv[2], image.size());
  return kExitOk;
}

int GenScript(int argc, char** argv) {
  if (argc < 4) return Usage("gen-script needs an image and an output file");
  SimScriptKind kind = SimScriptKind::Rs232;
  std::string model = kSimDefaultModel;
  for (int i = 4; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Usage(a + " needs a value");
    const std::string val = argv[++i];
    if (a == "--kind" && val == "rs232")
      kind = SimScriptKind::Rs232;
    else if (a == "--kind" && val == "usbhid")
      kind = SimScriptKind::UsbHid;
    else if (a == "--model")
      model = val;
    else
      return Usage("bad option " + a + " " + val);
  }
  std::vector<BYTE> image;
  std::string err;
  std::string text;
  if (ReadWholeFile(argv[2], &image, &err))
    text = MakeUpdateScript(image, kind, model, std::filesystem::path(argv[2]).filename().string(), &err);
  if (text.empty() || !WriteWholeFile(argv[3], text.data(), text.size(), &err)) {
    std::fprintf(stderr, "readersim: %s\n", err.c_str());
    return kExitFailure;
  }
  std::printf("readersim: wrote %s\n", argv[3]);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  plat::KeepStandardStreamsTaken();
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "gen-samples") return GenSamples(argc, argv);
  if (cmd == "gen-image") return GenImage(argc, argv);
  if (cmd == "gen-script") return GenScript(argc, argv);

  ServeOptions o;
  const int rc = ParseServe(argc, argv, cmd == "serve" ? 2 : 1, &o);
  if (rc < 0) return kExitOk;
  if (rc != kExitOk) return rc;

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return Serve(o);
}
