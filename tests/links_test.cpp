#include <gtest/gtest.h>

#include <stdexcept>

#include "helpers.h"
#include "links/launch.h"
#include "links/site_url.h"

namespace velmora {
namespace {

using Args = std::vector<std::string>;
const std::string kLabel = "place launcher url";
const std::string kRefusal = "place launcher url is not on velmora.com";

TEST(OwnSiteUrl, AcceptsPlainHttpsUrlsOnTheSite) {
  const std::pair<std::string, std::string> cases[] = {
      {"https%3A%2F%2Fwww.velmora.com%3A8080%2FGame%2FPlaceLauncher.ashx%3FplaceId%3D1",
       "https://www.velmora.com:8080/Game/PlaceLauncher.ashx?placeId=1"},
      {"https://velmora.com/", "https://velmora.com/"},  // bare domain, no encoding
      {"https://a.b.c.velmora.com/x#y", "https://a.b.c.velmora.com/x#y"},
      {"https://www.velmora.com:8x:9/p",
       "https://www.velmora.com:8x:9/p"},  // port only char-checked
      {"https://www.velmora.com/a%2Bb%2525", "https://www.velmora.com/a+b%25"},  // decoded once
      {"https://www.velmora.com/a+b", "https://www.velmora.com/a+b"},
  };
  for (const auto& [raw, decoded] : cases) EXPECT_EQ(ownSiteUrl(raw, kLabel), decoded) << raw;
}

TEST(OwnSiteUrl, RefusesEverythingElseWithOneMessage) {
  const char* cases[] = {
      "",
      "http://evil.example/x",
      "http://evilvelmora.com/x",  // suffix without a dot
      "http://www.velmora.com.evil.example/x",
      "http://evil.example%3F.www.velmora.com/x",     // encoded '?'
      "http://evil.example%23.www.velmora.com/x",     // encoded '#'
      "http://www.velmora.com%40evil.velmora.com/x",  // userinfo
      "http://evil.example%2F.velmora.com/x",         // encoded '/' ends the host
      "http://www.velmora.com%00.evil.example/x",     // NUL cuts the URL
      "http://www.velmora.com",                       // no path
      "HTTP://www.velmora.com/x",
      "http://WWW.VELMORA.COM/x",
      "file://www.velmora.com/etc/passwd",
      "http://www_x.velmora.com/x",
      "http://www.velmora.com\\@evil.example/x",
      "http://www.velm%C3%B6ra.com/x",
      "www.velmora.com/x",
  };

  for (const char* raw : cases) {
    EXPECT_EQ(errorOf([&] { ownSiteUrl(raw, kLabel); }), kRefusal) << raw;
  }
}

const std::string kPlace = "+placelauncherurl:https%3A%2F%2Fwww.velmora.com%2Fg";
const std::string kNegotiate = "https://www.velmora.com/Login/Negotiate.ashx";

TEST(LaunchFromUri, BuildsThePlayerOrStudioArguments) {
  const std::pair<std::string, Args> cases[] = {
      // the studio's start with "-ide"
      {"velmora-player:1+launchmode:play+gameinfo:T%41+browsertrackerid:7" + kPlace,
       {"--play", "-a", kNegotiate, "-t", "T%41", "-j", "https://www.velmora.com/g", "-b", "7"}},
      // empty ticket still passed; empty tracker dropped; '+' runs and trailing '+' harmless
      {"velmora-player:1++LaunchMode:play+gameinfo:+browsertrackerid:" + kPlace + "+",
       {"--play", "-a", kNegotiate, "-t", "", "-j", "https://www.velmora.com/g"}},
      // the negotiate URL keeps the place URL's scheme, host and port only
      {"velmora-player:1+launchmode:play+placelauncherurl:https%3A%2F%2Fa.velmora.com%3A8080%2FP."
       "ashx%3Fid%3D1",
       {"--play", "-a", "https://a.velmora.com:8080/Login/Negotiate.ashx", "-t", "", "-j",
        "https://a.velmora.com:8080/P.ashx?id=1"}},
      {"velmora-player:1+launchmode:edit", {"-ide"}},
      {"velmora-player:1+launchmode:play+launchmode:edit", {"-ide"}},  // the last value wins
      {"velmora-player:1+launchmode:edit+avatar", {"-ide"}},           // no ':' is no value
      {"velmora-player:1+launchmode:edit+gameinfo:t+avatar:0+browsertrackerid:9",
       {"-ide", "-url", kNegotiate, "-ticket", "t", "-avatar", "-browserTrackerId", "9"}},
      {"velmora-player:1+launchmode:edit+gameinfo:t+script:https%3A%2F%2Fs.velmora.com%3A81%2Fe."
       "ashx%3Fa%3Db%3Ac",
       {"-ide", "-url", "https://s.velmora.com:81/Login/Negotiate.ashx", "-ticket", "t", "-script",
        "https://s.velmora.com:81/e.ashx?a=b:c"}},
  };
  for (const auto& [link, args] : cases) {
    const Launch launch = launchFromUri(link);
    EXPECT_EQ(launch.studio, args[0] == "-ide") << link;
    EXPECT_EQ(launch.args, args) << link;
  }
}

TEST(LaunchFromUri, RefusesWithTheMessageOfTheFailingRule) {
  const std::pair<std::string, std::string> cases[] = {
      {"velmora-player:", "unsupported launch mode ''"},
      {"velmora-player:1+launchmode:Edit", "unsupported launch mode 'Edit'"},
      {"velmora-player:1+launchmode:build" + kPlace, "unsupported launch mode 'build'"},
      {"velmora-player:1+launchmode:play", kRefusal},
      {"velmora-player:1+launchmode:play+placelauncherurl:", kRefusal},
      {"velmora-player:1+launchmode:edit+gameinfo:t+script:http%3A%2F%2Fevil.example%2Fx",
       "studio script url is not on velmora.com"},
      // The ticket would go with it in clear; checked after the site rules.
      {"velmora-player:1+launchmode:play+placelauncherurl:http%3A%2F%2Fwww.velmora.com%2Fg",
       "place launcher url is not https"},
      {"velmora-player:1+launchmode:edit+script:http://s.velmora.com:81/e",
       "studio script url is not https"},
  };
  for (const auto& [link, message] : cases)
    EXPECT_EQ(errorOf([&] { launchFromUri(link); }), message) << link;
}

}  // namespace
}  // namespace velmora
