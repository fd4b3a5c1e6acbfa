#include "install/transfer/proxy.h"

#include <vector>

#include "base/text.h"

namespace velmora {
namespace {

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> items;
  std::string item;
  for (char c : list + ";") {
    if (c == ';' || c == ',' || isAsciiSpace(static_cast<unsigned char>(c))) {
      if (!item.empty()) items.push_back(item);
      item.clear();
    } else {
      item += asciiLower(static_cast<unsigned char>(c));
    }
  }
  return items;
}

bool wildcardMatch(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

std::string proxyForUrl(const std::string& url, const std::string& proxies,
                        const std::string& bypass) {
  const auto schemeEnd = url.find("://");
  const std::string scheme = schemeEnd == std::string::npos ? "" : url.substr(0, schemeEnd);
  const std::string rest = schemeEnd == std::string::npos ? url : url.substr(schemeEnd + 3);
  std::string authority = rest.substr(0, rest.find_first_of("/?#"));
  for (char& c : authority) c = asciiLower(static_cast<unsigned char>(c));
  // "[::1]:443" keeps its brackets in the host, as bypass entries write it.
  const auto colon =
      authority.find(':', authority.rfind(']') == std::string::npos ? 0 : authority.rfind(']'));
  const std::string host = authority.substr(0, colon);

  for (std::string pattern : split(bypass)) {
    if (pattern == "<local>") {
      if (host.find('.') == std::string::npos && host.find(':') == std::string::npos) return "";
      continue;
    }
    for (const char* prefix : {"https://", "http://"}) {
      if (pattern.rfind(prefix, 0) == 0) pattern.erase(0, std::string(prefix).size());
    }
    if (wildcardMatch(pattern, host) || wildcardMatch(pattern, authority)) return "";
  }

  std::string chosen;
  for (const std::string& entry : split(proxies)) {
    const auto equals = entry.find('=');
    if (equals == std::string::npos) {
      if (chosen.empty()) chosen = entry;
    } else if (entry.compare(0, equals, scheme) == 0) {
      chosen = entry.substr(equals + 1);
      break;
    }
  }
  if (chosen.empty() || chosen.find("://") != std::string::npos) return chosen;
  return "http://" + chosen;
}

}  // namespace velmora
