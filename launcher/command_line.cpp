#include "launcher/command_line.h"

#include "base/text.h"

namespace velmora {

template <class Ch>
std::basic_string<Ch> quoteArg(const std::basic_string<Ch>& arg) {
  std::basic_string<Ch> out(1, Ch('"'));
  std::size_t backslashes = 0;
  for (Ch c : arg) {
    if (c == Ch('\\')) {
      ++backslashes;
    } else if (c == Ch('"')) {
      out.append(2 * backslashes + 1, Ch('\\'));
      out += c;
      backslashes = 0;
    } else {
      out.append(backslashes, Ch('\\'));
      out += c;
      backslashes = 0;
    }
  }
  // The closing quote must not be escaped by a trailing run of backslashes.
  out.append(2 * backslashes, Ch('\\'));
  out += Ch('"');
  return out;
}

template std::string quoteArg(const std::string&);
template std::wstring quoteArg(const std::wstring&);

namespace {

// An argument in the native string form. Going through a path would throw on
// bytes that are not UTF-8 where that form is UTF-16.
template <class Ch>
std::basic_string<Ch> nativeArgument(const std::string& utf8) {
  if constexpr (sizeof(Ch) == 1) {
    return utf8;
  } else {
    const std::u16string units = utf16FromUtf8(utf8);
    return std::basic_string<Ch>(units.begin(), units.end());
  }
}

}  // namespace

std::filesystem::path::string_type buildCommandLine(const std::filesystem::path& executable,
                                                    const std::vector<std::string>& args) {
  auto line = quoteArg(executable.native());
  for (const auto& arg : args) {
    line += ' ';
    line += quoteArg(nativeArgument<std::filesystem::path::value_type>(arg));
  }
  return line;
}

}  // namespace velmora
