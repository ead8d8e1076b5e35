#include <unistd.h>

#include "console.h"

namespace kvn_log::console {

namespace {

// Windows orders the colour bits blue, green, red; ANSI red, green, blue.
int ansiColour(int windowsColour) {
  return ((windowsColour & 4) ? 1 : 0) | (windowsColour & 2) | ((windowsColour & 1) ? 4 : 0);
}

}  // namespace

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

std::string ansiSequence(std::uint16_t attribute) {
  if (attribute == 7) return "\033[0m";
  const int fg = attribute & 0xF;
  const int bg = (attribute >> 4) & 0xF;
  std::string seq = "\033[0;" + std::to_string(((fg & 8) ? 90 : 30) + ansiColour(fg & 7));
  if (bg != 0) seq += ";" + std::to_string(((bg & 8) ? 100 : 40) + ansiColour(bg & 7));
  return seq + "m";
}

void setAttribute(std::FILE* stream, std::uint16_t attribute) {
  std::fputs(ansiSequence(attribute).c_str(), stream);
}

}  // namespace kvn_log::console
