// Quoting and splitting must be exact inverses: whatever the arguments, the
// started program gets back exactly what the launcher meant to pass.
//
// Input layout: the first byte is a delimiter, the rest is split on it. The
// first piece is the program, the others are arguments. Any byte string is
// reachable by choosing a delimiter it does not contain.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/split_command_line.h"
#include "base/text.h"
#include "launcher/command_line.h"

namespace {

template <class Ch>
using Strings = std::vector<std::basic_string<Ch>>;

std::vector<std::string> splitOn(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  std::string::size_type start = 0;
  while (true) {
    const auto end = text.find(delimiter, start);
    pieces.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return pieces;
    start = end + 1;
  }
}

// High bytes become code units whose low byte may be '"', '\\', ' ' or '\t', so
// anything that truncates wide characters to bytes is caught.
std::wstring widen(const std::string& s) {
  std::wstring out;
  for (unsigned char c : s) out += static_cast<wchar_t>(c < 0x80 ? c : 0x2000 | (c & 0x7F));
  return out;
}

template <class Ch>
std::basic_string<Ch> withoutQuotes(const std::basic_string<Ch>& s) {
  std::basic_string<Ch> out;
  for (Ch c : s) {
    if (c != Ch('"')) out += c;
  }
  return out;
}

template <class Ch>
[[noreturn]] void fail(const char* what, const std::basic_string<Ch>& line) {
  std::fprintf(stderr, "INVARIANT BROKEN: %s; command line of %zu code units:\n", what,
               line.size());
  for (Ch c : line) std::fprintf(stderr, "%lx ", static_cast<unsigned long>(c));
  std::fprintf(stderr, "\n");
  std::abort();
}

// The program name has its own rule (quotes group, no escapes), so it can hold
// anything but '"'.
template <class Ch>
void roundTrip(const std::basic_string<Ch>& program, const Strings<Ch>& args) {
  std::basic_string<Ch> line = Ch('"') + program + Ch('"');
  for (const auto& arg : args) line += Ch(' ') + velmora::quoteArg(arg);
  Strings<Ch> expected{program};
  expected.insert(expected.end(), args.begin(), args.end());
  if (velmora::splitCommandLine(line) != expected) fail("split(quote(args)) != args", line);
}

// Widening never fails, never leaves a lone surrogate, and loses nothing from
// text that is well formed: where no U+FFFD came out (or went in), encoding
// the result again gives the input back.
void checkWidening(const std::string& bytes) {
  const std::u16string text = velmora::utf16FromUtf8(bytes);
  std::string again;
  bool replaced = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
        fail("lone high surrogate", text);
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      fail("lone low surrogate", text);
    }
    replaced = replaced || c == 0xFFFD;
    if (c < 0x80) {
      again += static_cast<char>(c);
    } else if (c < 0x800) {
      again += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
      again += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                static_cast<char>(0x80 | (c & 0x3F))};
    } else {
      again += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
  }
  if (!replaced && again != bytes) fail("well-formed text changed by widening", text);
  if (text.size() > bytes.size()) fail("more code units than bytes", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  checkWidening(raw);
  // Text the launcher did not build must never crash the parser.
  velmora::splitCommandLine(raw);
  velmora::splitCommandLine(widen(raw));
  if (size == 0) return 0;

  const std::vector<std::string> pieces = splitOn(raw.substr(1), raw[0]);
  const std::string program = withoutQuotes(pieces[0]);
  const std::vector<std::string> args(pieces.begin() + 1, pieces.end());
  roundTrip(program, args);

  Strings<wchar_t> wideArgs;
  for (const auto& arg : args) wideArgs.push_back(widen(arg));
  roundTrip(withoutQuotes(widen(pieces[0])), wideArgs);

  // The launcher's own builder quotes the executable with the argument rule;
  // that agrees with the program-name rule for any real file path, which never
  // ends in a separator.
  std::string executable = program;
  while (!executable.empty() && executable.back() == '\\') executable.pop_back();
  const auto built = velmora::buildCommandLine(std::filesystem::path(executable), args);
  Strings<std::filesystem::path::value_type> expected{executable};
  expected.insert(expected.end(), args.begin(), args.end());
  if (velmora::splitCommandLine(built) != expected) fail("split(buildCommandLine) != args", built);
  return 0;
}
