// The simulated reader at byte level: one request frame in, one answer out
// (or none), with the reader's two lives — application firmware and
// bootloader — and the faults a test or a demonstration asks for.
//
// The model keeps no transport: the serial and HID fronts find the request
// frames in what the host sent and put the answers on their line. All time
// is read from the process clock (plat::NowMs()), so tests run it in virtual
// time and readersim in real time.
//
// Thread-safe: a front may call it from its own thread.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/frame.h"

// Status bytes of the simulated reader's answers.
constexpr BYTE kSimStatusOk = 0x00;
constexpr BYTE kSimStatusUnknownCommand = 0x01;  // not a command of the running firmware
constexpr BYTE kSimStatusBadParameter = 0x02;    // request data of the wrong length or form
constexpr BYTE kSimStatusSequence = 0x03;        // block before erase, or out of address order
constexpr BYTE kSimStatusFlashError = 0x04;      // block refused by the flash (fault on demand)
constexpr BYTE kSimStatusVerifyFailed = 0x05;    // trailer does not match the programmed body

// Most request data a reader takes (the tool's 4096-byte request buffer less
// the frame's 16 bytes); a length field above it is not trusted.
constexpr DWORD kSimMaxRequestData = 4080;
// Flash addressing of the bootloader: block k carries address k * 2032.
constexpr DWORD kSimBlockSize = 2048;
constexpr DWORD kSimBlockAddressStep = 2032;
// Largest body the simulated flash holds (the largest image less its trailer).
constexpr DWORD kSimMaxBody = 358400 - 256;

enum class SimFrameVersion { V2, V3 };
enum class SimState { Application, Bootloader };

struct ReaderConfig {
  // "x.xx.xxx" texts, placed at data bytes 10-17 of the version answers.
  std::string strAppVersion = "2.10.005";
  // Version text of the bootloader's C7-01/C7-10 answers; empty: the same as
  // the application's.
  std::string strBootVersion;
  // Application version after a verified download and C7-05; empty: unchanged.
  std::string strUpdatedVersion = "3.10.001";
  BYTE byBootEntryStatus = 0x00;  // answer to C7-41: 0x00 or 0xF2
  SimFrameVersion frameVersion = SimFrameVersion::V2;
  CrcOrder crcOrder = CrcOrder::HighFirst;
  std::uint32_t nAnswerDelayMs = 0;
  std::uint32_t nRestartMs = 3000;    // silent after 04-F0, 04-0A, C7-05 and a power loss
  std::uint32_t nBootEntryMs = 1000;  // silent after C7-41 while the bootloader starts
  bool bStartInBootloader = false;
};

// Faults on demand. A command code is CC-SS as one number (0xC703); -1 means
// "every command" for nFaultCmd and "none" for the others.
struct ReaderFaults {
  int nNoiseBytes = 0;    // noise bytes in front of each answer
  bool bBadCrc = false;   // answers with a CRC that fits neither byte order
  bool bSilent = false;   // no answers at all
  int nFaultCmd = -1;     // the three above apply to this command only
  int nStopAfter = -1;    // answer the first N requests, then nothing
  int nRejectBlock = -1;  // C7-03 block N (0-based) is refused with kSimStatusFlashError
  int nStatusCmd = -1;    // this command is answered with byStatus and not carried out
  BYTE byStatus = 0x00;
  int nRestartAtBlock = -1;   // power loss when block N arrives (once): no answer, back in the bootloader
  int nDisconnectAfter = -1;  // unplugged after answering N requests
};

struct ReaderReply {
  bool bAnswer = false;     // false: the reader stays silent
  std::vector<BYTE> bytes;  // what goes on the line, noise included
  std::uint64_t dueMs = 0;  // process-clock time before which nothing of it is sent
};

struct TranscriptEntry {
  enum Kind { Request, Response, Note };
  Kind kind = Note;
  std::uint64_t tMs = 0;    // request: when it was handled; response: when it is due
  WORD wCode = 0;           // request: CC-SS; response: command and status
  std::vector<BYTE> bytes;  // the frame as received or as sent (noise included)
  std::string text;         // notes: what happened ("no answer: bad CRC", "restart")
};

class ReaderModel {
 public:
  explicit ReaderModel(ReaderConfig cfg = {});

  // One request: the bytes from its header on, as long as its length field
  // says (a front may pass fewer when the rest never came, or more).
  ReaderReply HandleRequest(const BYTE* p, std::size_t n);
  ReaderReply HandleRequest(const std::vector<BYTE>& f) { return HandleRequest(f.data(), f.size()); }
  // A request that a front keeps from the reader (it came over a line set to
  // a rate the reader does not run at, so the reader would have heard only
  // garbage): recorded like any request, with why it got no answer.
  void Unanswered(const BYTE* p, std::size_t n, const std::string& why);

  void SetFaults(const ReaderFaults& f);
  ReaderFaults Faults() const;
  ReaderConfig Config() const;

  // Power cycle: silent for nRestartMs, then up in the application when its
  // flash holds a valid image, else in the bootloader.
  void PowerCycle();
  // Cable pulled or plugged back. The fronts act on the flag.
  void Disconnect();
  void Reconnect();
  bool Disconnected() const;

  SimState State() const;
  // True while the reader restarts and answers nothing.
  bool Restarting() const;
  std::string AppVersion() const;
  bool AppValid() const;
  std::vector<BYTE> ProgrammedBody() const;
  int BlocksProgrammed() const;
  int RequestsSeen() const;

  std::vector<TranscriptEntry> Transcript() const;
  void ClearTranscript();
  // Keep entries in memory (default) or only hand them to the sink.
  void KeepTranscript(bool bKeep);
  // Called for every entry as it is made, under the model's lock: the sink
  // must not call back into the model.
  void SetTranscriptSink(std::function<void(const TranscriptEntry&)> sink);
  // Called when the reader becomes unplugged (fault or Disconnect), under
  // the model's lock: the handler must not call back into the model.
  void SetDisconnectHandler(std::function<void()> handler);

  // The version answers as the reader sends their data: a 10-character label,
  // then the eight version characters at data bytes 10-17.
  static std::vector<BYTE> VersionText(const char* label, const std::string& version);
  static bool IsVersionText(const std::string& s);

 private:
  ReaderReply Dispatch(BYTE cmd, BYTE sub, const BYTE* data, DWORD len, std::uint64_t now, bool* pbRestartAfter,
                       bool* pbPowerLoss);
  ReaderReply Answer(BYTE cmd, BYTE status, const std::vector<BYTE>& data, std::uint64_t now);
  BYTE ProgramBlock(const BYTE* data, DWORD len, bool* pbPowerLoss);
  BYTE Verify(const BYTE* data, DWORD len);
  void Restart(std::uint64_t fromMs, std::uint32_t nMs, SimState after);
  void Note(std::uint64_t now, const std::string& text);
  void Record(TranscriptEntry e);
  void RecordRequest(const BYTE* p, std::size_t n, std::uint64_t now);
  void Unplug(std::uint64_t now, const char* why);
  bool FaultHits(WORD code) const;

  mutable std::mutex m_mutex;
  ReaderConfig m_cfg;
  ReaderFaults m_faults;
  SimState m_state = SimState::Application;
  SimState m_stateAfterRestart = SimState::Application;
  std::uint64_t m_restartUntil = 0;
  bool m_bDisconnected = false;
  std::string m_strAppVersion;
  bool m_bAppValid = true;
  // Download session of the bootloader.
  bool m_bErased = false;
  bool m_bShortBlockSeen = false;
  bool m_bVerified = false;
  int m_nBlocks = 0;
  std::vector<BYTE> m_body;
  std::vector<BYTE> m_lastBlock;  // address + data of the last accepted block (a repeat is accepted)
  int m_nRequests = 0;
  int m_nAnswered = 0;
  bool m_bKeepTranscript = true;
  std::vector<TranscriptEntry> m_transcript;
  std::function<void(const TranscriptEntry&)> m_sink;
  std::function<void()> m_onDisconnect;
};
