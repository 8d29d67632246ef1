#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

inline std::vector<std::uint8_t> readResource(const std::string& name) {
  std::ifstream in(std::string(ORVANE_RES_DIR) + "/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + name);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string readResourceText(const std::string& name) {
  const auto bytes = readResource(name);
  return {bytes.begin(), bytes.end()};
}
