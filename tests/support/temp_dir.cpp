#include "support/temp_dir.h"

#include <filesystem>
#include <random>
#include <system_error>

std::string MakeTempDir(const std::string& prefix) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) return {};
  std::random_device random;
  // create_directory fails on a name that exists: another try, another name.
  for (int i = 0; i < 100; ++i) {
    const fs::path dir = base / (prefix + std::to_string(random()));
    if (fs::create_directory(dir, ec)) return dir.string();
  }
  return {};
}
