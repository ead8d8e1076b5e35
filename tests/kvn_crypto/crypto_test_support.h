// Helpers for checking the crypto library against the openssl command line
// and Python's hashlib, which nobody here wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kvn_crypto/bytes.h"
#include "kvn_log/exception.h"

#include "thrown.h"

namespace kvn_test {

inline std::string toHex(const kvn_crypto::Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// Runs a shell command line and returns its standard output without the
// trailing line break; the test fails when the command does not exit with 0.
inline std::string runTool(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return out;
  }
  char chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  const int status = ::pclose(pipe);
  EXPECT_EQ(status, 0) << command;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}


inline kvn_crypto::Bytes bytesOf(const std::string& text) { return kvn_crypto::toBytes(text); }

}  // namespace kvn_test
