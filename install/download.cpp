#include "install/download.h"

#include <curl/curl.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "build_config.h"
#include "install/layout.h"
#include "install/progress.h"
#include "launcher/text.h"
#include "platform/platform.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

size_t writeToStream(char* data, size_t size, size_t count, void* userData) {
  auto& out = *static_cast<std::ostream*>(userData);
  const size_t bytes = size * count;
  out.write(data, static_cast<std::streamsize>(bytes));
  return out.rdstate() == std::ios::goodbit ? bytes : 0;
}

std::string caBundle() {
  const auto fromEnvironment = platform::environment("YRT_CA_BUNDLE");
  if (fromEnvironment && !fromEnvironment->empty()) return *fromEnvironment;
  const fs::path local = installRoot() / "ca-bundle.pem";
  return fs::exists(local) ? utf8(local) : std::string();
}

int reportProgress(void* progress, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  static_cast<Progress*>(progress)->update(now, total);
  return 0;
}

}  // namespace

void download(const std::string& url, std::ostream& out, const std::string& progressLabel) {
  const std::string bundle = caBundle();
  CurlHandle curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) throw std::runtime_error("curl_easy_init failed");
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeToStream);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<std::ostream*>(&out));
  if (!bundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, bundle.c_str());
  // Archives become running code: never let a redirect drop TLS.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  // A slow transfer may take as long as it needs; one that stops does not hang.
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);

  Progress progress(progressLabel);
  if (progress.enabled()) {
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &reportProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &progress);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  }

  const CURLcode result = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl.reset();
  progress.finish();
  if (result != CURLE_OK) {
    const std::string message = "download of " + url + " failed: " + curl_easy_strerror(result);
    if (result == CURLE_HTTP_RETURNED_ERROR && status == 404) throw DownloadNotFound(message);
    throw std::runtime_error(message);
  }
}

}  // namespace velmora
