#include "base/split_command_line.h"

namespace velmora {

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

template std::vector<std::string> splitCommandLine(const std::string&);
template std::vector<std::wstring> splitCommandLine(const std::wstring&);

}  // namespace velmora
