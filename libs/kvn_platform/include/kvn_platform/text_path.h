// A native file name is any string of bytes except "/" and NUL; the agent
// and the box know a file by a text. This pair of conversions links the two
// without losing anything, so that every name the system allows is backed
// up and comes back with the same bytes.
//
// Native → text:
//  - well-formed UTF-8 decodes as UTF-8: no overlong forms, no encoded
//    surrogates (U+D800..U+DFFF), nothing above U+10FFFF;
//  - a byte that is not part of a well-formed sequence becomes
//    kEscapedByteBase + the byte (always U+EF80..U+EFFF: bytes below 0x80
//    are always well-formed);
//  - "|", the box's separator, becomes kMappedBar, so that the text never
//    holds "|" and "/" ↔ "|" on the wire stays unambiguous;
//  - a well-formed sequence whose code point is itself U+EF80..U+EFFF or
//    kMappedBar is escaped byte by byte, so that a real name holding those
//    characters never collides with a mapped one.
// "/" stays "/", so whole paths convert as well as single names. Names that
// are well-formed UTF-8 without "|" or those characters give exactly their
// UTF-8 text.
//
// Text → native undoes it: nativeFromText(textFromNative(b)) == b for every
// byte string b. A text that did not come from textFromNative still gets
// bytes: its characters U+EF80..U+EFFF become single bytes, kMappedBar and
// "|" become "|", a lone surrogate becomes U+FFFD in UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kvn_platform {

inline constexpr char16_t kEscapedByteBase = 0xEF00;
inline constexpr char16_t kFirstEscapedByte = 0xEF80;
inline constexpr char16_t kLastEscapedByte = 0xEFFF;
inline constexpr char16_t kMappedBar = 0xF07C;

// The text (UTF-16) of a native name or path.
std::u16string textFromNative(std::string_view native);

// The native bytes of a text name or path.
std::string nativeFromText(std::u16string_view text);

}  // namespace kvn_platform
