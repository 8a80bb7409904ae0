// Test driver for the formatting unit. Reads commands from stdin, one a line:
//   py <16 hex digits: the bits of a double>
//   debug <name>...      lower <name>
// A name is "x" followed by the hex of its UTF-8 bytes ("x" alone is empty).
// Prints one line per command: the hex of the result's bytes.
#include <bit>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "format.h"

namespace {

std::string unhex(const std::string& s) {
  std::string out;
  for (std::size_t i = 1; i + 1 < s.size(); i += 2) {
    out += static_cast<char>(std::stoi(s.substr(i, 2), nullptr, 16));
  }
  return out;
}

void print_hex(const std::string& s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : s) out += {kHex[b >> 4], kHex[b & 0xF]};
  std::cout << out << '\n';
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd, arg;
    in >> cmd;
    std::vector<std::string> args;
    while (in >> arg) args.push_back(arg);
    if (cmd == "py") {
      print_hex(nuvel::fmt_py(std::bit_cast<double>(std::stoull(args.at(0), nullptr, 16))));
    } else if (cmd == "debug") {
      std::vector<std::string> names;
      for (const auto& a : args) names.push_back(unhex(a));
      print_hex(nuvel::fmt_debug_list(names));
    } else if (cmd == "lower") {
      print_hex(nuvel::to_lower_unicode(unhex(args.at(0))));
    } else {
      std::cerr << "unknown command: " << cmd << '\n';
      return 2;
    }
  }
  return 0;
}
