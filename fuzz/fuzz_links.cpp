// Whatever a link says, the launcher either refuses it or hands the player and
// the studio only https URLs on the site domain.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "build_config.h"
#include "links/launch.h"
#include "links/site_url.h"

namespace {

// Written from scratch on purpose: sharing code with the launcher would share its bugs.
bool onSite(const std::string& url) {
  const auto sep = url.find("://");
  if (sep == std::string::npos) return false;
  const std::string scheme = url.substr(0, sep);
  if (scheme != "https") return false;
  const std::string rest = url.substr(sep + 3);
  const std::string authority = rest.substr(0, rest.find('/'));
  for (unsigned char c : authority) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == ':';
    if (!ok) return false;  // also rejects '@', '?', '#', '\', '%', controls
  }
  std::string host = authority.substr(0, authority.find(':'));
  for (char& c : host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const std::string domain = velmora::kSiteDomain;
  const std::string dotted = "." + domain;
  return host == domain || (host.size() >= dotted.size() &&
                            host.compare(host.size() - dotted.size(), dotted.size(), dotted) == 0);
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "INVARIANT BROKEN: %s: '%s'\n", what, detail.c_str());
  std::abort();
}

void requireOnSite(const std::string& url, const char* what) {
  if (!onSite(url)) fail(what, url);
}

void requireEqual(const std::string& actual, const char* expected, const char* what) {
  if (actual != expected) fail(what, actual);
}

// The argument layout is fixed per mode; walking it strictly also catches a
// user-controlled value (ticket, tracker id) posing as a flag.
void checkPlay(const std::vector<std::string>& a) {
  if (a.size() != 7 && a.size() != 9) fail("play argument count", std::to_string(a.size()));
  requireEqual(a[0], "--play", "play arg 0");
  requireEqual(a[1], "-a", "play arg 1");
  requireOnSite(a[2], "play -a url");
  requireEqual(a[3], "-t", "play arg 3");
  requireEqual(a[5], "-j", "play arg 5");
  requireOnSite(a[6], "play -j url");
  if (a.size() == 9) {
    requireEqual(a[7], "-b", "play arg 7");
    if (a[8].empty()) fail("empty tracker id passed", a[8]);
  }
}

void checkEdit(const std::vector<std::string>& a) {
  std::size_t i = 0;
  const auto next = [&](const char* flag) {
    if (i < a.size() && a[i] == flag) {
      ++i;
      return true;
    }
    return false;
  };
  const auto value = [&](const char* what) -> const std::string& {
    if (i >= a.size()) fail("missing value", what);
    return a[i++];
  };
  if (!next("-ide")) fail("edit arg 0", a.empty() ? std::string() : a[0]);
  if (next("-url")) {
    requireOnSite(value("-url"), "edit -url url");
    if (!next("-ticket")) fail("edit -ticket missing", i < a.size() ? a[i] : std::string());
    if (value("-ticket").empty()) fail("empty ticket passed", "");
  }
  if (next("-script")) requireOnSite(value("-script"), "edit -script url");
  next("-avatar");
  if (next("-browserTrackerId") && value("-browserTrackerId").empty())
    fail("empty tracker id passed", "");
  if (i != a.size()) fail("unexpected edit argument", a[i]);
}

void checkLink(const std::string& link) {
  velmora::Launch launch;
  try {
    launch = velmora::launchFromUri(link);
  } catch (const std::runtime_error&) {
    return;
  }
  if (launch.studio) {
    checkEdit(launch.args);
  } else {
    checkPlay(launch.args);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkLink("velmora-player:" + text);
  checkLink(text);
  try {
    requireOnSite(velmora::ownSiteUrl(text, "url"), "ownSiteUrl result");
  } catch (const std::runtime_error&) {
  }
  // Never throws, whatever it is given.
  const std::string negotiate = velmora::negotiateUrl(text);
  (void)negotiate;
  return 0;
}
