#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {

// The error of a transfer that the host answered with 404: the file is not there.
class DownloadNotFound : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Thrown by a sink (or for a transfer whose host does not answer as asked) to
// end that one transfer without failing the others: the caller gets the data
// some other way.
class TransferAbandoned : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where a transfer's body goes, chunk by chunk and in order.
class Sink {
 public:
  virtual ~Sink() = default;
  // Bytes kept so far; a retry asks the host for the rest.
  virtual std::int64_t size() const = 0;
  // Drops what was kept: the host sends the body again from its first byte.
  virtual void restart() = 0;
  // Takes the next bytes of the body. Throwing ends the transfer, without a
  // retry, with "download of <url> failed: <what()>" (TransferAbandoned: see there).
  virtual void write(const char* data, std::size_t size) = 0;
};

// Bytes `first` to `last` (inclusive) of a file.
struct ByteSpan {
  std::int64_t first, last;
};

struct Transfer {
  std::string url;
  std::string name;  // names it in retry warnings: the archive, or "version"
  Sink* sink;
  // Only these bytes of the file, in one range request; a host that answers
  // with anything else, or cuts every attempt short, abandons the transfer.
  std::optional<ByteSpan> span = std::nullopt;
  // The body's length when known before it starts, for the progress line's total.
  std::int64_t expected = -1;
  // Its last failure ends it alone, abandoned with the message it would have thrown.
  bool alone = false;
};

// How many large transfers run at once: `first` at the start, then twice as
// many (at most `bound`) after each interval whose total rate rose by more than
// a tenth over the interval before, counted from once every running transfer
// has its first byte; back to the count before once one does not, for good. A
// line that is already full gets no more connections.
class TransferCount {
 public:
  TransferCount(std::size_t first, std::size_t bound);
  std::size_t limit() const { return limit_; }
  // At `now` seconds: `received` body bytes so far, `ready` when each running
  // transfer has had its first, `waiting` when some have not started yet.
  void sample(double now, std::int64_t received, bool ready, bool waiting);

 private:
  std::size_t bound_, limit_, previous_;
  bool settled_;
  bool measuring_ = false;  // since from_, with fromBytes_ received then
  double from_ = 0;
  std::int64_t fromBytes_ = 0;
  double rate_ = 0;  // of the last interval that paid
};

// Transfers over HTTPS (redirects only to https) that share the process's one
// connection cache, trusting YRT_CA_BUNDLE, else the install root's
// "ca-bundle.pem", else the library's default store; through the proxy the
// system names for each URL.
//
// A transfer that fails for a reason that may pass (connection failures and
// resets, timeouts and stalls, bodies that end before the length the host
// announced, HTTP 408, 429 and 5xx) is tried up
// to twice more after a short pause, each time with a warning on standard
// error, going on from the bytes its sink holds when the host can resume. The
// last failure throws "download of <url> failed: <reason>" (DownloadNotFound
// for a 404); bytes received stay in the sink.
class Downloads {
 public:
  // With a non-zero `bound`, every transfer ends, retries included, within
  // that time. A non-empty `progressLabel` shows one live line for all of
  // them on a terminal's standard error.
  Downloads(std::vector<Transfer> transfers, std::string progressLabel = {},
            std::chrono::milliseconds bound = {});

  // Runs the transfers, a few at a time and started in order, and calls
  // `arrived(i)` on this thread as soon as transfer i is complete. The first
  // failure, or an error handed to stop(), ends every other transfer and is
  // thrown. An abandoned transfer ends alone and arrives too, saying why in
  // abandoned(i).
  //
  // Large transfers run as many at once as TransferCount allows, up to a fixed
  // bound; small ones whenever fewer than the bound run.
  void run(const std::function<void(std::size_t)>& arrived = {});

  // Adds a transfer to those run() runs, from within `arrived`; returns its index.
  std::size_t add(Transfer transfer);

  // Why transfer i was abandoned, or empty.
  const std::string& abandoned(std::size_t i) const { return abandoned_[i]; }
  // Whether transfer i, alone, ended because the host has no such file.
  bool notFound(std::size_t i) const { return notFound_[i]; }

  // Ends run() soon with `error` (unless it already failed); any thread.
  void stop(std::exception_ptr error);

 private:
  std::deque<Transfer> transfers_;  // a deque: jobs point at them while more are added
  std::string progressLabel_;
  std::chrono::milliseconds bound_;
  std::mutex mutex_;
  std::exception_ptr stopped_;
  std::deque<std::string> abandoned_;
  std::deque<bool> notFound_;
};

// One transfer into `sink`, as Downloads runs it.
void download(const std::string& url, const std::string& name, Sink& sink,
              const std::string& progressLabel = {}, std::chrono::milliseconds bound = {});

// Keeps the body in memory, at most `limit` bytes of it: a longer one ends the
// transfer with overflowed() set.
class TextSink : public Sink {
 public:
  explicit TextSink(std::size_t limit) : limit_(limit) {}
  const std::string& text() const { return text_; }
  bool overflowed() const { return overflowed_; }
  std::int64_t size() const override { return static_cast<std::int64_t>(text_.size()); }
  void restart() override { text_.clear(); }
  void write(const char* data, std::size_t size) override {
    if (size > limit_ - text_.size()) {
      overflowed_ = true;
      throw std::runtime_error("more than " + std::to_string(limit_) + " bytes");
    }
    text_.append(data, size);
  }

 private:
  std::size_t limit_;
  bool overflowed_ = false;
  std::string text_;
};

}  // namespace velmora
