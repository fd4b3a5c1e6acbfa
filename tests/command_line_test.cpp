#include "launcher/command_line.h"
#include "base/split_command_line.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace velmora {
namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheWindowsParserOnTextItDidNotBuild) {
  const std::pair<std::string, Args> cases[] = {
      {R"(p a b)", {"p", "a", "b"}},
      {"p \t a  ", {"p", "a"}},
      {R"("C:\Program Files\x.exe" a)", {R"(C:\Program Files\x.exe)", "a"}},
      {R"(C:\dir\x.exe "a\")", {R"(C:\dir\x.exe)", "a\""}},  // escaped quote stays open
      {R"(p a\\"b c")", {"p", R"(a\b c)"}},
      {R"(p a\\\"b)", {"p", R"(a\"b)"}},
      {R"(p "a""b")", {"p", R"(a"b)"}},
      {R"(p "" "")", {"p", "", ""}},
      {R"(p ab"c d"e)", {"p", "abc de"}},
      {R"(p "unterminated)", {"p", "unterminated"}},
  };
  for (const auto& [line, args] : cases) EXPECT_EQ(splitCommandLine(line), args) << line;
}

TEST(Utf16FromUtf8, ReplacesEachIllFormedSequenceOnce) {
  const std::u16string r = u"\uFFFD";
  const std::pair<std::string, std::u16string> cases[] = {
      {"a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80", u"a\u00e9\u4e2d\U0001F600"},
      {"\xef\xbf\xbd\xf4\x8f\xbf\xbf", r + u"\U0010FFFF"},
      // Truncated: the valid start counts once, the byte that cut it is read anew.
      {"q=\xe9", u"q=" + r},
      {"\xe9/", r + u"/"},
      {"\xf0\x9f\xe4\xb8\xad", r + u"\u4e2d"},
      // Stray continuation bytes and leads no text has: one each.
      {"\x80\xbf", r + r},
      {"\xc0\xaf", r + r},  // overlong '/'
      {"\xf0\x8f\xbf\xbf", r + r + r + r},
      {"\xed\xa0\x80\xed\xbf\xbf", r + r + r + r + r + r},  // surrogates
      {"\xf4\x90\x80\x80", r + r + r + r},                  // above U+10FFFF
      {"\xf5\x80\x80\x80\xff\xfe", r + r + r + r + r + r},
      {std::string("\0\xe9", 2), std::u16string(1, u'\0') + r},
  };
  for (const auto& [bytes, text] : cases)
    EXPECT_EQ(utf16FromUtf8(bytes), text) << ::testing::PrintToString(bytes);
}

}  // namespace
}  // namespace velmora
