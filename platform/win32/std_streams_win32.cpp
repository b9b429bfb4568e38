#include "platform/std_streams.h"

namespace plat {

// Nothing to do on Windows: the standard handles are not slots that a later
// CreateEvent or CreateFile can take. A missing one is a null handle, and
// writes to it fail without harm.
void KeepStandardStreamsTaken() {}

}  // namespace plat
