// What a text command script would do to a reader, read from its commands
// without sending any: the reader model it names, how many commands it has,
// and which of the bootloader's steps its request frames take. The commands
// are found and read by the runner's own scan and hex reading.
#pragma once
#include <cstdint>
#include <string>

#include "platform/types.h"

struct ScriptSummary {
  std::string strModel;  // the script's second line, without its line end
  int nCommands = 0;
  bool bEntersBootloader = false;  // a C7-41 frame
  bool bErases = false;            // a C7-02 frame
  int nBlocks = 0;                 // C7-03 frames
  std::int64_t nBlockBytes = 0;    // what those blocks carry, their 4-byte addresses not counted
  bool bVerifies = false;          // a C7-04 frame
  bool bRestarts = false;          // a C7-05 frame (the bootloader restarts the reader)
};

// Reads the commands of a script of nFileLen bytes whose form the file step
// has accepted; each command's request frame starts nFrameOffset bytes into
// its bytes (ScriptFrameOffset). A command whose bytes hold no request frame
// there counts as a command and nothing more.
ScriptSummary SummarizeScript(const BYTE* pData, int nFileLen, int nFrameOffset);
