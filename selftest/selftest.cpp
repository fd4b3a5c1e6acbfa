#include "selftest/selftest.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "build_config.h"
#include "install/installed.h"
#include "install/layout.h"
#include "links/launch.h"
#include "links/site_url.h"
#include "platform/sha256.h"

namespace velmora {

namespace fs = std::filesystem;

int selfTest() {
  int failures = 0;
  const auto check = [&](bool ok, const char* label) {
    if (ok) return;
    std::cerr << "FAIL: " << label << std::endl;
    ++failures;
  };
  const std::string web = webHost();
  const std::string domain = kSiteDomain;
  const std::string prefix = "velmora-player:1";
  const std::string foreign = "evil.example";

  const Launch play =
      launchFromUri(prefix + "+launchmode:play+gameinfo:TICKET123+placelauncherurl:https%3A%2F%2F" +
                    web + "%3A8080%2FGame%2FPlaceLauncher.ashx%3FplaceId%3D1+browsertrackerid:42");
  const auto arg = [&](std::size_t n) {
    return n <= play.args.size() ? play.args[n - 1] : std::string();
  };
  check(play.args.size() == 9 && arg(5) == "TICKET123", "ticket passed to the client");
  check(arg(7) == "https://" + web + ":8080/Game/PlaceLauncher.ashx?placeId=1", "url decoded");
  check(arg(9) == "42", "browser tracker id passed");
  check(arg(3) == "https://" + web + ":8080/Login/Negotiate.ashx",
        "auth url on the place launcher's site and port");
  check(!play.studio, "play starts the client");

  const Launch edit = launchFromUri(prefix + "+launchmode:edit+gameinfo:T+script:https%3A%2F%2F" +
                                    web + "%2FGame%2FEdit.ashx%3FPlaceID%3D1+avatar:1");
  check(edit.studio &&
            edit.args ==
                std::vector<std::string>{"-ide", "-url", "https://" + web + "/Login/Negotiate.ashx",
                                         "-ticket", "T", "-script",
                                         "https://" + web + "/Game/Edit.ashx?PlaceID=1", "-avatar"},
        "edit starts Studio with edit arguments");
  check(launchFromUri(prefix + "+launchmode:edit").args == std::vector<std::string>{"-ide"},
        "bare edit opens the IDE");

  const auto refused = [&](const std::string& rest, const char* label) {
    bool threw = false;
    try {
      launchFromUri(prefix + rest);
    } catch (const std::exception&) {
      threw = true;
    }
    check(threw, label);
  };
  const std::string playUrl = "+launchmode:play+placelauncherurl:http%3A%2F%2F";
  refused("+launchmode:edit+script:http%3A%2F%2F" + foreign + "%2Fx",
          "foreign studio script rejected");
  refused(playUrl + foreign + "%2Fx", "foreign host rejected");
  refused(playUrl + "evil" + domain + "%2Fx", "suffix-only host rejected");
  refused("+launchmode:build", "unknown launch mode rejected");
  refused(playUrl + foreign + "%3F." + web + "%2Fx", "query in the host rejected");
  refused(playUrl + foreign + "%23." + web + "%2Fx", "fragment in the host rejected");
  refused(playUrl + web + "%40evil." + domain + "%2Fx", "userinfo in the host rejected");
  refused("+launchmode:edit+script:file%3A%2F%2F" + web + "%2Fetc%2Fpasswd",
          "non-http scheme rejected");

  const fs::path fixture = fs::temp_directory_path() / "yrt-launcher-selftest";
  fs::remove_all(fixture);
  check(newestInstalled(fixture).empty(), "no install: nothing to fall back to");
  for (const char* name : {"version-20260101000000", "version-20260301000000",
                           "version-20260401000000", "version-20260501000000.partial"}) {
    fs::create_directories(fixture / name);
  }
  for (const char* name :
       {"version-20260101000000", "version-20260301000000", "version-20260501000000.partial"}) {
    std::ofstream(fixture / name / kCompleteMarker).close();
  }
  check(newestInstalled(fixture).filename() == fs::path("version-20260301000000"),
        "fallback picks the newest complete version, never a staging folder");
  fs::remove_all(fixture);

  // Every archive check hashes with the system's SHA-256: a two-block message of
  // the standard in uneven pieces, then, from the same object, the empty one.
  platform::Sha256 sha;
  const std::string message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  sha.update(message.data(), 5);
  sha.update(message.data() + 5, message.size() - 5);
  check(sha.hex() == "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1" &&
            sha.hex() == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
        "the system's SHA-256 gives the standard's digests");

  std::cout << (failures == 0 ? "self-test passed" : "self-test failed") << std::endl;
  return failures == 0 ? 0 : 1;
}

}  // namespace velmora
