// The simulated reader's trace (readersim --trace on standard error) read
// back as the exchanges of a run: each request the reader received and the
// answer it gave, in order.
//
//   [T ms] host -> reader CC-SS, N bytes
//       hex lines
//   [T ms] reader -> host CC-SS, N bytes
//   [T ms] event: text
#pragma once
#include <string>
#include <vector>

#include "bench/floors.h"

namespace bench {

// The exchanges of a trace. An answer belongs to the request before it; a
// request followed by another request (or by the end) was not answered.
std::vector<Exchange> ParseTrace(const std::string& strTrace);

}  // namespace bench
