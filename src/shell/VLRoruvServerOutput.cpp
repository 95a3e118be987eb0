#include "shell/VLRoruvServerOutput.h"

#include <cassert>
#include <chrono>
#include <cmath>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/URL.h"
#include "shell/VLLogRequests.h"
#include "shell/VLLoggerPlugin.h"
#include "shell/VLNetworkEvents.h"

using platform::Error;
using platform::Value;

namespace {

void say(const std::string& message) { platform::log("VLRoruvServerOutput: " + message); }

std::string describe(const std::optional<Error>& error) {
  return error ? error->localizedDescription() : "(null)";
}

std::int64_t nowInMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

VLRoruvServerOutput::~VLRoruvServerOutput() {
  if (observer_) platform::NotificationCenter::defaultCenter().removeObserver(*observer_);
  std::lock_guard lock(mutex_);
  if (pingTimer_) pingTimer_->invalidate();
}

void VLRoruvServerOutput::configure(const roruv::RRVSettings& settings) {
  RRVBufferedOutput::configure(settings);
  hostname_ = roruv::settingAs<std::string>(settings, "Hostname").value_or("");
  applicationUrl_ = roruv::settingAs<std::string>(settings, "ApplicationUrl").value_or("");
  deviceInfo_ =
      roruv::settingAs<std::shared_ptr<VLDeviceInfo>>(settings, "kDeviceInfo").value_or(nullptr);
  assert(deviceInfo_ && "Missing VLDeviceInfo.");
  if (!deviceInfo_) say("Missing VLDeviceInfo.");
  if (auto shared = VLLoggerPlugin::getDeviceInfoInstance())
    deviceUUID_ = shared->getDeviceUUID().value_or("");
  setRetryCount(0);
  pingRequestRetryCount_ = 0;

  auto& center = platform::NotificationCenter::defaultCenter();
  if (observer_) center.removeObserver(*observer_);
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  observer_ = center.addObserver(this, VLNetworkChangedNotification, nullptr,
                                 [weak](const platform::Notification& notification) {
                                   if (auto self = std::static_pointer_cast<VLRoruvServerOutput>(
                                           weak.lock()))
                                     self->networkDidChanged(notification.object);
                                 });
}

double VLRoruvServerOutput::calculateRetryTime(std::int64_t count) const {
  const auto exponent = static_cast<int>(
      std::clamp<std::int64_t>(count, 0, kLongestDelayExponent));
  return std::pow(1.5, exponent) + flushInterval();
}

std::string VLRoruvServerOutput::getRestAPIUrl(const std::string& hostname,
                                               const std::string& applicationUrl,
                                               std::int64_t clientTimeInMillis) {
  return "https://" + hostname + "/" + applicationUrl +
         "/moduleservices/log?clientTimeInMillis=" + std::to_string(clientTimeInMillis);
}

Value VLRoruvServerOutput::getBufferLogsFromOutputChunk(const roruv::RRVChunk& chunk) {
  Value records = Value::array();
  for (const auto& log : chunk.logs())
    if (log) records.push_back(log->userInfo());
  return records;
}

void VLRoruvServerOutput::setConnectivityCheck(std::function<bool()> check) {
  std::lock_guard lock(mutex_);
  connectivityCheck_ = std::move(check);
}

bool VLRoruvServerOutput::isConnected() {
  std::function<bool()> check;
  {
    std::lock_guard lock(mutex_);
    check = connectivityCheck_;
  }
  if (check) return check();
  return !deviceInfo_ || deviceInfo_->isConnected();
}

std::shared_ptr<platform::URLSession> VLRoruvServerOutput::urlSession() {
  std::lock_guard lock(mutex_);
  if (!urlSession_) urlSession_ = VLLogRequests::makeSession();
  return urlSession_;
}

void VLRoruvServerOutput::onMain(void (VLRoruvServerOutput::*work)()) {
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  platform::MainLoop::post([weak, work] {
    if (auto self = std::static_pointer_cast<VLRoruvServerOutput>(weak.lock())) ((*self).*work)();
  });
}

void VLRoruvServerOutput::setUpTimer() {
  // While the limit holds the ping loop owns the schedule; it resumes sending itself.
  if (reachedRetryLimit()) return;
  const std::int64_t failures = retryCount();
  const double delay = calculateRetryTime(failures);
  if (failures >= 1) say(platform::stringf("Retrying send logs in %f seconds", delay));
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  setTimer(scheduler()->schedule(delay, [weak] {
    if (auto self = weak.lock()) std::static_pointer_cast<VLRoruvServerOutput>(self)->tick();
  }));
}

void VLRoruvServerOutput::callWriteChunk(const std::shared_ptr<roruv::RRVChunk>& chunk) {
  if (reachedRetryLimit()) {
    returnChunk(*chunk);
    return;
  }
  RRVBufferedOutput::callWriteChunk(chunk);
}

void VLRoruvServerOutput::writeChunk(const std::shared_ptr<roruv::RRVChunk>& chunk,
                                     Completion completion) {
  if (!isConnected()) {
    completion(false);
    return;
  }
  auto url = platform::URL::parse(getRestAPIUrl(hostname_, applicationUrl_, nowInMillis()));
  if (!url) {
    say("Failed sending logs to Vantorel API with Status Code: 0 | Error: the log URL is not valid");
    completion(false);
    return;
  }
  platform::URLRequest request(*url);
  request.setHTTPMethod("POST");
  request.setValue("application/json", "Content-Type");
  request.setValue("application/json", "Accept");
  // The session adds the shared store's cookies for this URL and no others.
  if (!deviceUUID_.empty() && !request.setValue(deviceUUID_, "veltro-device-uuid"))
    say("The device UUID cannot be sent as a header field; the session's value goes instead.");
  request.setHTTPBody(platform::jsonText(getBufferLogsFromOutputChunk(*chunk)));
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  VLLogRequests::dataTask(
      urlSession(), request, VLLogRequests::kMaximumLogAnswerBytes,
      [weak, chunk, completion](const auto&, const std::optional<platform::URLResponse>& response,
                                const std::optional<Error>& error) {
        const int status = response ? response->statusCode() : 0;
        const auto outcome = VLLogRequests::outcomeOf(response, error);
        if (outcome == VLLogRequests::Outcome::Delivered) {
          if (auto self = std::static_pointer_cast<VLRoruvServerOutput>(weak.lock()))
            self->sendFailures_ = 0;
          completion(true);
          say("Logs sent with success");
          return;
        }
        say(platform::stringf(
            "Failed sending logs to Vantorel API with Status Code: %d | Error: %s", status,
            describe(error).c_str()));
        if (outcome == VLLogRequests::Outcome::Refused) {
          chunk->refuse(VLLogRequests::refusalMaySplit(status) ? roruv::RRVChunk::Refusal::Split
                                                               : roruv::RRVChunk::Refusal::Drop);
        } else if (auto self = std::static_pointer_cast<VLRoruvServerOutput>(weak.lock());
                   self && ++self->sendFailures_ >= kChunkAttemptLimit) {
          // A chunk the server keeps failing on, between pings it answers, would block every
          // later log for good.
          self->sendFailures_ = 0;
          say(platform::stringf("Giving up on %zu logs after %d failed sends in a row.",
                                chunk->logs().size(), static_cast<int>(kChunkAttemptLimit)));
          chunk->refuse(roruv::RRVChunk::Refusal::Drop);
        }
        completion(false);
      })
      ->resume();
}

void VLRoruvServerOutput::didWriteChunk(const std::shared_ptr<roruv::RRVChunk>& chunk,
                                        bool success) {
  if (success) {
    // The count drops now, when the server took the chunk: reset later, on the main loop, it
    // could wipe out a failure of the next chunk and its back-off.
    setRetryCount(0);
    logStore()->removeLogs(chunk->logs(), storageKey(), [this] {
      postNotification(roruv::RRVBufferedOutputDidSuccessWriteChunkNotification);
      std::weak_ptr<RRVOutput> weak = weak_from_this();
      platform::MainLoop::post([weak] {
        if (auto self = std::static_pointer_cast<VLRoruvServerOutput>(weak.lock()))
          self->setUpTimerIfNeeded();
      });
    });
    return;
  }
  // The failure is counted already, before the chunk could be taken up again.
  if (retryCount() >= kRetryLimit) {
    say(platform::stringf("Failed sending logs more than %d times. A ping request will be sent",
                          static_cast<int>(kRetryLimit)));
    onMain(&VLRoruvServerOutput::setUpPingTimer);
  } else {
    onMain(&VLRoruvServerOutput::setUpTimerIfNeeded);
  }
}

bool VLRoruvServerOutput::isPinging() const {
  std::lock_guard lock(mutex_);
  return pingInFlight_ || (pingTimer_ && pingTimer_->isValid());
}

void VLRoruvServerOutput::setUpPingTimer() {
  if (!reachedRetryLimit()) return;
  const std::int64_t failures = pingRequestRetryCount_;
  const double delay = calculateRetryTime(failures);
  if (failures >= 1) say(platform::stringf("Retrying send logs in %f seconds", delay));
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  auto timer = scheduler()->schedule(delay, [weak] {
    if (auto self = weak.lock()) std::static_pointer_cast<VLRoruvServerOutput>(self)->requestPing();
  });
  std::shared_ptr<roruv::RRVScheduler::Timer> replaced;
  {
    std::lock_guard lock(mutex_);
    replaced = std::exchange(pingTimer_, std::move(timer));
  }
  if (replaced) replaced->invalidate();
}

void VLRoruvServerOutput::stopPinging() {
  std::shared_ptr<roruv::RRVScheduler::Timer> timer;
  {
    std::lock_guard lock(mutex_);
    timer = std::move(pingTimer_);
  }
  if (timer) timer->invalidate();
}

void VLRoruvServerOutput::requestPing() {
  {
    std::lock_guard lock(mutex_);
    // One ping at a time: the answer of the one in flight decides what comes next.
    if (pingInFlight_) return;
    pingInFlight_ = true;
    pingTimer_.reset();
  }
  auto url = platform::URL::parse("https://" + hostname_ + "/" + applicationUrl_ +
                                  "/moduleservices/ping");
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  auto answered = [weak](int status, const std::optional<Error>& error) {
    auto self = std::static_pointer_cast<VLRoruvServerOutput>(weak.lock());
    if (!self) return;
    {
      std::lock_guard lock(self->mutex_);
      self->pingInFlight_ = false;
    }
    if (!error && status == 200) {
      say("Ping sent with success");
      self->setRetryCount(0);
      self->pingRequestRetryCount_ = 0;
      self->onMain(&VLRoruvServerOutput::setUpTimerIfNeeded);
      return;
    }
    say(platform::stringf("Failed requesting ping with Status Code: %d | Error: %s", status,
                          describe(error).c_str()));
    ++self->pingRequestRetryCount_;
    self->onMain(&VLRoruvServerOutput::setUpPingTimer);
  };
  if (!url) {
    answered(0, Error::make(platform::kURLErrorDomain, -1000, "The ping URL is not valid."));
    return;
  }
  platform::URLRequest request(*url);
  request.setHTTPMethod("GET");
  VLLogRequests::dataTask(urlSession(), request, VLLogRequests::kMaximumLogAnswerBytes,
                          [answered](const auto&, const std::optional<platform::URLResponse>& r,
                                     const std::optional<Error>& error) {
                            const bool delivered = VLLogRequests::outcomeOf(r, error) ==
                                                   VLLogRequests::Outcome::Delivered;
                            answered(r ? r->statusCode() : 0,
                                     delivered ? std::nullopt : error);
                          })
      ->resume();
}

void VLRoruvServerOutput::networkDidChanged(const Value& networkState) {
  if (!networkState.is_object()) return;
  auto status = networkState.find(VLNetworkStatusKey);
  if (status == networkState.end() || !status->is_string()) return;
  if (*status == VLNetworkOnline) {
    // Back online: no reason to wait out a back-off earned while there was no network.
    setRetryCount(0);
    pingRequestRetryCount_ = 0;
    stopPinging();
    start();
    tick();
  } else if (*status == VLNetworkOffline) {
    say("The device is offline; the logs wait for the network.");
  }
}

void VLRoruvServerOutput::truncateBufferedLogs() {
  try {
    capBuffer(kBufferCap);
  } catch (const std::exception& e) {
    say(std::string("Error on handling with log buffer: ") + e.what());
  }
}
