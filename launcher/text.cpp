#include "launcher/text.h"

namespace velmora {

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

}  // namespace velmora
