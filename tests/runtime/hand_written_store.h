// A settings store in a fresh folder whose file is written by hand, not by
// the code under test.
#pragma once

#include <fstream>
#include <string>

#include "runtime/settings_store.h"
#include "tests/test_support.h"

namespace norvane::test_support {

struct HandWrittenStore {
  explicit HandWrittenStore(const std::string& content) {
    std::ofstream(store.file_path(), std::ios::binary) << content;
  }
  std::string content() const { return read_text(store.file_path()); }

  ScratchFolder folder{"norvane-settings"};
  SettingsStore store{folder.path()};
};

}  // namespace norvane::test_support
