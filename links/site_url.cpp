#include "links/site_url.h"

#include <curl/curl.h>

#include <memory>
#include <stdexcept>

#include "base/text.h"
#include "build_config.h"

namespace velmora {
namespace {

constexpr char kNegotiatePath[] = "/Login/Negotiate.ashx";

std::string percentDecode(const std::string& url) {
  std::unique_ptr<char, decltype(&curl_free)> decoded(
      curl_easy_unescape(nullptr, url.c_str(), 0, nullptr), &curl_free);
  // Taken up to the first NUL on purpose: an encoded NUL cuts the URL there.
  return decoded ? std::string(decoded.get()) : std::string();
}

bool authorityByteAllowed(unsigned char c) {
  return isAsciiAlnum(c) || c == '-' || c == '.' || c == ':';
}

}  // namespace

std::string webHost() { return std::string("www.") + kSiteDomain; }

std::string ownSiteUrl(const std::string& url, const std::string& label) {
  const std::string decoded = percentDecode(url);

  std::string scheme, authority;
  const auto sep = decoded.find("://");
  if (sep != std::string::npos) {
    scheme = decoded.substr(0, sep);
    const auto hostStart = sep + 3;
    const auto slash = decoded.find('/', hostStart);
    // Without a '/' after the host the authority stays empty and is refused.
    if (slash != std::string::npos) authority = decoded.substr(hostStart, slash - hostStart);
  }

  bool ok = scheme == "http" || scheme == "https";
  for (unsigned char c : authority) ok = ok && authorityByteAllowed(c);
  const std::string host = authority.substr(0, authority.find(':'));
  const std::string dottedHost = "." + host + "/";
  const std::string dottedSuffix = std::string(".") + kSiteDomain + "/";
  ok = ok && dottedHost.size() >= dottedSuffix.size() &&
       dottedHost.compare(dottedHost.size() - dottedSuffix.size(), dottedSuffix.size(),
                          dottedSuffix) == 0;
  if (!ok) throw std::runtime_error(label + " is not on " + kSiteDomain);
  // The ticket travels to the player with a URL made from this one; it must
  // never be sent in clear.
  if (scheme != "https") throw std::runtime_error(label + " is not https");
  return decoded;
}

std::string negotiateUrl(const std::string& url) {
  const auto sep = url.find("://");
  const auto slash = sep == std::string::npos ? std::string::npos : url.find('/', sep + 3);
  if (slash == std::string::npos) return "https://" + webHost() + kNegotiatePath;
  return url.substr(0, slash) + kNegotiatePath;
}

}  // namespace velmora
