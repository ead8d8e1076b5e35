#include <gtest/gtest.h>

#include <QString>
#include <QStringDecoder>
#include <random>
#include <string>
#include <vector>

#include "kvn_platform/text_path.h"
#include "kvn_platform/text_path_qt.h"

using kvn_platform::nativeFromText;
using kvn_platform::textFromNative;
using kvn_platform::toNativePath;
using kvn_platform::toTextPath;

namespace {

std::string bytes(std::initializer_list<unsigned> values) {
  std::string out;
  for (const unsigned v : values) out.push_back(char(v));
  return out;
}

std::u16string escaped(std::initializer_list<unsigned> values) {
  std::u16string out;
  for (const unsigned v : values) out.push_back(char16_t(0xEF00 + v));
  return out;
}

// How the agent decoded names before: plain UTF-8 (but keeping a leading
// U+FEFF, which QString::fromUtf8 drops, so that such a file could never
// be opened).
QString utf8QString(const std::string& native) {
  QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
  return decoder(QByteArrayView(native.data(), qsizetype(native.size())));
}

std::u16string utf8Text(const std::string& native) {
  const QString text = utf8QString(native);
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), std::size_t(text.size()));
}

}  // namespace

TEST(TextPath, WellFormedNamesKeepTheirUtf8Text) {
  const std::vector<std::string> names = {
      "/home/ann/report.txt",
      "caf\xC3\xA9 na\xC3\xAFve.txt",          // é ï
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",  // CJK
      "emoji \xF0\x9F\x98\x80",                // U+1F600, a surrogate pair
      " leading space, trailing dot.",
      "back\\slash:colon*star?question\nnewline\ttab",
      bytes({0x7F}),                      // last one-byte code point
      bytes({0xC2, 0x80}),                // U+0080, first two-byte
      bytes({0xDF, 0xBF}),                // U+07FF
      bytes({0xE0, 0xA0, 0x80}),          // U+0800, first three-byte
      bytes({0xED, 0x9F, 0xBF}),          // U+D7FF, below the surrogates
      bytes({0xEE, 0x80, 0x80}),          // U+E000, private use
      bytes({0xEE, 0xBD, 0xBF}),          // U+EF7F, just below the escapes
      bytes({0xEF, 0x80, 0x80}),          // U+F000
      bytes({0xEF, 0x81, 0xBB}),          // U+F07B, next to the bar
      bytes({0xEF, 0x81, 0xBD}),          // U+F07D
      bytes({0xEF, 0xBB, 0xBF}) + "bom",  // U+FEFF at the start
      bytes({0xEF, 0xBF, 0xBF}),          // U+FFFF
      bytes({0xF0, 0x90, 0x80, 0x80}),    // U+10000, first four-byte
      bytes({0xF4, 0x8F, 0xBF, 0xBF}),    // U+10FFFF, the last
  };
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(textFromNative(name), utf8Text(name));
    EXPECT_EQ(nativeFromText(textFromNative(name)), name);
    EXPECT_EQ(toTextPath(name), utf8QString(name));
    EXPECT_EQ(toNativePath(toTextPath(name)), name);
  }
}

TEST(TextPath, MalformedBytesAreEscapedOneByOne) {
  const struct {
    std::string native;
    std::u16string text;
  } cases[] = {
      {"caf" + bytes({0xE9}) + ".txt", u"caf" + escaped({0xE9}) + u".txt"},  // Latin-1 é
      {bytes({0x80}), escaped({0x80})},                                      // lone continuation
      {bytes({0xC0, 0x80}), escaped({0xC0, 0x80})},                          // overlong NUL
      {bytes({0xC1, 0xBF}), escaped({0xC1, 0xBF})},                          // overlong U+007F
      {bytes({0xE0, 0x9F, 0xBF}), escaped({0xE0, 0x9F, 0xBF})},              // overlong U+07FF
      {bytes({0xED, 0xA0, 0x80}), escaped({0xED, 0xA0, 0x80})},              // U+D800 encoded
      {bytes({0xED, 0xBF, 0xBF}), escaped({0xED, 0xBF, 0xBF})},              // U+DFFF encoded
      {bytes({0xF0, 0x8F, 0xBF, 0xBF}), escaped({0xF0, 0x8F, 0xBF, 0xBF})},  // overlong U+FFFF
      {bytes({0xF4, 0x90, 0x80, 0x80}), escaped({0xF4, 0x90, 0x80, 0x80})},  // U+110000
      {bytes({0xF5, 0x80, 0x80, 0x80}), escaped({0xF5, 0x80, 0x80, 0x80})},
      {bytes({0xF8}) + "x", escaped({0xF8}) + u"x"},
      {bytes({0xFF, 0xFE}), escaped({0xFF, 0xFE})},
      // Cut short: at the end, and before an ASCII byte.
      {"a" + bytes({0xE2, 0x82}), u"a" + escaped({0xE2, 0x82})},
      {bytes({0xF0, 0x9F, 0x98}) + "b", escaped({0xF0, 0x9F, 0x98}) + u"b"},
      // A good sequence right after a bad byte is still decoded.
      {bytes({0xE9, 0xC3, 0xA9}), escaped({0xE9}) + u"\u00E9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.native);
    EXPECT_EQ(textFromNative(c.native), c.text);
    EXPECT_EQ(nativeFromText(c.text), c.native);
  }
}

TEST(TextPath, BarAndReservedCharactersNeverCollide) {
  // "|" inside a name.
  EXPECT_EQ(textFromNative("/tmp/a|b/c|"), u"/tmp/a\uF07Cb/c\uF07C");
  EXPECT_EQ(nativeFromText(u"/tmp/a\uF07Cb/c\uF07C"), "/tmp/a|b/c|");
  // U+F07C and U+EF80..U+EFFF written as real UTF-8 are escaped byte by
  // byte, so they differ from the mapped "|" and the mapped bytes.
  const std::string realBar = bytes({0xEF, 0x81, 0xBC});
  EXPECT_EQ(textFromNative(realBar), escaped({0xEF, 0x81, 0xBC}));
  const std::string firstEscape = bytes({0xEE, 0xBE, 0x80});  // U+EF80
  const std::string lastEscape = bytes({0xEE, 0xBF, 0xBF});   // U+EFFF
  EXPECT_EQ(textFromNative(firstEscape), escaped({0xEE, 0xBE, 0x80}));
  EXPECT_EQ(textFromNative(lastEscape), escaped({0xEE, 0xBF, 0xBF}));
  const std::string mappedLatin1 = "caf" + bytes({0xE9});
  const std::string realU_EFE9 = "caf" + bytes({0xEE, 0xBF, 0xA9});
  EXPECT_NE(textFromNative(mappedLatin1), textFromNative(realU_EFE9));
  EXPECT_NE(textFromNative("a|b"), textFromNative("a" + realBar + "b"));
  for (const auto& name : {realBar, firstEscape, lastEscape, realU_EFE9}) {
    EXPECT_EQ(nativeFromText(textFromNative(name)), name);
  }
  // The text never holds "|": the wire's separator stays unambiguous.
  EXPECT_EQ(textFromNative("a|b|c").find(u'|'), std::u16string::npos);
}

TEST(TextPath, EveryByteStringComesBackAndItsTextIsStable) {
  std::mt19937 random(20261209);
  // Biased towards the bytes that make UTF-8 interesting.
  const std::vector<unsigned char> interesting = {
      0x00, '/',  '|',  'a',  0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBC, 0xBE, 0xBF, 0xC0,
      0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 20000; ++round) {
    std::string native(random() % 24, '\0');
    for (auto& b : native) {
      b = char(random() % 2 ? interesting[random() % interesting.size()] : random() % 256);
    }
    const std::u16string text = textFromNative(native);
    ASSERT_EQ(nativeFromText(text), native);
    ASSERT_EQ(textFromNative(nativeFromText(text)), text);
    ASSERT_EQ(text.find(u'|'), std::u16string::npos);
    const QString qt = toTextPath(native);
    ASSERT_EQ(toNativePath(qt), native);
    // Well-formed UTF-16: the text crosses the wire as UTF-8 unchanged.
    ASSERT_EQ(QString::fromUtf8(qt.toUtf8()), qt);
  }
}

TEST(TextPath, LeadingByteOrderMarkIsKept) {
  const std::string name = bytes({0xEF, 0xBB, 0xBF}) + "x";
  EXPECT_EQ(toTextPath(name).size(), 2);
  EXPECT_EQ(toTextPath(name).at(0), QChar(0xFEFF));
  EXPECT_EQ(toNativePath(toTextPath(name)), name);
}

TEST(TextPath, TextsFromElsewhereStillGetBytes) {
  // A lone surrogate cannot be a file name: it becomes U+FFFD.
  const QString lone = QString(QChar(0xD800)) + QStringLiteral("x");
  EXPECT_EQ(toNativePath(lone), bytes({0xEF, 0xBF, 0xBD}) + "x");
  // A literal "|" is the bar byte.
  EXPECT_EQ(nativeFromText(u"a|b"), "a|b");
}
