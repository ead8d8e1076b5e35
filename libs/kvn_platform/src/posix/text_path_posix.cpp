#include "kvn_platform/text_path.h"

#include <cstddef>
#include <cstdint>

namespace kvn_platform {

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at the start of bytes, with
// its code point, or 0. The second byte's range excludes overlong forms,
// encoded surrogates and code points above U+10FFFF.
std::size_t wellFormedSequence(const unsigned char* bytes, std::size_t available,
                               char32_t& codePoint) {
  const unsigned char lead = bytes[0];
  std::size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t value;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (available < length || bytes[1] < low || bytes[1] > high) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if (!isContinuation(bytes[i])) return 0;
    value = (value << 6) | (bytes[i] & 0x3F);
  }
  codePoint = value;
  return length;
}

// Characters a real name must not show as themselves.
bool isReserved(char32_t codePoint) {
  return (codePoint >= kFirstEscapedByte && codePoint <= kLastEscapedByte) ||
         codePoint == kMappedBar;
}

void appendUtf16(std::u16string& out, char32_t codePoint) {
  if (codePoint < 0x10000) {
    out.push_back(char16_t(codePoint));
  } else {
    codePoint -= 0x10000;
    out.push_back(char16_t(0xD800 + (codePoint >> 10)));
    out.push_back(char16_t(0xDC00 + (codePoint & 0x3FF)));
  }
}

void appendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(char(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(char(0xC0 | (codePoint >> 6)));
    out.push_back(char(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(char(0xE0 | (codePoint >> 12)));
    out.push_back(char(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(char(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (codePoint >> 18)));
    out.push_back(char(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(char(0x80 | (codePoint & 0x3F)));
  }
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::u16string textFromNative(std::string_view native) {
  std::u16string text;
  text.reserve(native.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(native.data());
  std::size_t i = 0;
  while (i < native.size()) {
    if (bytes[i] == '|') {
      text.push_back(kMappedBar);
      ++i;
      continue;
    }
    char32_t codePoint = 0;
    const std::size_t length = wellFormedSequence(bytes + i, native.size() - i, codePoint);
    if (length > 0 && !isReserved(codePoint)) {
      appendUtf16(text, codePoint);
      i += length;
      continue;
    }
    // Not well-formed: this byte alone; reserved: each of its bytes.
    const std::size_t escaped = length > 0 ? length : 1;
    for (std::size_t k = 0; k < escaped; ++k)
      text.push_back(char16_t(kEscapedByteBase + bytes[i + k]));
    i += escaped;
  }
  return text;
}

std::string nativeFromText(std::u16string_view text) {
  std::string native;
  native.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= kFirstEscapedByte && unit <= kLastEscapedByte) {
      native.push_back(char(unit - kEscapedByteBase));
    } else if (unit == kMappedBar) {
      native.push_back('|');
    } else if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      appendUtf8(native, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      appendUtf8(native, 0xFFFD);
    } else {
      appendUtf8(native, unit);
    }
  }
  return native;
}

}  // namespace kvn_platform
