// Checks the launcher's quoting against the system's own parser, in one process:
// generated argument lists are quoted as the launcher quotes them and split back by
// CommandLineToArgvW, which must give exactly the arguments meant. UTF-8 arguments,
// ill-formed ones included, must arrive as the launcher widens them.
//
// Usage: argv-check LISTS SEED. Prints what it checked, and on how many ill-formed
// arguments the system's own conversion reads otherwise (a figure: Wine's differs
// from Windows there); exit status 1 on the first mismatch, after printing it.
// windows.h must come first.
#include <windows.h>

#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/split_command_line.h"
#include "base/text.h"
#include "launcher/command_line.h"

namespace {

using Args = std::vector<std::wstring>;

struct LocalFreer {
  void operator()(void* p) const { LocalFree(p); }
};

Args systemSplit(const std::wstring& line) {
  int count = 0;
  std::unique_ptr<wchar_t*, LocalFreer> argv(CommandLineToArgvW(line.c_str(), &count));
  Args args;
  for (int i = 0; argv && i < count; ++i) args.push_back(argv.get()[i]);
  return args;
}

std::wstring systemWiden(const std::string& bytes) {
  if (bytes.empty()) return {};
  const int size = static_cast<int>(bytes.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
  std::wstring text(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, text.data(), length);
  return text;
}

void printUnits(const char* label, const std::wstring& text) {
  std::printf("  %s:", label);
  for (wchar_t c : text) std::printf(" %04x", static_cast<unsigned>(c));
  std::printf("\n");
}

bool same(const std::wstring& line, const Args& meant, const Args& got, const char* what) {
  if (got == meant) return true;
  std::printf("MISMATCH (%s), %zu arguments meant, %zu split\n", what, meant.size(), got.size());
  printUnits("line", line);
  for (std::size_t i = 0; i < meant.size() || i < got.size(); ++i) {
    std::printf("argument %zu\n", i);
    if (i < meant.size()) printUnits("meant", meant[i]);
    if (i < got.size()) printUnits("split", got[i]);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: argv-check LISTS SEED\n");
    return 2;
  }
  const long lists = std::atol(argv[1]);
  std::mt19937 random(static_cast<std::mt19937::result_type>(std::atol(argv[2])));
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const std::wstring program = L"C:\\Velmora\\Versions\\v 1\\velmora-player.exe";
  // Blanks, quotes and runs of backslashes are what the rules are about; the rest checks
  // that code units beyond ASCII, lone surrogates included, pass untouched.
  const std::vector<wchar_t> units = {L'a', L' ', L'\t', L'"',   L'\\',  L'\\',  L'\\',
                                      L'%', L'^', L'&',  0x00e9, 0x4e2d, 0xd83d, 0xde00};
  // Bytes that make every kind of ill-formed UTF-8 when strung together at random.
  const std::string bytes = std::string(" \"\\\\a", 5) +
                            "\x80\x8f\x90\x9f\xa0\xa9\xbf\xc0\xc1\xc2\xc3\xdf\xe0\xe4\xed\xef"
                            "\xf0\xf4\xf5\xff";
  long arguments = 0, readOtherwise = 0;
  const auto began = std::chrono::steady_clock::now();
  for (long list = 0; list < lists; ++list) {
    Args meant{program};
    std::wstring line = velmora::quoteArg(program);
    for (std::size_t i = 0, count = pick(6); i < count; ++i) {
      std::wstring arg;
      for (std::size_t j = 0, length = pick(12); j < length; ++j) arg += units[pick(units.size())];
      meant.push_back(arg);
      line += L' ' + velmora::quoteArg(arg);
    }
    arguments += static_cast<long>(meant.size()) - 1;
    if (!same(line, meant, systemSplit(line), "system parser")) return 1;
    if (!same(line, meant, velmora::splitCommandLine(line), "own splitter")) return 1;

    // The launcher's own builder, from UTF-8 that need not be well formed.
    std::vector<std::string> utf8Args;
    Args widened{program};
    for (std::size_t i = 0, count = pick(4); i < count; ++i) {
      std::string arg;
      for (std::size_t j = 0, length = pick(10); j < length; ++j) arg += bytes[pick(bytes.size())];
      const std::u16string units = velmora::utf16FromUtf8(arg);
      utf8Args.push_back(arg);
      widened.emplace_back(units.begin(), units.end());
      if (widened.back() != systemWiden(arg)) ++readOtherwise;
    }
    arguments += static_cast<long>(utf8Args.size());
    const std::wstring built = velmora::buildCommandLine(program, utf8Args);
    if (!same(built, widened, systemSplit(built), "built from UTF-8")) {
      for (const std::string& arg : utf8Args) {
        std::printf("UTF-8 argument:");
        for (unsigned char c : arg) std::printf(" %02x", c);
        std::printf("\n");
      }
      return 1;
    }
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  std::printf("%ld argument lists, %ld arguments: all split back as meant (%.2f s)\n", 2 * lists,
              arguments, took.count());
  std::printf("the system's conversion reads %ld of the UTF-8 arguments otherwise\n",
              readOtherwise);
  return 0;
}
