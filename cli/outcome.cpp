#include "cli/outcome.h"

#include "cli/link_advice.h"

int ExitStatusOf(const RunOutcome& outcome, bool bInterrupted) {
  if (bInterrupted) return kExitInterrupted;
  switch (outcome.failure) {
    case RunFailure::kNone:
      // A reset the reader did not accept is no success, whatever else the
      // record says.
      return outcome.bResetNotAccepted ? kExitFailed : kExitOk;
    case RunFailure::kConnect:
      return kExitNoLink;
    case RunFailure::kFileRefused:
      return kExitFileRefused;
    case RunFailure::kProcedure:
      break;
  }
  return kExitFailed;
}

const char* ReaderStateAfterInterrupt(const RunOutcome& outcome) {
  switch (outcome.stage) {
    case ReaderStage::kRestarting:
      return "the update had finished; the reader was restarting with its new firmware";
    case ReaderStage::kInBootloader:
      return "reader may be left in its bootloader: run the update again to finish it";
    case ReaderStage::kNotEntered:
      break;
  }
  return "the reader was not seen entering its bootloader";
}

const char* ExitStatusText(int nStatus) {
  switch (nStatus) {
    case kExitOk:
      return "success";
    case kExitFailed:
      return "failed";
    case kExitNoLink:
      return "the link could not be opened";
    case kExitFileRefused:
      return "the file was refused or could not be read";
    case kExitUsage:
      return "usage error";
    case kExitInterrupted:
      return "interrupted";
    default:
      return "unknown";
  }
}

std::string LinkFailureReason(const LinkOpenFailure& failure, bool bSerialPort) {
  if (failure.kind == LinkOpenFailureKind::None || failure.text.empty()) return {};
  std::string strReason = failure.text;
  std::string strMore;
  if (failure.kind == LinkOpenFailureKind::AccessDenied) strMore = AccessDeniedFix(bSerialPort, failure.device);
  if (failure.kind == LinkOpenFailureKind::Busy) strMore = BusyHolder(failure.device);
  if (strMore.empty()) return strReason;
  // The system's sentence may end in a full stop ("Access is denied.").
  while (!strReason.empty() && (strReason.back() == '.' || strReason.back() == ' ')) strReason.pop_back();
  return strReason + "; " + strMore;
}
