#pragma once

#include <string>

namespace velmora {

// The proxy for `url` in libcurl's form ("http://host:port", or "" for a
// direct connection) from settings in the forms Windows gives them: `proxies`
// as "host:port" for every scheme or "http=host:port;https=host:port" per
// scheme, first usable entry wins; `bypass` as ';'-separated host patterns
// with '*' wildcards, "<local>" standing for every host name without a dot.
std::string proxyForUrl(const std::string& url, const std::string& proxies,
                        const std::string& bypass);

}  // namespace velmora
