// Helpers every test suite shares: a scratch folder that removes itself and
// whole-file reads. Used from one test thread.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace norvane::test_support {

// A fresh folder "/tmp/<prefix>-XXXXXX", removed with its contents when the
// object goes. The path is empty (and the test fails) when it cannot be made.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::string_view prefix) {
    std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp " << pattern;
      return;
    }
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A name in wire form, label by label, written here rather than by the
// engine's encoder so that a fault there cannot hide a matching one in a
// reader.
inline std::vector<uint8_t> wire_name(std::string_view name) {
  std::vector<uint8_t> out;
  while (!name.empty()) {
    const std::string_view label = name.substr(0, name.find('.'));
    out.push_back(uint8_t(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    name.remove_prefix(std::min(name.size(), label.size() + 1));
  }
  out.push_back(0);
  return out;
}

// The whole file as text; empty when it cannot be read.
inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace norvane::test_support
