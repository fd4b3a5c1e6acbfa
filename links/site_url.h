#pragma once

#include <string>

namespace velmora {

// The site's web host: "www." + the site domain.
std::string webHost();

// Percent-decodes a URL taken from a link and returns it only when it is a
// plain https URL on the site domain; otherwise throws
// std::runtime_error("<label> is not on <domain>"), or "<label> is not https"
// for an http URL that passes every other rule.
std::string ownSiteUrl(const std::string& url, const std::string& label);

// The authentication endpoint on the same scheme, host and port as `url`, or
// the default one on the web host when `url` has no "://" or no path. Never throws.
std::string negotiateUrl(const std::string& url);

}  // namespace velmora
