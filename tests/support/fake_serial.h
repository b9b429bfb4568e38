// An in-process serial line in virtual time, installed through the opener
// seam of platform/serial.h.
//
// Each FakeSerialPort is the device end and the driver state of one port:
// bytes arrive on a schedule (virtual time, chunk of bytes), reads follow
// the time-outs record by moving the virtual clock (a read with nothing to
// come costs its total time-out; once bytes flow, the interval time-out
// ends it), every write is recorded with its time, and a write hook can
// answer requests ("when this is written, send these bytes d ms later").
// Any call can be made to fail, opens can be refused.
//
//   FakeSerial serial;                       // installs itself as the opener
//   FakeSerialPort& com1 = serial.AddPort("COM1");
//   com1.AnswerWrites(MakeFrame(0x18, 0x00), 20);
//   g_Rs232Port.Open("\\\\.\\COM1/baud=9600/parity=N/stop=1/data=8");
//
// Names: a COM name in any form ("COM1", "\\.\COM1") is the same port; any
// other name (a path) is matched as it stands. Time moves through
// plat::Clock().SleepUntil, so the test must run with a VirtualClock.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com_port.h"
#include "platform/serial.h"

enum class SerialOp { kOpen, kGetState, kSetState, kSetQueues, kGetTimeouts, kSetTimeouts, kPurge, kRead, kWrite };
constexpr int kSerialOpCount = 9;

class FakeSerialPort {
 public:
  using WriteHook = std::function<void(const std::vector<BYTE>& written)>;
  struct WriteRecord {
    std::uint64_t atMs;
    std::vector<BYTE> bytes;
  };

  explicit FakeSerialPort(std::string name);

  const std::string& Name() const { return m_name; }

  // --- device end: what the line receives -------------------------------
  // Bytes that reach the line at virtual time atMs (all at once).
  void ArriveAt(std::uint64_t atMs, std::vector<BYTE> bytes);
  // ... delayMs after the present virtual time.
  void ArriveAfter(std::uint64_t delayMs, std::vector<BYTE> bytes);
  // Called (outside the port's lock) with the bytes of every accepted write;
  // it may schedule arrivals. Replaces the previous hook.
  void OnWrite(WriteHook hook);
  // Convenience hook: every write is answered with `answer` delayMs later.
  void AnswerWrites(std::vector<BYTE> answer, std::uint64_t delayMs);
  // Bytes arrived by now and not yet read.
  std::size_t Pending() const;
  // Bytes scheduled for later.
  std::size_t Scheduled() const;

  // --- what the host did --------------------------------------------------
  std::vector<WriteRecord> Writes() const;
  std::vector<BYTE> WrittenBytes() const;  // all writes joined
  int Calls(SerialOp op) const;
  bool IsOpen() const;
  plat::SerialDcb Dcb() const;            // the line settings in force
  plat::SerialTimeouts Timeouts() const;  // the time-outs in force
  DWORD LastPurge() const;
  DWORD InQueue() const;
  DWORD OutQueue() const;

  // --- how the driver behaves ---------------------------------------------
  // The settings a fresh open finds (what the driver left there).
  void SetDriverDcb(const plat::SerialDcb& dcb);
  // The nth call (1-based, counted since the port was added) of `op` and
  // the count-1 calls after it fail with sysErrno.
  void FailCall(SerialOp op, int nth, int sysErrno = 5 /* EIO */, int count = 1);
  // Every open fails with sysErrno (EACCES, ENOENT, ...) until cleared with 0.
  void RefuseOpens(int sysErrno);
  // Each write accepts at most this many bytes (a write that accepts none
  // lasts its whole time-out). kUnlimited by default.
  static constexpr DWORD kUnlimited = 0xFFFFFFFFu;
  void SetWriteLimit(DWORD perCall);

 private:
  friend class FakeSerialLine;
  friend class FakeSerial;
  struct Chunk {
    std::uint64_t atMs;
    std::vector<BYTE> bytes;
  };
  // Counts the call and tells whether it is to fail (and with which errno).
  bool ShouldFail(SerialOp op, int* pErrno);
  void Deliver(std::uint64_t nowMs);  // moves due chunks into the queue

  mutable std::mutex m_mutex;
  std::string m_name;
  bool m_bOpen = false;
  int m_refuseErrno = 0;
  plat::SerialDcb m_driverDcb;
  plat::SerialDcb m_dcb;
  plat::SerialTimeouts m_timeouts;
  DWORD m_lastPurge = 0, m_inQueue = 0, m_outQueue = 0;
  DWORD m_writeLimit = kUnlimited;
  std::deque<Chunk> m_schedule;  // ordered by time
  std::deque<BYTE> m_queue;      // arrived, unread
  std::vector<WriteRecord> m_writes;
  WriteHook m_hook;
  int m_calls[kSerialOpCount] = {};
  struct Failure {
    SerialOp op;
    int first, last, err;
  };
  std::vector<Failure> m_failures;
};

// The set of ports the machine has, installed as the serial opener and as
// the COM port list (every added port with a COM name) for the object's
// lifetime (the previous opener and list come back afterwards).
class FakeSerial {
 public:
  FakeSerial();
  ~FakeSerial();
  FakeSerial(const FakeSerial&) = delete;
  FakeSerial& operator=(const FakeSerial&) = delete;

  FakeSerialPort& AddPort(const std::string& name);
  // The port of that name, or null.
  FakeSerialPort* Port(const std::string& name);
  // Every device name an open was tried with, in order.
  std::vector<std::string> OpenAttempts() const;

 private:
  std::unique_ptr<plat::ISerialLine> Open(const char* pszDevice, plat::SerialError* pErr);
  std::vector<plat::ComPortEntry> List() const;
  static std::string Key(const std::string& name);

  mutable std::mutex m_mutex;
  std::map<std::string, std::shared_ptr<FakeSerialPort>> m_ports;
  std::vector<std::string> m_attempts;
  plat::SerialOpener m_previous;
  plat::ComPortLister m_previousLister;
};
