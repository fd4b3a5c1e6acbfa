#include "links/launch.h"

#include <map>
#include <stdexcept>

#include "base/text.h"
#include "links/site_url.h"

namespace velmora {
namespace {

using Fields = std::map<std::string, std::string>;

// Fields are separated by '+' and split at their first ':'. Values stay raw:
// a '+' inside a URL must arrive as %2B and is restored by the URL decoding.
Fields splitLink(const std::string& link) {
  Fields fields;
  std::string::size_type start = 0;
  while (true) {
    const auto end = link.find('+', start);
    const std::string segment = link.substr(start, end - start);
    const auto colon = segment.find(':');
    std::string key = segment.substr(0, colon);
    for (char& c : key) c = asciiLower(static_cast<unsigned char>(c));
    fields[key] = colon == std::string::npos ? std::string() : segment.substr(colon + 1);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fields;
}

std::string field(const Fields& fields, const char* key) {
  const auto it = fields.find(key);
  return it == fields.end() ? std::string() : it->second;
}

Launch editLaunch(const Fields& fields) {
  const std::string script = field(fields, "script");
  const std::string scriptUrl =
      script.empty() ? std::string() : ownSiteUrl(script, "studio script url");
  Launch launch;
  launch.studio = true;
  launch.args = {"-ide"};
  const std::string ticket = field(fields, "gameinfo");
  if (!ticket.empty()) {
    launch.args.insert(launch.args.end(), {"-url", negotiateUrl(scriptUrl), "-ticket", ticket});
  }
  if (!scriptUrl.empty()) launch.args.insert(launch.args.end(), {"-script", scriptUrl});
  if (!field(fields, "avatar").empty()) launch.args.push_back("-avatar");
  const std::string tracker = field(fields, "browsertrackerid");
  if (!tracker.empty()) launch.args.insert(launch.args.end(), {"-browserTrackerId", tracker});
  return launch;
}

Launch playLaunch(const Fields& fields) {
  const std::string placeLauncher =
      ownSiteUrl(field(fields, "placelauncherurl"), "place launcher url");
  Launch launch;
  launch.args = {
      "--play", "-a",         negotiateUrl(placeLauncher), "-t", field(fields, "gameinfo"),
      "-j",     placeLauncher};
  const std::string tracker = field(fields, "browsertrackerid");
  if (!tracker.empty()) launch.args.insert(launch.args.end(), {"-b", tracker});
  return launch;
}

}  // namespace

Launch launchFromUri(const std::string& link) {
  const Fields fields = splitLink(link);
  const std::string mode = field(fields, "launchmode");
  if (mode == "edit") return editLaunch(fields);
  if (mode == "play") return playLaunch(fields);
  throw std::runtime_error("unsupported launch mode '" + mode + "'");
}

}  // namespace velmora
