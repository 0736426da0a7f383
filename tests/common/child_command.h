// SPDX-License-Identifier: BSD-2-Clause
// An argument vector for the test child (tests/common/test_child.cc): its name, then commands.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace testing_support {

class ChildCommand {
 public:
  ChildCommand(std::initializer_list<const char *> commands) : words_{"test_child"} {
    words_.insert(words_.end(), commands.begin(), commands.end());
    for (std::string &word : words_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
  }
  char *const *arguments() const { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char *> pointers_;
};

}  // namespace testing_support
