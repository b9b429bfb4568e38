// A fresh folder for one test's files, in the system's temporary folder, on
// every OS the tests build for.
#pragma once
#include <string>

// Creates <temp>/<prefix><random> and returns its path; empty on failure.
std::string MakeTempDir(const std::string& prefix);
