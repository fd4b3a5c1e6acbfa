#include "desktop/scheme.h"

namespace velmora {

std::vector<RegistryValue> schemeValues(const std::filesystem::path& launcher) {
  const std::u16string key = u"Software\\Classes\\velmora-player";
  const std::u16string quoted = u"\"" + launcher.u16string() + u"\"";
  return {
      {key, true, u"", u"URL:Velmora Protocol"},
      {key, false, u"URL Protocol", u""},
      {key + u"\\DefaultIcon", true, u"", quoted + u",0"},
      // Quoting %1 hands the whole link over as one argument.
      {key + u"\\shell\\open\\command", true, u"", quoted + u" \"%1\""},
  };
}

}  // namespace velmora
