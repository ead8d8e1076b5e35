// Trees of files named by raw bytes, as the system sees them: any byte but
// "/" and NUL, whatever the locale or Qt's file-name encoding would make
// of them. For tests of names that are not valid UTF-8 or hold characters
// another system forbids.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kvn_test {

// One entry below a root: a folder, or a regular file with its content and
// modification time (seconds).
struct ByteTreeEntry {
  bool folder = false;
  std::string content;
  std::int64_t lastWrite = 0;
  bool operator==(const ByteTreeEntry&) const = default;
};

// Relative native path ("a/b") → entry; links and other kinds are left out.
using ByteTree = std::map<std::string, ByteTreeEntry>;

// Writes root/relative with its missing folders and sets its modification
// time. An empty text on success, else what went wrong.
std::string writeByteFile(const std::string& root, const std::string& relative,
                          const std::string& content, std::int64_t lastWrite);

// Everything below root, walked by raw names.
ByteTree readByteTree(const std::string& root);

// A name for messages: printable ASCII kept, other bytes as \xHH.
std::string printableName(const std::string& bytes);

}  // namespace kvn_test
