#include "platform/foundation/BodyStream.h"

#include <algorithm>
#include <cstring>

namespace platform {

bool BodyStream::takeLocked(std::string_view data, std::string* owned) {
  // The window: bytes before it are dropped, bytes past it never come.
  if (skip_ > 0) {
    std::size_t dropped = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, data.size()));
    skip_ -= dropped;
    data.remove_prefix(dropped);
    owned = nullptr;
  }
  if (limit_) {
    if (data.size() > *limit_) {
      data = data.substr(0, static_cast<std::size_t>(*limit_));
      owned = nullptr;
    }
    *limit_ -= data.size();
  }
  if (!data.empty()) {
    if (owned)
      pieces_.push_back(std::move(*owned));
    else
      pieces_.emplace_back(data);
    buffered_ += data.size();
    peak_ = std::max(peak_, buffered_);
  }
  return limit_ && *limit_ == 0;
}

BodyStream::Push BodyStream::push(std::string_view data, bool force) {
  std::unique_lock lock(mutex_);
  if (state_ != State::Open) return Push::Closed;
  if (!force && buffered_ >= capacity_) {
    makerWaits_ = true;
    return Push::Full;
  }
  if (takeLocked(data, nullptr)) state_ = State::Finished;
  notifyReader(lock);
  return Push::Taken;
}

BodyStream::Push BodyStream::push(std::string&& data, bool force) {
  std::unique_lock lock(mutex_);
  if (state_ != State::Open) return Push::Closed;
  if (!force && buffered_ >= capacity_) {
    makerWaits_ = true;
    return Push::Full;
  }
  if (takeLocked(data, &data)) state_ = State::Finished;
  notifyReader(lock);
  return Push::Taken;
}

void BodyStream::finish() {
  std::unique_lock lock(mutex_);
  if (state_ != State::Open) return;
  // A window that was not filled is a body that ended early.
  if (limit_ && *limit_ > 0) {
    state_ = State::Failed;
    error_ = Error::make("NSURLErrorDomain", -1005, "the body ended before the range asked for");
  } else {
    state_ = State::Finished;
  }
  notifyReader(lock);
}

void BodyStream::fail(Error error) {
  std::unique_lock lock(mutex_);
  if (state_ != State::Open) return;
  state_ = State::Failed;
  error_ = std::move(error);
  notifyReader(lock);
}

void BodyStream::notifyReader(std::unique_lock<std::mutex>& lock) {
  changed_.notify_all();
  std::function<void()> call;
  if (readerWaits_ && (buffered_ > 0 || state_ != State::Open)) {
    readerWaits_ = false;
    call = onReadable_;
  }
  lock.unlock();
  if (call) call();
}

void BodyStream::setRoomCallback(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onRoom_ = std::move(callback);
}

void BodyStream::setCancelCallback(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onCancel_ = std::move(callback);
}

void BodyStream::setReadableCallback(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onReadable_ = std::move(callback);
}

void BodyStream::setWindow(std::uint64_t skip, std::uint64_t limit) {
  std::unique_lock lock(mutex_);
  // What has arrived already passes through the window as well.
  std::deque<std::string> arrived;
  arrived.swap(pieces_);
  if (!arrived.empty() && front_ > 0) arrived.front().erase(0, front_);
  front_ = 0;
  buffered_ = 0;
  skip_ = skip;
  limit_ = limit;
  bool full = limit == 0;
  for (auto& piece : arrived)
    if (!full) full = takeLocked(piece, &piece);
  if (full && state_ == State::Open) state_ = State::Finished;
  // A body that ended before the window was filled ended early.
  if (state_ == State::Finished && *limit_ > 0) {
    state_ = State::Failed;
    error_ = Error::make("NSURLErrorDomain", -1005, "the body ended before the range asked for");
  }
  notifyReader(lock);
}

BodyStream::Read BodyStream::read(char* into, std::size_t max, std::size_t& got) {
  got = 0;
  std::unique_lock lock(mutex_);
  while (got < max && !pieces_.empty()) {
    std::string& piece = pieces_.front();
    std::size_t take = std::min(max - got, piece.size() - front_);
    std::memcpy(into + got, piece.data() + front_, take);
    got += take;
    front_ += take;
    if (front_ == piece.size()) {
      pieces_.pop_front();
      front_ = 0;
    }
  }
  buffered_ -= got;
  if (got > 0) {
    readAny_ = true;
    std::function<void()> room;
    if (makerWaits_ && buffered_ <= capacity_ / 2) {
      makerWaits_ = false;
      room = onRoom_;
    }
    lock.unlock();
    if (room) room();
    return Read::Data;
  }
  if (state_ == State::Finished) return Read::Ended;
  if (state_ == State::Failed) return Read::Failed;
  if (state_ == State::Cancelled) {
    error_ = error_.value_or(Error::make("NSURLErrorDomain", -999, "cancelled"));
    return Read::Failed;
  }
  readerWaits_ = true;
  return Read::Waiting;
}

BodyStream::Read BodyStream::readWaiting(char* into, std::size_t max, std::size_t& got,
                                         std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Read result = read(into, max, got);
    if (result != Read::Waiting) return result;
    std::unique_lock lock(mutex_);
    readerWaits_ = false;
    if (!changed_.wait_until(lock, deadline, [&] { return buffered_ > 0 || state_ != State::Open; }))
      return Read::Waiting;
  }
}

bool BodyStream::takeWholeIfFinished(std::string& into) {
  std::lock_guard lock(mutex_);
  if (state_ != State::Finished || readAny_) return false;
  into.clear();
  if (pieces_.size() == 1) {
    into = std::move(pieces_.front());
  } else {
    into.reserve(buffered_);
    for (const auto& piece : pieces_) into += piece;
  }
  pieces_.clear();
  buffered_ = 0;
  return true;
}

void BodyStream::cancel() {
  std::function<void()> call;
  {
    std::lock_guard lock(mutex_);
    pieces_.clear();
    front_ = 0;
    buffered_ = 0;
    if (state_ != State::Open) return;
    state_ = State::Cancelled;
    call = std::move(onCancel_);
    onRoom_ = nullptr;
    onReadable_ = nullptr;
    changed_.notify_all();
  }
  if (call) call();
}

std::optional<Error> BodyStream::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

bool BodyStream::isCancelled() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Cancelled;
}

std::size_t BodyStream::buffered() const {
  std::lock_guard lock(mutex_);
  return buffered_;
}

std::size_t BodyStream::peakBuffered() const {
  std::lock_guard lock(mutex_);
  return peak_;
}

}  // namespace platform
