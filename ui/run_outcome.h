// What a "Load" run or a "Reset Default" came to, as a value: the window's
// logic records it from what the connect step and the procedures returned,
// and front ends decide from it (readerctl's exit status, where an
// interrupted reader may be left). The log lines say the same to the
// operator, but nothing is read back from them.
#pragma once

// The step that ended the run or the reset, if one failed.
enum class RunFailure {
  kNone,         // nothing failed (a stopped run may still have ended early)
  kConnect,      // the link could not be opened
  kFileRefused,  // no file chosen or read, or not one this run can carry out: nothing sent
  kProcedure,    // the reader, the link or a stop ended the procedure after the link was opened
};

// How far a run has taken the reader, as the procedure reported it.
enum class ReaderStage {
  kNotEntered,    // not seen entering its bootloader
  kInBootloader,  // boot-mode entry or the erase reported, the final reboot not
  kRestarting,    // the update finished; the reader restarts with its new firmware
};

struct RunOutcome {
  RunFailure failure = RunFailure::kNone;
  ReaderStage stage = ReaderStage::kNotEntered;
  // "Reset Default": the reader did not accept the reset command (no
  // answer, or a refusal), so the reset failed (failure is kProcedure).
  bool bResetNotAccepted = false;

  // The reader entered its bootloader and was not restarted from it.
  bool LeftInBootloader() const { return stage == ReaderStage::kInBootloader; }
  bool operator==(const RunOutcome&) const = default;
};
