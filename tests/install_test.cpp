#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

#include "build_config.h"
#include "helpers.h"
#include "install/installed.h"
#include "install/layout.h"
#include "install/transfer/download.h"
#include "install/transfer/progress.h"
#include "install/transfer/proxy.h"
#include "install/update.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

TEST(CleanVersion, StripsBlanksAndQuotesAndRefusesWhatCannotNameAFolderEverywhere) {
  const std::pair<std::string, std::string> accepted[] = {
      {"\"version-1a2b3c\"\r\n", "version-1a2b3c"},  // JSON-quoted, with a line end
      {" \t\"ver sion\"\v\f-1_2.3\n", "version-1_2.3"},
      {" \"" + std::string(64, 'v') + "\"\n", std::string(64, 'v')},  // blanks do not count
      // Near misses of device and staging names.
      {"COM0", "COM0"},
      {"com10.x", "com10.x"},
      {"v.partial1", "v.partial1"}};
  for (const auto& [document, version] : accepted) EXPECT_EQ(cleanVersion(document), version);
  // Named as what is left of them; bytes above 0x7f are not white space.
  const std::pair<std::string, std::string> refused[] = {
      {" \t\r\n\"\"", ""},      {"\"1.2.\"\n", "1.2."},
      {" nul\n", "nul"},        {"Aux.txt", "Aux.txt"},
      {"lpt9.log", "lpt9.log"}, {std::string(65, 'v'), std::string(65, 'v')},
      {"v\2401", "v\2401"},     {std::string("v\0001", 3), std::string("v\0001", 3)},
      {"a/b", "a/b"},           {"a\\b", "a\\b"},
      {"a..b", "a..b"},         {".", "."},
      {"v:1", "v:1"},           {"V.PARTIAL", "V.PARTIAL"},
      {"v.Resume", "v.Resume"}, {".v.0123abcd.OLD", ".v.0123abcd.OLD"}};
  for (const auto& [document, name] : refused) {
    const std::string refusal = "setup host returned an invalid version: '" + name + "'";
    EXPECT_EQ(errorOf([&] { cleanVersion(document); }), refusal.c_str());  // what() ends at a NUL
  }
}

// The release record of a version published at `seconds`.
std::string published(int seconds) {
  return "version v\npublished " + std::to_string(seconds) + "\n";
}

TEST(NewestInstalled, PicksTheNewestCompleteFolder) {
  const bool keyed = kReleasePublicKey[0] != '\0';
  struct Case {
    std::vector<std::string> paths;  // a trailing '/' makes a folder, "=" gives a file its text
    std::string newest;
  } cases[] = {
      {{}, ""},
      {{"v2/", "v3/readme"}, ""},                                      // no marker
      {{"version-10/.complete", "version-9/.complete"}, "version-9"},  // text, not numbers
      {{"V/.complete", "a/.complete"}, "a"},                           // byte order
      {{"a/.complete", "b/", "z", "z.complete"}, "a"},                 // plain files never count
      {{"a/.complete", "b/.complete/"}, "b"},                          // any kind of marker
      // A staging folder is never a version, however complete it looks.
      {{"v/.complete", "v.partial/.complete"}, "v"},
      {{"v-1/.complete", "v-2.Partial/.complete"}, "v-1"},
      {{"v/.complete", "v.RESUME/.complete"}, "v"},
      {{"v/.complete", ".w.0123abcd.old/.complete"}, "v"},  // set aside for removal
      // With a key built in, by the recorded releases' times: a rollback published again is
      // newest; one without a readable record is older than one with.
      {{"a/.complete", "a/.release=" + published(20), "b/.complete", "b/.release=" + published(10)},
       keyed ? "a" : "b"},
      {{"a/.complete", "a/.release=" + published(10), "b/.complete", "b/.release=" + published(10)},
       "b"},
      {{"a/.complete", "a/.release=" + published(10), "b/.complete", "b/.release=damaged"},
       keyed ? "a" : "b"},
      {{"a/.complete", "b/.complete", "b/.release=" + published(10), "c/.complete"},
       keyed ? "b" : "c"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    for (const auto& p : c.paths) {
      const auto equals = p.find('=');
      const fs::path path = dir.path() / p.substr(0, equals);
      fs::create_directories(p.back() == '/' ? path : path.parent_path());
      if (p.back() != '/') writeFile(path, equals == std::string::npos ? "" : p.substr(equals + 1));
    }
    const fs::path expected = c.newest.empty() ? fs::path() : dir.path() / c.newest;
    EXPECT_EQ(newestInstalled(dir.path()), expected) << ::testing::PrintToString(c.paths);
  }
  TempDir dir;
  EXPECT_EQ(newestInstalled(dir.path() / "missing"), fs::path());
  writeFile(dir.path() / "file", "");
  EXPECT_EQ(newestInstalled(dir.path() / "file"), fs::path());
}

TEST(ProxyForUrl, FollowsWindowsProxyListsAndBypassPatterns) {
  const std::string url = "https://Setup.Velmora.com:8443/version";
  struct Case {
    std::string proxies, bypass, proxy;
  } cases[] = {
      // Which entry of the list.
      {"", "", ""},
      {"proxy:3128", "", "http://proxy:3128"},
      {"http=a:1;https=b:2", "", "http://b:2"},
      {"http=a:1", "", ""},  // no entry for https: direct, as Windows does
      {"a:1 https=b:2", "", "http://b:2"},
      {"c:3;d:4", "", "http://c:3"},           // the first of a script's answer
      {"https=http://b:2", "", "http://b:2"},  // a scheme already given
      {"HTTPS=B:2", "", "http://b:2"},         // case does not matter
      {"socks=s:1080", "", ""},
      // Bypass patterns, matched without case against the host or host:port.
      {"p:1", "*.velmora.com", ""},
      {"p:1", "setup.velmora.com:8443", ""},
      {"p:1", "https://setup.velmora.com", ""},
      {"p:1", "other.com; *.velmora.org", "http://p:1"},
      {"p:1", "setup.velmora.co", "http://p:1"},  // no prefix match
      {"p:1", "<local>", "http://p:1"},           // the host has dots
      {"p:1", "*", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(proxyForUrl(url, c.proxies, c.bypass), c.proxy) << c.proxies << " | " << c.bypass;
  EXPECT_EQ(proxyForUrl("https://intranet/x", "p:1", "<local>"), "");
  EXPECT_EQ(proxyForUrl("https://[::1]:443/", "p:1", "[::1]"), "");
  // An address is no local name, though it has no dot.
  EXPECT_EQ(proxyForUrl("https://[::1]:443/", "p:1", "<local>"), "http://p:1");
}

TEST(ProgressText, ShareAndTimeLeftOnlyWhereTheyMeanSomething) {
  const struct {
    std::int64_t bytes, total;
    double seconds;
    std::string text;
  } cases[] = {
      {24'200'000, 37'800'000, 1.82, "24.2 of 37.8 MB (64 %), 13.3 MB/s, about 2 s left"},
      {0, 37'800'000, 0, "0.0 of 37.8 MB (0 %)"},
      {5'000'000, 0, 2, "5.0 MB, 2.5 MB/s"},
      {37'800'000, 37'800'000, 3, "37.8 of 37.8 MB (100 %), 12.6 MB/s"},
      // A restarted body can briefly count more than the total.
      {40'000'000, 37'800'000, 4, "40.0 of 37.8 MB (100 %), 10.0 MB/s"},
      {1'000'000, 601'000'000, 1, "1.0 of 601.0 MB (0 %), 1.0 MB/s, about 10 min left"},
      {1'000'000, 61'000'000, 1, "1.0 of 61.0 MB (1 %), 1.0 MB/s, about 1 min left"},
  };
  for (const auto& c : cases) EXPECT_EQ(progressText(c.bytes, c.total, c.seconds), c.text);
}

// The count of transfers at once after each interval's rate (MB/s) the line gave.
TEST(TransferCount, GrowsWhileTheRateGrowsAndStepsBackOnceItDoesNot) {
  const struct {
    const char* what;
    std::size_t bound;
    std::vector<double> rates;
    std::vector<std::size_t> limits;
  } cases[] = {
      {"a line that takes all ten", 10, {32, 64, 80, 80}, {8, 10, 10, 10}},
      {"a line full with four", 10, {5, 5.2, 9}, {8, 4, 4}},
      {"the last step gains too little", 10, {32, 64, 68}, {8, 10, 8}},
      {"a slower interval after a step", 10, {32, 20, 64}, {8, 4, 4}},
      {"one at a time", 1, {1, 2}, {1, 1}},
  };
  for (const auto& c : cases) {
    TransferCount count(4, c.bound);
    double now = 0;
    std::int64_t received = 1;
    count.sample(now, received, true, true);
    std::vector<std::size_t> limits;
    for (double rate : c.rates) {
      // Half an interval changes nothing; at its end the next begins.
      count.sample(now + 0.1, received + static_cast<std::int64_t>(rate * 1e5), true, true);
      now += 0.2, received += static_cast<std::int64_t>(rate * 0.2e6);
      count.sample(now, received, true, true);
      limits.push_back(count.limit());
      count.sample(now, received, true, true);
    }
    EXPECT_EQ(limits, c.limits) << c.what;
  }
}

}  // namespace
}  // namespace velmora
