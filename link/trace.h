// The link trace: every exchange with the reader, the waits between them and
// the opening and closing of the link, one event per line, for an operator
// to send to support when a real reader misbehaves. Off unless a front end
// turns it on (readerctl --trace, READERTOOL_TRACE for the window).
//
//   # readerctl 1.3.1, trace started 2026-12-11 13:25:48
//   [      18 ms] rs232 open COM201 (/dev/pts/4), baud=115200 parity=N stop=1 data=8
//   [      18 ms] rs232 > 4B 65 73 74 72 75 6C 61 32 00 18 01 00 00 FF 61 (16 bytes)
//   [      18 ms] rs232 wait 100 ms: request written
//   [     471 ms] rs232 read 16 bytes
//   [     881 ms] rs232 < 4B 65 73 74 72 75 6C 61 32 00 18 00 00 00 C8 51 (16 bytes, after 863 ms)
//   [    5031 ms] usb   out: 1 counted output report of 65 bytes
//   [   70031 ms] usb   < no answer after 65000 ms (time-out)
//
// Time: milliseconds on the process clock since the trace was turned on.
// Link: "rs232" or "usb  ". Then the event: ">" a request and "<" its answer
// in the tool's one hex format, or in words what else happened. The event
// texts are listed in docs/ARCHITECTURE.md.
//
// Off, a trace point costs one relaxed load of an atomic flag: every entry
// below is an inline test of On() before anything is formatted or called.
// On, lines from any thread are written whole, each flushed as it is written
// (a hung or killed run keeps its trace).
#pragma once
#include <atomic>
#include <cstddef>
#include <string>

#include "platform/types.h"

namespace trace {

enum class Link { Rs232, Usb };

// Where the lines go. Write gets one whole line with its line end; calls are
// serialised by the trace.
class ISink {
 public:
  virtual ~ISink() = default;
  virtual void Write(const std::string& line) = 0;
};

namespace detail {
inline std::atomic<bool> g_bOn{false};
}  // namespace detail

inline bool On() { return detail::g_bOn.load(std::memory_order_relaxed); }

// Turns the trace on into `sink` (not owned; it must outlive Disable), with
// time 0 now. The first line names the program ("readerctl") with the
// version, and the local date and time.
void Enable(ISink& sink, const char* pszProgram);
// Turns it on into a file (appended to) or, for "-", standard error. False,
// with the reason in *pError, when the file cannot be opened.
bool EnableTo(const std::string& target, const char* pszProgram, std::string* pError);
// Turns the trace off and closes its file, if it has one.
void Disable();

namespace detail {
void Request(Link link, const BYTE* p, std::size_t n);
void Answer(Link link, const BYTE* p, std::size_t n);
void NoAnswerBecause(const char* pszWhy);
void WaitBecause(const char* pszWhy);
void Wait(DWORD dwMs, bool bPing);
void Bytes(Link link, const char* pszWhat, const BYTE* p, std::size_t n);
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Event(Link link, const char* pszFormat, ...);
}  // namespace detail

// A request frame on its way out ("> HEX (N bytes)"); starts an exchange.
inline void Request(Link link, const BYTE* p, std::size_t n) {
  if (On()) detail::Request(link, p, n);
}
// The end of the exchange: the answer frame, or (n == 0) "no answer" with
// the reason the transport gave, else "stop" or "error".
inline void Answer(Link link, const BYTE* p, std::size_t n) {
  if (On()) detail::Answer(link, p, n);
}
// Why the calling thread's exchange in progress ends without an answer; the
// first reason given counts. pszWhy must outlive the exchange (a literal).
inline void NoAnswerBecause(const char* pszWhy) {
  if (On()) detail::NoAnswerBecause(pszWhy);
}
// The reason shown with the calling thread's next wait (a literal).
inline void WaitBecause(const char* pszWhy) {
  if (On()) detail::WaitBecause(pszWhy);
}
// A wait of dwMs on the selected link ("wait N ms: reason"), or with bPing
// one that pings the reader until it answers.
inline void Wait(DWORD dwMs, bool bPing) {
  if (On()) detail::Wait(dwMs, bPing);
}
// Bytes other than a frame (noise skipped): "what: N bytes: HEX".
inline void Bytes(Link link, const char* pszWhat, const BYTE* p, std::size_t n) {
  if (On()) detail::Bytes(link, pszWhat, p, n);
}

}  // namespace trace

// Any other event, printf-style: "[T ms] link text". A macro, so that the
// compiler checks the format at each call and the arguments are not even
// evaluated while the trace is off.
#define TRACE_EVENT(link, ...)                                  \
  do {                                                          \
    if (::trace::On()) ::trace::detail::Event(link, __VA_ARGS__); \
  } while (0)
