// Relative native paths (bytes) that Linux allows and that a backup must
// carry and bring back unchanged: "|" (the wire's separator) in file and
// folder names, bytes that are not UTF-8, characters the text mapping
// itself uses written as real UTF-8, characters Windows forbids, a 255-byte
// name and a path longer than 1,024 bytes.
#pragma once

#include <string>
#include <vector>

namespace kvn_test {

inline const std::string kLatin1Name = "caf\xE9.txt";
// U+EFE9 as real UTF-8: what the Latin-1 name would become if the real
// character were not escaped.
inline const std::string kRealEscapeCharacterName = "caf\xEE\xBF\xA9.txt";
inline const std::string kBarName = "a|b.txt";
inline const std::string kBarFolder = "dir|x";
inline const std::string kBarFolderFile = kBarFolder + "/in|side.txt";
inline const std::string kRealMappedBarName = "real bar \xEF\x81\xBC.txt";  // U+F07C

// A chain of long folder names, past 1,024 bytes with the file.
inline std::string longOddPath() {
  std::string path;
  for (int level = 0; level < 5; ++level) path += std::string(220, char('p' + level)) + "\xE9/";
  return path + "deep.txt";
}

inline std::vector<std::string> oddNames() {
  return {
      kBarName,
      kBarFolderFile,
      kLatin1Name,
      "d\xE9j\xE0/f\xFC\xDF.txt",                             // Latin-1 folder and file
      "bad \xFF\xFE \xC0\x80 \xED\xA0\x80 \xF4\x90\x80\x80",  // overlong, surrogate, > U+10FFFF
      "cut \xE2\x82",                                         // a sequence cut short
      kRealEscapeCharacterName,
      kRealMappedBarName,
      "esc \xEE\xBE\x80 \xEE\xBF\xBF/inside.txt",  // U+EF80 and U+EFFF in a folder name
      "new\nline.txt",
      " leading space.txt",
      "trailing dot.",
      "back\\slash.txt",
      "co:lon.txt",
      "st*ar.txt",
      "que?stion.txt",
      std::string(250, 'n') + "\xE9.bin",  // 255 bytes
      longOddPath(),
  };
}

}  // namespace kvn_test
