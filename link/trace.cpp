#include "link/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "link/hex_format.h"
#include "link/interface_select.h"
#include "platform/clock.h"
#include "platform/stop.h"

namespace trace {
namespace {

// A C stream, flushed after every line; closed at the end unless it is
// standard error.
class FileSink final : public ISink {
 public:
  FileSink(std::FILE* pFile, bool bOwned) : m_pFile(pFile), m_bOwned(bOwned) {}
  ~FileSink() override {
    if (m_bOwned) std::fclose(m_pFile);
  }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  void Write(const std::string& line) override {
    std::fwrite(line.data(), 1, line.size(), m_pFile);
    std::fflush(m_pFile);
  }

 private:
  std::FILE* m_pFile;
  bool m_bOwned;
};

// Guards the sink and the file sink the trace owns.
std::mutex g_mutex;
ISink* g_pSink = nullptr;
std::unique_ptr<FileSink> g_pFileSink;
std::atomic<std::uint64_t> g_startMs{0};

// Per thread, since every exchange and every wait runs on one thread: the
// reason the exchange in progress ends without an answer, and the reason of
// the next wait.
thread_local const char* t_pszNoAnswer = nullptr;
thread_local const char* t_pszWait = nullptr;
// When the calling thread's exchange in progress sent its request.
thread_local std::uint64_t t_requestMs = 0;

const char* LinkName(Link link) { return link == Link::Rs232 ? "rs232" : "usb  "; }

void Emit(std::string line) {
  line += '\n';
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_pSink) g_pSink->Write(line);
}

// "[    1234 ms] rs232 " and the event.
void EmitEvent(Link link, const std::string& event) {
  const std::uint64_t now = plat::NowMs();
  const std::uint64_t start = g_startMs.load(std::memory_order_relaxed);
  char prefix[48];
  std::snprintf(prefix, sizeof prefix, "[%8llu ms] %s ", static_cast<unsigned long long>(now > start ? now - start : 0),
                LinkName(link));
  Emit(prefix + event);
}

// The tool's hex format without the blank after the last byte.
std::string Hex(const BYTE* p, std::size_t n) {
  std::string s = FormatHexLine(p, n);
  if (!s.empty()) s.pop_back();
  return s;
}

std::string Counted(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// Makes `pSink` the sink (taking `pOwned` if the trace is to own it), time 0
// now, and writes the first line: program, version and the local time.
void Install(ISink* pSink, std::unique_ptr<FileSink> pOwned, const char* pszProgram) {
  char when[32] = "";
  const std::time_t t = std::time(nullptr);
  if (const std::tm* tm = std::localtime(&t)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", tm);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pFileSink = std::move(pOwned);
    g_pSink = pSink;
    g_startMs.store(plat::NowMs(), std::memory_order_relaxed);
  }
  Emit(std::string("# ") + (pszProgram ? pszProgram : "readertool") + " " + std::to_string(READERTOOL_VERSION_MAJOR) +
       "." + std::to_string(READERTOOL_VERSION_MINOR) + "." + std::to_string(READERTOOL_VERSION_PATCH) +
       ", trace started " + when);
  detail::g_bOn.store(true, std::memory_order_release);
}

}  // namespace

void Enable(ISink& sink, const char* pszProgram) { Install(&sink, nullptr, pszProgram); }

bool EnableTo(const std::string& target, const char* pszProgram, std::string* pError) {
  std::unique_ptr<FileSink> pSink;
  if (target == "-") {
    pSink = std::make_unique<FileSink>(stderr, false);
  } else {
    std::FILE* pFile = target.empty() ? nullptr : std::fopen(target.c_str(), "a");
    if (!pFile) {
      if (pError) *pError = target.empty() ? "no file named" : std::strerror(errno);
      return false;
    }
    pSink = std::make_unique<FileSink>(pFile, true);
  }
  ISink* pRaw = pSink.get();
  Install(pRaw, std::move(pSink), pszProgram);
  return true;
}

void Disable() {
  detail::g_bOn.store(false, std::memory_order_release);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_pSink = nullptr;
  g_pFileSink.reset();
}

namespace detail {

void Request(Link link, const BYTE* p, std::size_t n) {
  t_pszNoAnswer = nullptr;
  t_requestMs = plat::NowMs();
  EmitEvent(link, "> " + Hex(p, n) + " (" + Counted(n) + ")");
}

void Answer(Link link, const BYTE* p, std::size_t n) {
  const char* pszWhy = t_pszNoAnswer;
  t_pszNoAnswer = nullptr;
  const std::uint64_t now = plat::NowMs();
  const std::string after = "after " + std::to_string(now > t_requestMs ? now - t_requestMs : 0) + " ms";
  if (n > 0) {
    EmitEvent(link, "< " + Hex(p, n) + " (" + Counted(n) + ", " + after + ")");
    return;
  }
  if (!pszWhy) pszWhy = plat::Stop().Requested() ? "stop" : "error";
  EmitEvent(link, "< no answer " + after + " (" + pszWhy + ")");
}

void NoAnswerBecause(const char* pszWhy) {
  if (!t_pszNoAnswer) t_pszNoAnswer = pszWhy;
}

void WaitBecause(const char* pszWhy) { t_pszWait = pszWhy; }

void Wait(DWORD dwMs, bool bPing) {
  const char* pszWhy = t_pszWait;
  t_pszWait = nullptr;
  const Link link = g_nInterface == kInterfaceRs232 ? Link::Rs232 : Link::Usb;
  std::string event = (bPing ? "wait up to " : "wait ") + std::to_string(dwMs) + " ms";
  if (bPing) event += ", pinging until the reader answers";
  if (pszWhy) event += std::string(": ") + pszWhy;
  EmitEvent(link, event);
}

void Bytes(Link link, const char* pszWhat, const BYTE* p, std::size_t n) {
  EmitEvent(link, std::string(pszWhat) + ": " + Counted(n) + ": " + Hex(p, n));
}

void Event(Link link, const char* pszFormat, ...) {
  char buf[256];
  va_list args;
  va_start(args, pszFormat);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(buf, sizeof buf, pszFormat, args);
  va_end(args);
  std::string event;
  if (n >= static_cast<int>(sizeof buf)) {
    event.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(event.data(), event.size(), pszFormat, again);
    event.pop_back();
  } else if (n > 0) {
    event = buf;
  }
  va_end(again);
  EmitEvent(link, event);
}

}  // namespace detail
}  // namespace trace
