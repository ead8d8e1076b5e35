// Data, chain runs and command-line tools shared by the codec tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kvn_common/stream.h"
#include "mixed_data.h"
#include "recording_sink.h"
#include "temp_dir.h"

namespace kvn_test {

// Pushes data through link into a recording sink in pieces of the given
// sizes (repeated as needed), then ends it.
inline RecordingSink runThrough(kvn_common::StreamLink& link, const std::string& data,
                                const std::vector<std::size_t>& pieces = {0x10000}) {
  RecordingSink sink;
  link.setNext(&sink);
  std::size_t at = 0;
  for (std::size_t i = 0; at < data.size(); ++i) {
    const std::size_t n = std::min(pieces[i % pieces.size()], data.size() - at);
    link.write(data.data() + at, static_cast<std::uint32_t>(n));
    at += n;
  }
  link.end();
  return sink;
}

// Runs a shell command line; true when it exits with 0.
inline bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// Feeds input to a command-line filter ("gzip -dc") through files and
// returns its output; fails the test when the tool fails.
inline std::string filter(const std::string& command, const std::string& input) {
  TempDir dir;
  writeFile(dir.file("in"), input);
  const bool ok = shell(command + " < '" + dir.file("in") + "' > '" + dir.file("out") + "'");
  EXPECT_TRUE(ok) << command;
  return readFile(dir.file("out"));
}

}  // namespace kvn_test
