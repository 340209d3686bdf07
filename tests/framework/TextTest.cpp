#include <gtest/gtest.h>

#include "Text.h"

namespace {

TEST(Text, FindLastOfABackslash) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"C:\\A\\", 4}, {"C:\\Program Files\\Velmora", 16}, {"vlw32.exe", -1}, {"", -1},
      {"\\", 0},      {"\\\\server\\share\\", 14},
  };
  for (const Case& c : cases) EXPECT_EQ(CText(c.text).FindLast('\\', 1252), c.expected) << c.text;
}

TEST(Text, FindLastNeverTakesADoubleByteTrailForTheCharacter) {
  // 0x95 0x5C is one character in code page 932; its trail byte is a backslash.
  const CText text("C:\\\x95\x5C");
  EXPECT_EQ(text.FindLast('\\', 932), 2);
  EXPECT_EQ(CText("\x95\x5C").FindLast('\\', 932), -1);
  EXPECT_EQ(CText("D:\\\x95\x5C\\").FindLast('\\', 932), 5);
  // In a single-byte code page the same bytes hold a real backslash.
  EXPECT_EQ(text.FindLast('\\', 1252), 4);
  // A lead byte at the very end has no trail to swallow.
  EXPECT_EQ(CText("A\\\x95").FindLast('\\', 932), 1);
}

TEST(Text, PrefixBounds) {
  const CText text("abcde");
  EXPECT_STREQ(text.Prefix(-3), "");
  EXPECT_STREQ(text.Prefix(0), "");
  EXPECT_STREQ(text.Prefix(2), "ab");
  EXPECT_STREQ(text.Prefix(5), "abcde");
  EXPECT_STREQ(text.Prefix(99), "abcde");
}

TEST(Text, ConcatenationCopiesAndFormatting) {
  CText a("C:\\Dir");
  CText b = a;
  b += "\\";
  EXPECT_STREQ(a, "C:\\Dir");
  EXPECT_STREQ(b + "vlw32.exe", "C:\\Dir\\vlw32.exe");
  EXPECT_EQ(b.GetLength(), 7);
  EXPECT_EQ(b[6], '\\');
  EXPECT_STREQ(CText::FormatText(":  %d%%", 42), ":  42%");
  const std::string longText(1000, 'x');
  EXPECT_EQ(CText::FormatText("%s%s", longText.c_str(), longText.c_str()).GetLength(), 2000);
  EXPECT_TRUE(CText().IsEmpty());
}

}  // namespace
