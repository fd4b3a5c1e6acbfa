#pragma once

#include <ostream>
#include <stdexcept>
#include <string>

namespace velmora {

// The download error when the host answers 404: the file is not there.
class DownloadNotFound : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Fetches `url` into `out` over HTTPS (redirects only to https), trusting
// YRT_CA_BUNDLE, else the install root's "ca-bundle.pem", else the library's
// default store. Throws "download of <url> failed: <reason>" on any transfer
// failure, an HTTP status of 400 or more (DownloadNotFound for 404), a stall,
// or a stream that stops accepting bytes. Bytes received before a failure stay in `out`.
// A non-empty `progressLabel` shows a live line on a terminal's standard error.
void download(const std::string& url, std::ostream& out, const std::string& progressLabel = {});

}  // namespace velmora
