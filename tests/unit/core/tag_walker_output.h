// Runs one of the independent reader programs (Pascal, over TDbf) and reads what it
// prints: one line "TAG name: rec rec ..." per tag, in the tag's order. Any other line
// is the reader's complaint and fails the test.
#ifndef ORVANE_TESTS_TAG_WALKER_OUTPUT_H
#define ORVANE_TESTS_TAG_WALKER_OUTPUT_H

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

inline std::map<std::string, std::vector<uint32_t>> runTagWalker(const std::string& cmd,
                                                                 const std::filesystem::path& out,
                                                                 const std::string& who) {
  const int raw = std::system((cmd + " > '" + out.string() + "' 2>&1").c_str());
  std::ifstream in(out);
  std::map<std::string, std::vector<uint32_t>> tags;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("TAG ", 0) != 0) {
      ADD_FAILURE() << who << " says: " << line;
      continue;
    }
    const size_t colon = line.find(':');
    std::istringstream rest(line.substr(colon + 1));
    std::vector<uint32_t> recs;
    for (uint32_t r; rest >> r;) recs.push_back(r);
    tags[line.substr(4, colon - 4)] = recs;
  }
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << cmd;
  return tags;
}

#endif
