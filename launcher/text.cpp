#include "launcher/text.h"

namespace velmora {

bool isReservedDeviceName(const std::string& component) {
  std::string stem;
  for (char c : component.substr(0, component.find('.'))) stem += asciiLower(c);
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

}  // namespace velmora
