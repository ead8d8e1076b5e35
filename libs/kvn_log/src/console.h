// Console text attributes, given as the Windows console values
// (low nibble foreground, high nibble background; bits blue, green, red,
// intensity) and written as ANSI sequences.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kvn_log::console {

bool isTerminal(std::FILE* stream);

// The ANSI sequence for a console attribute; 7 (light grey on black) is the
// terminal's default and maps to a reset.
std::string ansiSequence(std::uint16_t attribute);

void setAttribute(std::FILE* stream, std::uint16_t attribute);

}  // namespace kvn_log::console
