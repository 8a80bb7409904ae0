// Test driver for the formatting unit. Reads commands from stdin, one a line:
//   py <16 hex digits: the bits of a double>
//   quoted|debug <name>...      lower <name>      bench <count>
// A name is "x" followed by the hex of its UTF-8 bytes ("x" alone is empty).
// Prints one line per command: the hex of the result's bytes (bench prints
// nanoseconds per fmt_py call as plain text).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
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
  for (char ch : s) {
    const auto b = static_cast<unsigned char>(ch);
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  std::cout << out << '\n';
}

double from_bits(std::uint64_t bits) {
  double x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

void bench(std::size_t count) {
  std::mt19937_64 rng(12345);
  std::vector<double> xs;
  while (xs.size() < count) {
    const double x = from_bits(rng());
    if (x == x && x - x == 0) xs.push_back(x);
  }
  char buf[nuvel::kFmtPyMaxLen];
  std::size_t sink = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (double x : xs) sink += nuvel::fmt_py(x).size();
  const auto t1 = std::chrono::steady_clock::now();
  for (double x : xs) sink += static_cast<std::size_t>(nuvel::fmt_py_to(buf, x) - buf);
  const auto t2 = std::chrono::steady_clock::now();
  const auto ns = [&](auto a, auto b) {
    return std::chrono::duration<double, std::nano>(b - a).count() / static_cast<double>(count);
  };
  std::cout << "fmt_py " << ns(t0, t1) << " ns/call, fmt_py_to " << ns(t1, t2)
            << " ns/call (checksum " << sink << ")\n";
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
      print_hex(nuvel::fmt_py(from_bits(std::stoull(args.at(0), nullptr, 16))));
    } else if (cmd == "quoted" || cmd == "debug") {
      std::vector<std::string> names;
      for (const auto& a : args) names.push_back(unhex(a));
      print_hex(cmd == "quoted" ? nuvel::fmt_quoted_list(names) : nuvel::fmt_debug_list(names));
    } else if (cmd == "lower") {
      print_hex(nuvel::to_lower_unicode(unhex(args.at(0))));
    } else if (cmd == "bench") {
      bench(std::stoul(args.at(0)));
    } else {
      std::cerr << "unknown command: " << cmd << '\n';
      return 2;
    }
  }
  return 0;
}
