#include "base/text.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "base/case_fold_table.h"

namespace velmora {
namespace {

char32_t foldedPoint(char32_t point) {
  const auto row =
      std::lower_bound(std::begin(kCaseFoldRanges), std::end(kCaseFoldRanges), point,
                       [](const CaseFoldRange& range, char32_t p) { return range.last < p; });
  if (row == std::end(kCaseFoldRanges) || point < row->first ||
      (point - row->first) % row->stride != 0)
    return point;
  return static_cast<char32_t>(static_cast<std::int64_t>(point) + row->delta);
}

void appendUtf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

}  // namespace

std::string caseFolded(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  // Not text: its ASCII letters are still letters to Windows.
  if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; }) ||
      !isWellFormedUtf8(utf8)) {
    for (char c : utf8) out += asciiLower(static_cast<unsigned char>(c));
    return out;
  }
  const std::u16string wide = utf16FromUtf8(utf8);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t point = wide[i];
    if (point >= 0xD800 && point < 0xDC00 && i + 1 < wide.size())
      point = 0x10000 + ((point - 0xD800) << 10) + (wide[++i] - 0xDC00);
    appendUtf8(out, foldedPoint(point));
  }
  return out;
}

bool isReservedDeviceName(const std::string& component) {
  std::string stem;
  for (char c : component.substr(0, component.find('.'))) stem += asciiLower(c);
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
  if (stem.compare(0, 3, "com") != 0 && stem.compare(0, 3, "lpt") != 0) return false;
  const std::string digit = stem.substr(3);
  // Superscript one to three count as port digits too.
  return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xc2\xb9" ||
         digit == "\xc2\xb2" || digit == "\xc2\xb3";
}

std::u16string utf16FromUtf8(const std::string& utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    const auto lead = static_cast<unsigned char>(utf8[i++]);
    if (lead < 0x80) {
      out += static_cast<char16_t>(lead);
      continue;
    }
    // The second byte's range excludes overlong forms, surrogates and code
    // points above U+10FFFF.
    int more = 0;
    unsigned char low = 0x80, high = 0xBF;
    char32_t point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      point = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      point = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out += u'\uFFFD';  // a continuation byte, or a lead that no valid text has
      continue;
    }
    for (; more > 0 && i < n; --more, ++i) {
      const auto next = static_cast<unsigned char>(utf8[i]);
      if (next < low || next > high) break;
      point = (point << 6) | (next & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    if (more > 0) {
      // The byte that broke the sequence, if any, starts the next one.
      out += u'\uFFFD';
    } else if (point >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(point);
    }
  }
  return out;
}

std::string hexText(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(2 * size, '0');
  for (std::size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return text;
}

std::string randomToken() {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(std::random_device()()));
  return text;
}

bool isWellFormedUtf8(const std::string& text) {
  const std::u16string wide = utf16FromUtf8(text);
  // Every ill-formed sequence became U+FFFD; well-formed text has as many of those as it brought.
  std::size_t brought = 0;
  for (std::size_t at = text.find("\xef\xbf\xbd"); at != std::string::npos;
       at = text.find("\xef\xbf\xbd", at + 3))
    ++brought;
  return static_cast<std::size_t>(std::count(wide.begin(), wide.end(), u'\xfffd')) == brought;
}

bool parseDecimal(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  value = 0;
  for (unsigned char c : text) {
    if (!isAsciiDigit(c)) return false;
    const unsigned digit = c - '0';
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

bool isSha256Text(const std::string& text) {
  if (text.size() != 64) return false;
  for (unsigned char c : text) {
    if (!isAsciiDigit(c) && !(c >= 'a' && c <= 'f')) return false;
  }
  return true;
}

}  // namespace velmora
