#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace platform {

// A body that arrives in pieces (an answer of a server) on its way from the one who makes it to
// the one who reads it, on any threads. What lies between them is bounded: a maker that finds
// `capacity` bytes unread is told so (Push::Full), keeps its piece and waits for the room
// callback, which comes once the reader has taken half of what was waiting. So a slow reader
// slows the maker down instead of filling memory. A reader that stops (the page went away)
// cancels the stream: the maker is told through its cancel callback and every later piece is
// refused.
//
// Callbacks are called without the stream's lock held, on the thread whose call made them due;
// each is set once, before the stream is handed on.
class BodyStream {
 public:
  static constexpr std::size_t kDefaultCapacity = 1024 * 1024;

  explicit BodyStream(std::size_t capacity = kDefaultCapacity) : capacity_(capacity == 0 ? 1 : capacity) {}
  BodyStream(const BodyStream&) = delete;
  BodyStream& operator=(const BodyStream&) = delete;

  // ---- The maker's side ----
  enum class Push {
    Taken,   // the piece is the stream's
    Full,    // nothing taken: push it again after the room callback
    Closed,  // nothing taken, and nothing ever will be: the reader stopped or the stream ended
  };
  // Takes `data` when fewer than `capacity` bytes wait unread (one piece may pass the capacity:
  // the maker's pieces are small). `force` takes it whatever waits, for a maker that already
  // holds its whole body in memory and has no way to wait.
  Push push(std::string_view data, bool force = false);
  Push push(std::string&& data, bool force = false);
  // The end of the body; a stream that ended or was cancelled stays as it is.
  void finish();
  void fail(Error error);
  // Called once the reader has made room after a push answered Full.
  void setRoomCallback(std::function<void()> callback);
  // Called once when the reader cancels (not when the stream ends).
  void setCancelCallback(std::function<void()> callback);
  // Only bytes [skip, skip + limit) of what the maker pushes reach the reader: the part of a
  // whole answer that a byte range asked for. The stream ends once the last of them is in.
  // Set before the first push.
  void setWindow(std::uint64_t skip, std::uint64_t limit);

  // ---- The reader's side ----
  enum class Read {
    Data,     // `into` holds bytes
    Waiting,  // nothing yet: the readable callback comes when there is
    Ended,    // the whole body was read
    Failed,   // the maker failed; `error()` says why
  };
  // Moves up to `max` bytes into `into`, without waiting.
  Read read(char* into, std::size_t max, std::size_t& got);
  // The same, waiting up to `timeout` for something to read (Waiting: the time ran out).
  Read readWaiting(char* into, std::size_t max, std::size_t& got, std::chrono::milliseconds timeout);
  // Called once, after a read answered Waiting, when there is something to read or the end.
  void setReadableCallback(std::function<void()> callback);
  // When the whole body has arrived (the stream finished) and none of it was read yet: moves
  // it into `into` and answers true. A small body is then handled as one piece.
  bool takeWholeIfFinished(std::string& into);
  // The reader stops: what waits is dropped and the maker is told.
  void cancel();

  std::optional<Error> error() const;
  bool isCancelled() const;
  // Bytes pushed and not yet read, and the most there ever were (for tests and benchmarks).
  std::size_t buffered() const;
  std::size_t peakBuffered() const;
  std::size_t capacity() const { return capacity_; }

 private:
  enum class State { Open, Finished, Failed, Cancelled };
  // With the lock held: takes what of `data` lies in the window; true when the window is full.
  bool takeLocked(std::string_view data, std::string* owned);
  // Releases the lock, then calls what became due.
  void notifyReader(std::unique_lock<std::mutex>& lock);

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> pieces_;
  std::size_t front_ = 0;  // bytes of pieces_.front() already read
  std::size_t buffered_ = 0;
  std::size_t peak_ = 0;
  State state_ = State::Open;
  std::optional<Error> error_;
  bool readAny_ = false;
  bool makerWaits_ = false;
  bool readerWaits_ = false;
  std::uint64_t skip_ = 0;
  std::optional<std::uint64_t> limit_;
  std::function<void()> onRoom_;
  std::function<void()> onCancel_;
  std::function<void()> onReadable_;
};

}  // namespace platform
