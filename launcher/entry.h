#pragma once

#include <string>
#include <vector>

namespace velmora {

// The whole life of a launcher process; `args` holds the program name first.
// Returns the process exit status.
int run(const std::vector<std::string>& args);

// Shows `utf8Text` in an error box titled "Velmora"; returns when it is closed.
void showError(const std::string& utf8Text);

// Opens the service's games page in the browser; failures are silent.
void openWebsite();

}  // namespace velmora
