#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

// Byte classification that never depends on the process locale: link and
// version rules must give the same answer on every machine.
namespace velmora {

inline bool isAsciiAlpha(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
inline bool isAsciiDigit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool isAsciiAlnum(unsigned char c) { return isAsciiAlpha(c) || isAsciiDigit(c); }
inline char asciiLower(unsigned char c) {
  return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}
inline bool isAsciiSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Narrow text is UTF-8 everywhere, paths included.
inline std::filesystem::path pathFromUtf8(const std::string& s) {
  return std::filesystem::u8path(s);
}
inline std::string utf8(const std::filesystem::path& p) { return p.u8string(); }

// UTF-16 of `utf8`; never fails: link bytes need not be UTF-8 and must still
// reach the program. Each ill-formed sequence (its longest valid start, or a
// single byte) becomes one U+FFFD, the practice the Unicode standard recommends.
std::u16string utf16FromUtf8(const std::string& utf8);

// True for names Windows maps to devices (CON, nul.txt, COM1, ...): such a
// name can never be a plain file or folder there.
bool isReservedDeviceName(const std::string& component);

// The name NTFS compares `utf8` by, or coarser: each code point's simple
// uppercase mapping, then its simple case folding (tools/case_fold.py, which
// made the table). Bytes that are not UTF-8 stay as they are.
std::string caseFolded(const std::string& utf8);

// True when `text` is well-formed UTF-8 (no cut, overlong or surrogate sequence).
bool isWellFormedUtf8(const std::string& text);

// Plain decimal digits without sign or leading zeros, at most `limit`: the
// one spelling of a number in the files the launcher reads.
bool parseDecimal(const std::string& text, std::uint64_t limit, std::uint64_t& value);

// 64 lower-case hex digits, as SHA-256 values are written.
bool isSha256Text(const std::string& text);

// Two lower-case hex digits per byte.
std::string hexText(const unsigned char* bytes, std::size_t size);

// Eight random hex digits, for a file name that no other start picks too.
std::string randomToken();

}  // namespace velmora
