// The standard streams at start-up. A program started with standard input,
// output or error closed ("readerctl ... >&-") would hand those numbers to
// the next descriptors it opens, and then write its output into, say, the
// stop signal's eventfd. Each program calls this first thing in main().
// One source per OS.
#pragma once

namespace plat {

// Opens every closed standard stream onto the null device, so that nothing
// the program opens later takes its place. Streams that are open stay as
// they are.
void KeepStandardStreamsTaken();

}  // namespace plat
