#include "launcher/command_line.h"

#include "launcher/text.h"

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

template <class Ch>
std::vector<std::basic_string<Ch>> splitCommandLine(const std::basic_string<Ch>& line) {
  std::vector<std::basic_string<Ch>> args;
  const auto blank = [](Ch c) { return c == Ch(' ') || c == Ch('\t'); };
  std::size_t i = 0;
  const std::size_t n = line.size();

  // Program name: quotes only group, backslashes are literal.
  std::basic_string<Ch> program;
  bool quoted = false;
  for (; i < n && (quoted || !blank(line[i])); ++i) {
    if (line[i] == Ch('"'))
      quoted = !quoted;
    else
      program += line[i];
  }
  args.push_back(program);

  while (true) {
    while (i < n && blank(line[i])) ++i;
    if (i >= n) break;
    std::basic_string<Ch> arg;
    quoted = false;
    while (i < n && (quoted || !blank(line[i]))) {
      std::size_t backslashes = 0;
      while (i < n && line[i] == Ch('\\')) ++backslashes, ++i;
      if (i < n && line[i] == Ch('"')) {
        arg.append(backslashes / 2, Ch('\\'));
        if (backslashes % 2 == 1) {
          arg += Ch('"');
        } else if (quoted && i + 1 < n && line[i + 1] == Ch('"')) {
          arg += Ch('"');  // "" inside quotes is a literal quote
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(backslashes, Ch('\\'));
        if (i < n && (quoted || !blank(line[i]))) arg += line[i++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

template std::string quoteArg(const std::string&);
template std::wstring quoteArg(const std::wstring&);
template std::vector<std::string> splitCommandLine(const std::string&);
template std::vector<std::wstring> splitCommandLine(const std::wstring&);

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
