// Helpers of the signature tests: hex, and programs run through the shell
// (krv-sign, the openssl command as the independent implementation).
#pragma once

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

struct TResult {
  int Code = -1;
  std::string Out, Err;
};

// Runs a shell command line (bounded: a hang is a failure, not a stuck suite), stdin empty.
inline TResult Shell(const TScratch& AScratch, const std::string& ACommand) {
  const fs::path out = AScratch / ".out", err = AScratch / ".err";
  const std::string command = "timeout 120 " + ACommand + " </dev/null >" + Quote(out) + " 2>" + Quote(err);
  TResult r;
#ifdef _WIN32
  r.Code = krvtest::RunHostCommand(command);
#else
  int rc = std::system(command.c_str());
  r.Code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
  r.Out = ReadFile(out);
  r.Err = ReadFile(err);
  return r;
}

}  // namespace cryptotest
