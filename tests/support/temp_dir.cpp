// temp_dir.cpp - TempDir.
#include "support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>

namespace qx::testing {

TempDir::TempDir(const std::string& prefix) {
  std::error_code error;
  std::string pattern =
      (std::filesystem::temp_directory_path(error) / (prefix + ".XXXXXX")).string();
  if (error) pattern = "/tmp/" + prefix + ".XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() { Remove(); }

std::string TempDir::Make(const std::string& relative) const {
  const std::string made = path_ + "/" + relative;
  std::error_code ignored;
  std::filesystem::create_directories(made, ignored);
  return made;
}

void TempDir::Remove() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  path_.clear();
}

}  // namespace qx::testing
