#include "install/transfer/download.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

#include "base/text.h"
#include "build_config.h"
#include "install/layout.h"
#include "install/transfer/progress.h"
#include "install/transfer/proxy.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Where each connection gets only part of the line, only all ten packages at
// once fill it (bench/run.py, network profile: 4 at once 12.6 s, 6 8.6 s, 8
// 8.5 s, 10 4.9 s for 300 MB).
constexpr std::size_t kParallelTransfers = kParallelTransferCount;
// How many run at first, and how the count grows (TransferCount; bench/run.py: see README).
constexpr std::size_t kFirstTransfers = 4;
constexpr double kGrowInterval = 0.15;  // seconds
constexpr double kGain = 0.1;
// A transfer smaller than this costs a round trip rather than a share of the
// line: it runs whenever the bound allows.
constexpr std::int64_t kSmallTransfer = 256 * 1024;
constexpr int kAttempts = 3;
// libcurl reads the body of a redirect, however long, to keep its connection;
// nothing the host means to say there needs more.
constexpr curl_off_t kMaxRedirectBody = 64 * 1024;
// The pause before the second and the third attempt.
constexpr milliseconds kRetryDelays[] = {milliseconds(kRetryDelayMs),
                                         milliseconds(4 * kRetryDelayMs)};

using MultiHandle = std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)>;
using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

// One for the process, so every request of a start shares its connection cache.
CURLM* sharedMulti() {
  static const MultiHandle multi = [] {
    MultiHandle m(curl_multi_init(), &curl_multi_cleanup);
    if (!m) throw std::runtime_error("curl_multi_init failed");
    curl_multi_setopt(m.get(), CURLMOPT_MAX_HOST_CONNECTIONS,
                      static_cast<long>(kParallelTransfers));
    return m;
  }();
  return multi.get();
}

std::string caBundle() {
  const auto fromEnvironment = platform::environment("YRT_CA_BUNDLE");
  if (fromEnvironment && !fromEnvironment->empty()) return *fromEnvironment;
  const fs::path local = installRoot() / "ca-bundle.pem";
  return fs::exists(local) ? utf8(local) : std::string();
}

constexpr char kHeaderTooLarge[] = "the host sent a response header too large to read";

// libcurl refuses a header line of more than 100 KiB: 7.88 (Debian 12's) with its
// out-of-memory code and no detail, so only where it failed tells it apart;
// 8.6 and later with a code of its own.
bool headerTooLarge(CURLcode result, bool headerEnded) {
#if LIBCURL_VERSION_NUM >= 0x080600
  if (result == CURLE_TOO_LARGE) return true;
#endif
  return result == CURLE_OUT_OF_MEMORY && !headerEnded;
}

bool mayPass(CURLcode result, long status) {
  switch (result) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return true;
    case CURLE_HTTP_RETURNED_ERROR:
      return status == 408 || status == 429 || status >= 500;
    default:
      return false;
  }
}

// The system's proxy for a URL's host, which overrides the environment (a
// direct connection included). Asked once per host: finding a script or
// detecting one can take a while.
std::optional<std::string> proxyFor(const std::string& url) {
  static std::map<std::string, std::optional<std::string>> known;
  const auto hostEnd = url.find('/', url.find("://") + 3);
  const std::string origin = url.substr(0, hostEnd);
  const auto at = known.find(origin);
  if (at != known.end()) return at->second;
  std::optional<std::string> proxy;
  if (const auto system = platform::systemProxy(url))
    proxy = proxyForUrl(url, system->proxies, system->bypass);
  known.emplace(origin, proxy);
  return proxy;
}

// "bytes <first>-<last>/<length>", all plain decimal.
struct Range {
  std::int64_t first, last, length;
};

std::optional<Range> parseRange(const std::string& value) {
  Range range{};
  std::int64_t* fields[] = {&range.first, &range.last, &range.length};
  const char separators[] = "-/";
  std::size_t at = value.find_first_not_of(" \t");
  if (at == std::string::npos || value.compare(at, 6, "bytes ") != 0) return std::nullopt;
  at += 6;
  for (int i = 0; i < 3; ++i) {
    const std::size_t start = at;
    std::int64_t number = 0;
    for (; at < value.size() && isAsciiDigit(static_cast<unsigned char>(value[at])); ++at) {
      if (number > (INT64_MAX - 9) / 10) return std::nullopt;
      number = number * 10 + (value[at] - '0');
    }
    if (at == start) return std::nullopt;
    *fields[i] = number;
    if (i < 2 && (at >= value.size() || value[at++] != separators[i])) return std::nullopt;
  }
  if (value.find_first_not_of(" \t\r\n", at) != std::string::npos) return std::nullopt;
  return range;
}

// One transfer and its attempts. Owns its easy handle and takes it out of the
// multi handle when it goes.
struct Job {
  const Transfer* transfer = nullptr;
  std::size_t index = 0;
  std::int64_t* received = nullptr;  // the run's count of body bytes
  bool bulk = true;                  // counts against the number that pays
  CurlHandle easy{nullptr, &curl_easy_cleanup};
  bool added = false;
  int attempts = 0;
  std::optional<Clock::time_point> retryAt;
  // Per attempt: where the body was asked to start, and what the host said.
  std::int64_t offset = 0;
  bool bodyStarted = false;
  long status = 0;  // of the response being read, a redirect's too
  std::optional<Range> range;
  std::int64_t total = -1;  // the whole body's length, as announced
  std::string sinkError;
  std::string cut;      // why the body is not whole; may pass
  std::string abandon;  // why the transfer ends alone, for the caller to make up
  // The whole body's length as an earlier attempt announced it.
  std::int64_t knownTotal = -1;
  bool headerEnded = false;  // of the response being read
  Clock::time_point began;   // of the first attempt
  std::string retries;       // why each attempt before the last failed, for the log

  Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  ~Job() { detach(); }

  void detach() {
    if (added) curl_multi_remove_handle(sharedMulti(), easy.get());
    added = false;
  }
};

size_t receiveHeader(char* data, size_t size, size_t count, void* userData) {
  auto& job = *static_cast<Job*>(userData);
  const std::string line(data, size * count);
  // Each response of a redirect chain starts over.
  if (line.compare(0, 5, "HTTP/") == 0) {
    job.range.reset();
    job.headerEnded = false;
    const auto space = line.find(' ');
    job.status = space == std::string::npos ? 0 : std::atol(line.c_str() + space);
  }
  if (line == "\r\n" || line == "\n") job.headerEnded = true;
  constexpr char kRange[] = "content-range:";
  std::string lower;
  for (char c : line.substr(0, sizeof kRange - 1))
    lower += asciiLower(static_cast<unsigned char>(c));
  if (lower == kRange) job.range = parseRange(line.substr(sizeof kRange - 1));
  return size * count;
}

// Decides, at the body's first byte (or its end, when it has none), whether
// the host resumed or starts over, and how long the whole body is.
bool beginBody(Job& job) {
  job.bodyStarted = true;
  Sink& sink = *job.transfer->sink;
  const std::optional<ByteSpan>& span = job.transfer->span;
  curl_off_t length = -1;
  curl_easy_getinfo(job.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  // Many hosts and caches answer a range with the whole file: not worth reading here.
  if (span && job.status != 206) {
    job.abandon = "the host does not answer range requests";
    return false;
  }
  if (job.status == 206) {
    // A span's bytes can still come with the whole file; anything else ends the transfer.
    std::string& fault = span ? job.abandon : job.sinkError;
    if (!job.range || job.range->first != (span ? span->first : 0) + job.offset) {
      fault = span ? "the host answered another range than asked"
                   : "the host resumed at another byte than asked";
      return false;
    }
    const Range& range = *job.range;
    if (range.last < range.first || range.last >= range.length ||
        (length >= 0 && length != range.last - range.first + 1) ||
        (span && range.last != span->last)) {
      fault = span ? "the host answered another range than asked"
                   : "the host's Content-Range does not fit its answer";
      return false;
    }
    if (job.knownTotal >= 0 && range.length != job.knownTotal) {
      // The rest of another file would splice two into one; the next attempt starts over.
      sink.restart();
      job.cut = "the file changed on the host during the transfer";
      return false;
    }
    job.knownTotal = range.length;
    job.total = span ? span->last - span->first + 1 : range.length;
    return true;
  }
  if (job.offset > 0 && length >= 0 && length < job.offset) {
    job.cut = "the host answered with " + std::to_string(length) + " bytes after sending " +
              std::to_string(job.offset);
    return false;
  }
  if (sink.size() > 0) sink.restart();
  job.total = length;
  if (job.total >= 0) job.knownTotal = job.total;
  return true;
}

// After libcurl saw the transfer end well: whether the whole body came.
void endBody(Job& job) {
  if (!job.bodyStarted && !beginBody(job)) return;
  const std::int64_t got = job.transfer->sink->size();
  if (job.total >= 0 && got < job.total)
    job.cut =
        "the host sent " + std::to_string(got) + " of " + std::to_string(job.total) + " bytes";
}

int watchProgress(void* userData, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto& job = *static_cast<Job*>(userData);
  if (job.status != 0 && (job.status < 200 || job.status >= 300) && received > kMaxRedirectBody) {
    job.sinkError = "the host's " + std::to_string(job.status) +
                    " answer has a body of more than " + std::to_string(kMaxRedirectBody) +
                    " bytes";
    return 1;
  }
  return 0;
}

size_t receiveBody(char* data, size_t size, size_t count, void* userData) {
  auto& job = *static_cast<Job*>(userData);
  const size_t bytes = size * count;
  if (!job.bodyStarted && !beginBody(job)) return 0;
  // Without a Content-Length nothing else stops a body at its announced end.
  if (job.total >= 0 && static_cast<std::uint64_t>(job.transfer->sink->size()) + bytes >
                            static_cast<std::uint64_t>(job.total)) {
    // A span's entries can still come with the whole file; other bodies start over.
    if (job.transfer->span) {
      job.abandon = "the host sent more than the range asked";
    } else {
      job.transfer->sink->restart();
      job.cut = "the host sent more than it announced";
    }
    return 0;
  }
  try {
    job.transfer->sink->write(data, bytes);
    *job.received += static_cast<std::int64_t>(bytes);
  } catch (const TransferAbandoned& e) {
    job.abandon = e.what();
    return 0;
  } catch (const std::exception& e) {
    job.sinkError = e.what();
    return 0;
  }
  return bytes;
}

void configure(Job& job, const std::string& bundle, std::optional<Clock::time_point> deadline) {
  CURL* h = job.easy.get();
  curl_easy_setopt(h, CURLOPT_URL, job.transfer->url.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  // A redirect loop never stalls: without a bound it would never end.
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &receiveBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &job);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &receiveHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &job);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &watchProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &job);
  if (!bundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, bundle.c_str());
  // Archives become running code: never let a redirect drop TLS.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  // A slow transfer may take as long as it needs; one that stops does not hang.
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);
  // Schannel fails a certificate whose revocation it cannot check (a private
  // CA without revocation data, an unreachable revocation server); a revoked
  // one is still refused. Other TLS libraries ignore the option.
  curl_easy_setopt(h, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  if (const auto proxy = proxyFor(job.transfer->url)) {
    curl_easy_setopt(h, CURLOPT_PROXY, proxy->c_str());
    if (!proxy->empty()) {
      // The user's own logon, for a proxy that asks (Negotiate or NTLM).
      curl_easy_setopt(h, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
      curl_easy_setopt(h, CURLOPT_PROXYUSERPWD, ":");
    }
  }
  if (deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(*deadline - Clock::now());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(std::max<long long>(1, left.count())));
  }
}

}  // namespace

TransferCount::TransferCount(std::size_t first, std::size_t bound)
    : bound_(bound), limit_(std::min(first, bound)), previous_(limit_), settled_(limit_ >= bound) {}

void TransferCount::sample(double now, std::int64_t received, bool ready, bool waiting) {
  if (settled_) return;
  if (!measuring_) {
    measuring_ = ready && received > 0;
    from_ = now;
    fromBytes_ = received;
    return;
  }
  if (now - from_ < kGrowInterval) return;
  const double rate = static_cast<double>(received - fromBytes_) / (now - from_);
  measuring_ = false;
  if (!waiting) return;  // nothing more would start anyway
  const bool paid = rate_ == 0 || rate > rate_ * (1 + kGain);
  if (paid) {
    rate_ = rate;
    previous_ = limit_;
    limit_ = std::min(limit_ * 2, bound_);
  } else {
    limit_ = previous_;
  }
  settled_ = !paid || limit_ == previous_;
  if (settled_) {
    char text[96];
    std::snprintf(text, sizeof text, "transfers at once: %zu, the last step %s (%.1f MB/s)", limit_,
                  paid ? "to the bound" : "back", rate / 1e6);
    platform::logLine(text);
  }
}

Downloads::Downloads(std::vector<Transfer> transfers, std::string progressLabel,
                     std::chrono::milliseconds bound)
    : transfers_(std::make_move_iterator(transfers.begin()),
                 std::make_move_iterator(transfers.end())),
      progressLabel_(std::move(progressLabel)),
      bound_(bound) {}

std::size_t Downloads::add(Transfer transfer) {
  transfers_.push_back(std::move(transfer));
  abandoned_.emplace_back();
  notFound_.push_back(false);
  return transfers_.size() - 1;
}

void Downloads::stop(std::exception_ptr error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_) stopped_ = error;
  }
  curl_multi_wakeup(sharedMulti());
}

void Downloads::run(const std::function<void(std::size_t)>& arrived) {
  CURLM* multi = sharedMulti();
  const std::string bundle = caBundle();
  const auto began = Clock::now();
  const std::optional<Clock::time_point> deadline =
      bound_.count() > 0 ? std::optional(began + bound_) : std::nullopt;
  // Declared before the jobs: each job leaves the multi handle before the line goes.
  Progress progress(progressLabel_);
  std::deque<Job> jobs;
  abandoned_.assign(transfers_.size(), {});
  notFound_.assign(transfers_.size(), false);
  std::size_t finished = 0, busy = 0, busyBulk = 0;
  std::int64_t received = 0;
  TransferCount concurrency(kFirstTransfers, kParallelTransfers);

  auto attempt = [&](Job& job) {
    if (job.attempts == 0) job.began = Clock::now();
    job.attempts++;
    job.retryAt.reset();
    job.offset = job.transfer->sink->size();
    job.bodyStarted = false;
    job.status = 0;
    job.range.reset();
    job.total = -1;
    job.sinkError.clear();
    job.cut.clear();
    job.headerEnded = false;
    const std::optional<ByteSpan>& span = job.transfer->span;
    const std::string range =
        span ? std::to_string(span->first + job.offset) + "-" + std::to_string(span->last)
             : std::to_string(job.offset) + "-";
    curl_easy_setopt(job.easy.get(), CURLOPT_RANGE,
                     span || job.offset > 0 ? range.c_str() : nullptr);
    configure(job, bundle, deadline);
    if (curl_multi_add_handle(multi, job.easy.get()) != CURLM_OK)
      throw std::runtime_error("curl_multi_add_handle failed");
    job.added = true;
  };

  // One line per transfer: what support asks first about a slow or failed start.
  auto logged = [](const Job& job, const std::string& outcome) {
    const std::optional<ByteSpan>& span = job.transfer->span;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f",
                  std::chrono::duration<double>(Clock::now() - job.began).count());
    platform::logLine(
        "transfer " + job.transfer->name +
        (span ? " bytes " + std::to_string(span->first) + "-" + std::to_string(span->last) : "") +
        ": " + outcome + "; " + std::to_string(job.attempts) + " requests, " +
        std::to_string(job.transfer->sink->size()) + " bytes, " + seconds + " s" +
        (job.retries.empty() ? "" : "; retried after: " + job.retries));
  };

  // The job's last word: retried when that may help, thrown when not.
  auto settle = [&](Job& job, CURLcode result) {
    long status = 0;
    curl_easy_getinfo(job.easy.get(), CURLINFO_RESPONSE_CODE, &status);
    job.detach();
    // A range the host says it cannot give, or a host that refuses a request
    // with a Range header (some answer 400, 403, 405 or 501): the file may still
    // come whole. A missing file, or a host that is busy or down, is no range's fault.
    if (job.transfer->span && result == CURLE_HTTP_RETURNED_ERROR &&
        (status == 416 || status == 400 || status == 403 || status == 405 || status == 501))
      job.abandon = status == 416
                        ? "the host does not answer range requests"
                        : "the host refused a range request (HTTP " + std::to_string(status) + ")";
    // Not worth asking again: the same host sends the same header. A span still
    // falls back, as its header may be a range answer's alone.
    if (headerTooLarge(result, job.headerEnded))
      (job.transfer->span ? job.abandon : job.sinkError) = kHeaderTooLarge;
    // An empty body is judged at its end: it may abandon the transfer too.
    if (result == CURLE_OK && job.abandon.empty()) endBody(job);
    const bool mayRetry = job.abandon.empty() && job.sinkError.empty() &&
                          (!job.cut.empty() || (result != CURLE_OK && mayPass(result, status)));
    const auto delay =
        job.attempts <= kAttempts - 1 ? kRetryDelays[job.attempts - 1] : milliseconds(0);
    const bool retry =
        mayRetry && job.attempts < kAttempts && (!deadline || Clock::now() + delay < *deadline);
    // A span cut short every time is one of the ranges some hosts and proxies
    // never give whole; the whole archive may still come.
    // A host that is down or refuses (5xx, 429) is not asked for more bytes.
    const bool cutShort = !job.cut.empty() || result == CURLE_PARTIAL_FILE ||
                          result == CURLE_RECV_ERROR || result == CURLE_GOT_NOTHING;
    if (mayRetry && !retry && job.transfer->span && cutShort)
      job.abandon = !job.cut.empty() ? job.cut : curl_easy_strerror(result);
    if (!job.abandon.empty()) {
      job.easy.reset();
      finished++;
      busy--;
      busyBulk -= job.bulk;
      const std::size_t index = job.index;
      abandoned_[index] = job.abandon;
      logged(job, "abandoned: " + job.abandon);
      if (arrived) arrived(index);
      return;
    }
    if (result == CURLE_OK && job.sinkError.empty() && job.cut.empty()) {
      logged(job, "complete");
      job.easy.reset();
      finished++;
      busy--;
      busyBulk -= job.bulk;
      if (arrived) arrived(job.index);
      return;
    }
    const std::string reason = !job.sinkError.empty() ? job.sinkError
                               : !job.cut.empty()     ? job.cut
                                                      : curl_easy_strerror(result);
    if (!retry) {
      const std::string message = "download of " + job.transfer->url + " failed: " + reason;
      logged(job, "failed: " + reason);
      const bool missing = result == CURLE_HTTP_RETURNED_ERROR && status == 404;
      if (job.transfer->alone) {
        const std::size_t index = job.index;
        notFound_[index] = missing;
        abandoned_[index] = message;
        job.easy.reset();
        finished++;
        busy--;
        busyBulk -= job.bulk;
        if (arrived) arrived(index);
        return;
      }
      if (missing) throw DownloadNotFound(message);
      throw std::runtime_error(message);
    }
    job.retries += (job.retries.empty() ? "" : "; ") + reason;
    progress.finish();
    std::cerr << "warning: " << job.transfer->name << ": " << reason << "; trying again"
              << std::endl;
    job.retryAt = Clock::now() + delay;
  };

  // Transfers added while one arrived get their jobs here too.
  const auto take = [&] {
    while (jobs.size() < transfers_.size()) {
      Job& job = jobs.emplace_back();
      job.index = jobs.size() - 1;
      job.transfer = &transfers_[job.index];
      job.received = &received;
      const std::optional<ByteSpan>& span = job.transfer->span;
      const std::int64_t expected = span ? span->last + 1 - span->first : job.transfer->expected;
      job.bulk = expected < 0 || expected >= kSmallTransfer;
    }
  };
  take();
  while (finished < jobs.size()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) std::rethrow_exception(stopped_);
    }
    bool ready = true, waiting = false;
    for (const Job& job : jobs) {
      ready = ready && (!job.bulk || !job.added || job.bodyStarted);
      waiting = waiting || (job.bulk && job.attempts == 0);
    }
    concurrency.sample(std::chrono::duration<double>(Clock::now() - began).count(), received, ready,
                       waiting);
    // In order; a small one goes by a bulk one held back by the count that pays.
    for (Job& job : jobs) {
      if (busy >= kParallelTransfers) break;
      if (job.attempts > 0 || (job.bulk && busyBulk >= concurrency.limit())) continue;
      job.easy.reset(curl_easy_init());
      if (!job.easy) throw std::runtime_error("curl_easy_init failed");
      attempt(job);
      busy++;
      busyBulk += job.bulk;
    }
    auto wait = milliseconds(1000);
    const auto now = Clock::now();
    for (Job& job : jobs) {
      if (!job.retryAt) continue;
      if (*job.retryAt <= now) {
        attempt(job);
      } else {
        wait = std::min(
            wait, std::chrono::duration_cast<milliseconds>(*job.retryAt - now) + milliseconds(1));
      }
    }

    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK)
      throw std::runtime_error("curl_multi_perform failed");
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      for (Job& job : jobs) {
        if (job.added && job.easy.get() == message->easy_handle) {
          settle(job, message->data.result);
          take();
          break;
        }
      }
    }
    if (progress.enabled()) {
      std::int64_t bytes = 0, total = 0;
      for (const Job& job : jobs) {
        if (!job.abandon.empty()) continue;
        const std::int64_t length = job.total >= 0 ? job.total : job.transfer->expected;
        bytes += job.transfer->sink->size();
        total = (total < 0 || length < 0) ? -1 : total + length;
      }
      progress.update(bytes, std::max<std::int64_t>(total, 0));
    }
    // One that ended may have made room for one not yet begun: that one starts at once,
    // not once the others' sockets stir (never, when none is left running).
    const bool startable =
        busy < kParallelTransfers && std::any_of(jobs.begin(), jobs.end(), [&](const Job& job) {
          return job.attempts == 0 && (!job.bulk || busyBulk < concurrency.limit());
        });
    if (finished < jobs.size() && !startable)
      curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
  }
}

void download(const std::string& url, const std::string& name, Sink& sink,
              const std::string& progressLabel, std::chrono::milliseconds bound) {
  Downloads({{url, name, &sink}}, progressLabel, bound).run();
}

}  // namespace velmora
