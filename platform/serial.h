// The serial line as the RS-232 transport sees it: a line-settings record
// with the classic 32-bit flags word, a time-outs record, and a line object
// whose reads and writes end by those time-outs. One source file per
// operating system implements it (platform/posix/serial_posix.cpp); tests
// replace the opener with an in-process fake (tests/support/fake_serial.h).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/types.h"

namespace plat {

// Bit positions of SerialDcb::Flags.
constexpr DWORD kDcbBinary = 1u << 0;
constexpr DWORD kDcbParity = 1u << 1;  // check parity on input
constexpr DWORD kDcbOutxCtsFlow = 1u << 2;
constexpr DWORD kDcbOutxDsrFlow = 1u << 3;
constexpr int kDcbDtrControlShift = 4;  // two bits, kDtrControl*
constexpr DWORD kDcbDtrControlMask = 3u << kDcbDtrControlShift;
constexpr DWORD kDcbDsrSensitivity = 1u << 6;
constexpr DWORD kDcbTxContinueOnXoff = 1u << 7;
constexpr DWORD kDcbOutX = 1u << 8;
constexpr DWORD kDcbInX = 1u << 9;
constexpr DWORD kDcbErrorChar = 1u << 10;
constexpr DWORD kDcbNull = 1u << 11;
constexpr int kDcbRtsControlShift = 12;  // two bits, kRtsControl*
constexpr DWORD kDcbRtsControlMask = 3u << kDcbRtsControlShift;
constexpr DWORD kDcbAbortOnError = 1u << 14;

constexpr DWORD kDtrControlDisable = 0, kDtrControlEnable = 1, kDtrControlHandshake = 2;
constexpr DWORD kRtsControlDisable = 0, kRtsControlEnable = 1, kRtsControlHandshake = 2, kRtsControlToggle = 3;

constexpr BYTE kParityNone = 0, kParityOdd = 1, kParityEven = 2, kParityMark = 3, kParitySpace = 4;
constexpr BYTE kStopBitsOne = 0, kStopBitsOneHalf = 1, kStopBitsTwo = 2;

// Line settings.
struct SerialDcb {
  DWORD BaudRate = 0;
  DWORD Flags = 0;
  BYTE ByteSize = 8;
  BYTE Parity = kParityNone;
  BYTE StopBits = kStopBitsOne;
};

inline DWORD DtrControl(const SerialDcb& d) { return (d.Flags & kDcbDtrControlMask) >> kDcbDtrControlShift; }
inline DWORD RtsControl(const SerialDcb& d) { return (d.Flags & kDcbRtsControlMask) >> kDcbRtsControlShift; }

// Applies textual line settings such as "baud=9600 parity=N stop=1 data=8"
// to *pDcb: blank-separated key=value pairs, keys and letters in any case,
// each key at most once. Keys: baud (a positive decimal), parity (N, O, E,
// M, S), data (5 to 8), stop (1, 1.5, 2). An empty string changes nothing.
// Returns false, leaving *pDcb untouched, on any unknown key or value.
bool BuildSerialDcb(const char* pszSettings, SerialDcb* pDcb);

// True for the rates a line of this system can be set to exactly. A rate
// outside them is refused, never rounded to a neighbour.
bool IsStandardBaud(DWORD dwBaud);

// Time-outs in milliseconds, with the classic meaning:
// - a read ends when the buffer is full, when ReadTotalTimeoutMultiplier *
//   bytes asked + ReadTotalTimeoutConstant has passed since it began (both 0:
//   no total limit), or when ReadIntervalTimeout passes after a byte with no
//   next byte (0: no interval limit);
// - ReadIntervalTimeout kSerialMaxTimeout with both read totals 0: a read
//   returns at once with what is queued;
// - ReadIntervalTimeout and ReadTotalTimeoutMultiplier kSerialMaxTimeout with
//   a constant between: a read returns as soon as anything arrived, or with
//   nothing after the constant;
// - a write ends when WriteTotalTimeoutMultiplier * bytes +
//   WriteTotalTimeoutConstant has passed (both 0: no limit).
constexpr DWORD kSerialMaxTimeout = 0xFFFFFFFFu;
struct SerialTimeouts {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};

// How one read call of dwToRead bytes ends under a time-outs record; shared
// by every implementation so that they agree.
struct SerialReadPlan {
  bool bImmediate = false;    // return at once with what is queued
  bool bReturnOnAny = false;  // return as soon as one byte was read
  bool bHasTotal = false;
  std::uint64_t totalMs = 0;  // limit for the whole call, when bHasTotal
  DWORD intervalMs = 0;       // limit between bytes once one arrived; 0 none
};
SerialReadPlan PlanSerialRead(const SerialTimeouts& t, DWORD dwToRead);
// Total limit of a write of dwLen bytes; false when the write has none.
bool SerialWriteLimit(const SerialTimeouts& t, DWORD dwLen, std::uint64_t* pMs);

// Purge flags.
constexpr DWORD kPurgeTxAbort = 0x1, kPurgeRxAbort = 0x2, kPurgeTxClear = 0x4, kPurgeRxClear = 0x8;

enum class SerialErrorKind {
  kNone,
  kInvalidArgument,  // the caller's mistake: bad name, settings or buffer
  kSystem,           // the operating system refused; sysCode says why
  kTimeout,          // a write ended by its time-out before all bytes left
  kUnsupported,      // the line cannot do what was asked (rate, framing)
  kStopped,          // a stop request ended the transfer
};

struct SerialError {
  SerialErrorKind kind = SerialErrorKind::kNone;
  // The system's error code where the failure happened (errno, or the
  // Windows error code), 0 if none, and the system's words for it.
  long sysCode = 0;
  std::string sysMessage;
};

const char* SerialErrorKindName(SerialErrorKind kind);

// A refusal of the caller's request (kInvalidArgument), in words.
inline SerialError CallerError(const char* pszWhat) { return {SerialErrorKind::kInvalidArgument, 0, pszWhat}; }

// One open serial line. Every operation returns false on failure and records
// why in LastError(). Reads and writes block at most as the time-outs say
// and fail at once (kStopped) when a stop is requested.
class ISerialLine {
 public:
  virtual ~ISerialLine() = default;
  virtual bool GetState(SerialDcb* pDcb) = 0;
  virtual bool SetState(const SerialDcb& dcb) = 0;
  // Driver queue sizes; a line whose queues are fixed accepts and ignores.
  virtual bool SetQueues(DWORD dwIn, DWORD dwOut) = 0;
  virtual bool GetTimeouts(SerialTimeouts* pTimeouts) = 0;
  virtual bool SetTimeouts(const SerialTimeouts& timeouts) = 0;
  virtual bool Purge(DWORD dwFlags) = 0;
  // Reads up to dwMax bytes; *pdwRead holds the count, also on failure.
  // Ending by a time-out is success, with whatever arrived.
  virtual bool Read(BYTE* pBuf, DWORD dwMax, DWORD* pdwRead) = 0;
  // Writes dwLen bytes; *pdwWritten holds what left, also on failure. A
  // write cut short by its time-out succeeds with the shorter count.
  virtual bool Write(const BYTE* pBuf, DWORD dwLen, DWORD* pdwWritten) = 0;
  // Releases the device. Further calls fail with kInvalidArgument.
  virtual void Close() = 0;
  virtual SerialError LastError() const = 0;
};

// Opens a serial line by device name: "\\.\COMn" or "COMn" resolved through
// the machine's COM port names (platform/com_port.h), or a device path as it
// stands where the system names devices by path.
// The line is open exclusively and in raw mode; its settings and time-outs
// are the caller's to set. Returns null and fills *pErr (if given) on failure.
std::unique_ptr<ISerialLine> OpenSerialLine(const char* pszDevice, SerialError* pErr = nullptr);

// The opener seam. Tests install a fake; an empty function restores the
// operating system's opener. Returns the opener that was in force.
using SerialOpener = std::function<std::unique_ptr<ISerialLine>(const char* pszDevice, SerialError* pErr)>;
SerialOpener SetSerialOpener(SerialOpener opener);

// The operating system's opener (what OpenSerialLine uses by default).
std::unique_ptr<ISerialLine> OpenSystemSerialLine(const char* pszDevice, SerialError* pErr);

}  // namespace plat
