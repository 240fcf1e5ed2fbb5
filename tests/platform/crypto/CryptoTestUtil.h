// Helpers of the signature tests: hex, and programs run through the shell
// (krv-sign, the openssl command as the independent implementation).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sevenzip/TestUtil.h"

namespace cryptotest {

// The archive tests' helpers serve here too: TScratch, Quote, WriteFile, ReadFile, PseudoRandom, ModeOf.
using namespace sztest;

inline std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

using TResult = krvtest::THostRun;

// Runs a shell command line: bounded in time, standard input empty, the output caught.
inline TResult Shell(const std::string& ACommand) { return krvtest::RunHostCaptured(ACommand); }

}  // namespace cryptotest
