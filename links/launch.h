#pragma once

#include <string>
#include <vector>

namespace velmora {

// What to start: the studio or the player, and its arguments, unquoted and
// without the executable's own path.
struct Launch {
  bool studio = false;
  std::vector<std::string> args;
};

// Parses a whole "velmora-player:" link. Throws std::runtime_error for an
// unknown launch mode or a URL that is not on the site; never returns a
// partly filled record.
Launch launchFromUri(const std::string& link);

}  // namespace velmora
