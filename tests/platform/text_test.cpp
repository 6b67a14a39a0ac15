// SPDX-License-Identifier: Apache-2.0
// Code page conversions (437, 932, UTF-8) with Windows' size rules, wsprintfW, and the
// recording of message boxes.
#include "tests/platform/host_test.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class TextTest : public HostTest {};

Bytes Oem(const std::u16string& text, int chars) {
  int size = WideCharToMultiByte(CP_OEMCP, 0, text.c_str(), chars, nullptr, 0, nullptr, nullptr);
  Bytes out(static_cast<size_t>(size > 0 ? size : 0));
  if (size > 0) {
    EXPECT_EQ(WideCharToMultiByte(CP_OEMCP, 0, text.c_str(), chars,
                                  reinterpret_cast<LPSTR>(out.data()), size, nullptr, nullptr),
              size);
  }
  return out;
}

TEST_F(TextTest, Cp437SingleByteWithTerminatorWhenLengthIsMinusOne) {
  EXPECT_EQ(Oem(u"caf\u00e9", -1), (Bytes{'c', 'a', 'f', 0x82, 0}));
  EXPECT_EQ(Oem(u"caf\u00e9", 4), (Bytes{'c', 'a', 'f', 0x82}));
}

TEST_F(TextTest, UnmappableAndLoneSurrogatesBecomeQuestionMarks) {
  BOOL usedDefault = FALSE;
  char out[8];
  const char16_t euro[] = u"\u20ac\xD800x";
  int n = WideCharToMultiByte(437, 0, euro, -1, out, sizeof out, nullptr, &usedDefault);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(std::string(out, 4), std::string("??x\0", 4));
  EXPECT_TRUE(usedDefault);
  // A character outside the BMP is two units, two default characters.
  EXPECT_EQ(Oem(u"\U0001F600", 2), (Bytes{'?', '?'}));
  // UTF-8 writes U+FFFD for a lone surrogate.
  char utf8[8];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\xDC00", 1, utf8, sizeof utf8, nullptr, nullptr), 3);
  EXPECT_EQ(std::string(utf8, 3), "\xEF\xBF\xBD");
}

TEST_F(TextTest, Cp932DoubleByteThroughTheOemCodePage) {
  HostSetOemCodePage(932);
  EXPECT_EQ(Oem(u"\u65e5\u672c", -1), (Bytes{0x93, 0xFA, 0x96, 0x7B, 0x00}));
}

TEST_F(TextTest, TooSmallBufferFailsAndKeepsToItsSize) {
  HostSetOemCodePage(932);
  const char16_t text[] = u"\u65e5\u672c";  // 4 bytes + terminator
  for (int given = 1; given <= 5; ++given) {
    SCOPED_TRACE(given);
    Bytes out(8, 0xCC);
    SetLastError(0);
    int n = WideCharToMultiByte(CP_OEMCP, 0, text, -1, reinterpret_cast<LPSTR>(out.data()), given,
                                nullptr, nullptr);
    if (given < 5) {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      // Whole characters only: a double-byte character is never cut in half.
      size_t filled = given >= 4 ? 4 : given >= 2 ? 2 : 0;
      Bytes expected(8, 0xCC);
      const uint8_t full[] = {0x93, 0xFA, 0x96, 0x7B};
      std::copy(full, full + filled, expected.begin());
      EXPECT_EQ(out, expected);
    } else {
      EXPECT_EQ(n, 5);
      EXPECT_EQ(out[5], 0xCC);
    }
  }
}

TEST_F(TextTest, MultiByteToWideCharRules) {
  HostSetOemCodePage(932);
  WCHAR wide[8];
  const char sjis[] = "\x93\xFA\x96\x7B";
  EXPECT_EQ(MultiByteToWideChar(CP_OEMCP, 0, sjis, -1, nullptr, 0), 3);
  ASSERT_EQ(MultiByteToWideChar(CP_OEMCP, 0, sjis, -1, wide, 8), 3);
  EXPECT_EQ(std::u16string(wide), u"\u65e5\u672c");

  const char broken[] = "a\xC3(";
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, broken, 3, wide, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, broken, 3, wide, 8), 3);
  EXPECT_EQ(std::u16string(wide, 3), u"a\uFFFD(");

  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(TextTest, WsprintfZeroPaddedTwoDigits) {
  for (int i = 0; i < 100; ++i) {
    WCHAR out[8];
    int n = wsprintfW(out, u"%02d", i);
    char expected[8];
    std::snprintf(expected, sizeof expected, "%02d", i);
    ASSERT_EQ(n, 2) << i;
    EXPECT_EQ(std::u16string(out), std::u16string(expected, expected + 2)) << i;
  }
}

TEST_F(TextTest, WsprintfFormatsOnlyTheDecimalsTheProductUses) {
  WCHAR out[64];
  EXPECT_EQ(wsprintfW(out, u"%d|%5d|%03d|%%|%02d", -42, 7, -5, 123), 19);
  EXPECT_EQ(std::u16string(out), u"-42|    7|-05|%|123");
  // Every other conversion is refused rather than printed some other way.
  for (const char16_t* other : {u"%s", u"%x", u"%u", u"%-4d", u"%ld", u"%c", u"%"}) {
    std::fill(std::begin(out), std::end(out), 0xCCCC);
    SetLastError(0);
    EXPECT_EQ(wsprintfW(out, other, 1), 0) << std::u16string(other).size();
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

TEST_F(TextTest, WsprintfStopsAt1024CharactersWithTerminator) {
  std::u16string longText(2000, u'x');
  std::vector<WCHAR> out(1100, 0xCCCC);
  EXPECT_EQ(wsprintfW(out.data(), longText.c_str()), 1023);
  EXPECT_EQ(out[1022], u'x');
  EXPECT_EQ(out[1023], 0);
  EXPECT_EQ(out[1024], 0xCCCC);
}

TEST_F(TextTest, MessageBoxesAreRecordedInOrder) {
  EXPECT_EQ(MessageBoxW(nullptr, u"Cannot create the archive file.", nullptr, MB_ICONWARNING),
            IDOK);
  HWND owner = reinterpret_cast<HWND>(0x10);
  EXPECT_EQ(MessageBoxW(owner, u"second", u"Caption", MB_OK), IDOK);
  std::vector<HostMessageBox> boxes = HostMessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].owner, nullptr);
  EXPECT_EQ(boxes[0].text, u"Cannot create the archive file.");
  EXPECT_FALSE(boxes[0].caption.has_value());
  EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_ICONWARNING));
  EXPECT_EQ(boxes[1].owner, owner);
  EXPECT_EQ(boxes[1].caption, std::optional<std::u16string>(u"Caption"));
  HostReset(root_);
  EXPECT_TRUE(HostMessageBoxes().empty());
}

}  // namespace
