// The command-line options the end-to-end benchmarks share:
//   --size=BYTES --files=N --dir=FOLDER --address=ADDRESS --log-level=L
//   --keep --no-verify --data-only=make|change
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

namespace kvn_bench {

struct BenchOptions {
  std::uint64_t size = 1ULL << 30;
  std::uint64_t files = 0;
  std::string dir;
  std::string logLevel = "i";
  // The box's own loopback address.
  std::string address;
  bool keep = false;
  bool verify = true;
  // "make" or "change": only writes the data set (or applies the edits
  // between the full and the incremental runs) in --dir, for other tools
  // to back up the same bytes.
  std::string dataOnly;
};

// Fills options from the arguments (defaults stay for the others); false
// on an unknown argument, a bad number or a size or count of 0.
inline bool parseBenchOptions(int argc, char** argv, BenchOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](const char* flag, std::string& out) {
      if (arg.rfind(flag, 0) != 0) return false;
      out = arg.substr(std::strlen(flag));
      return true;
    };
    std::string text;
    try {
      if (value("--size=", text))
        options.size = std::stoull(text);
      else if (value("--files=", text))
        options.files = std::stoull(text);
      else if (value("--dir=", text))
        options.dir = text;
      else if (value("--address=", text))
        options.address = text;
      else if (value("--log-level=", text))
        options.logLevel = text;
      else if (value("--data-only=", text) && (text == "make" || text == "change"))
        options.dataOnly = text;
      else if (arg == "--keep")
        options.keep = true;
      else if (arg == "--no-verify")
        options.verify = false;
      else
        return false;
    } catch (const std::exception&) {
      return false;
    }
  }
  return options.size > 0 && options.files > 0;
}

}  // namespace kvn_bench
