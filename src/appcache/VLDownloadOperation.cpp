#include "appcache/VLDownloadOperation.h"

#include "appcache/VLCacheLog.h"
#include "platform/foundation/JSONText.h"

std::shared_ptr<VLDownloadOperation> VLDownloadOperation::initWithSession(
    std::shared_ptr<platform::URLSession> session, platform::URL url, platform::HTTPHeaders headers,
    CompletionHandler completionHandler) {
  return std::make_shared<VLDownloadOperation>(std::move(session), std::move(url),
                                               std::move(headers), std::move(completionHandler));
}

VLDownloadOperation::VLDownloadOperation(std::shared_ptr<platform::URLSession> session,
                                         platform::URL url, platform::HTTPHeaders headers,
                                         CompletionHandler completionHandler)
    : session_(std::move(session)),
      url_(std::move(url)),
      headers_(std::move(headers)),
      completionHandler_(std::move(completionHandler)) {}

VLDownloadOperation::State VLDownloadOperation::state() const {
  if (isFinished()) return Finished;
  return isExecuting() ? Executing : Ready;
}

VLDownloadOperation::CompletionHandler VLDownloadOperation::completionHandler() const {
  std::lock_guard lock(mutex_);
  return completionHandler_;
}

void VLDownloadOperation::setCompletionHandler(CompletionHandler handler) {
  std::lock_guard lock(mutex_);
  completionHandler_ = std::move(handler);
}

void VLDownloadOperation::setDestinationFile(std::string path) {
  std::lock_guard lock(mutex_);
  destinationFile_ = std::move(path);
}

std::shared_ptr<platform::URLSessionDownloadTask> VLDownloadOperation::downloadTask() const {
  std::lock_guard lock(mutex_);
  return downloadTask_;
}

void VLDownloadOperation::main() {
  if (!session_) return finish();
  // The session's configuration gives the time-outs; the request sets none of its own.
  platform::URLRequest request(url_);
  for (const auto& [name, value] : headers_) {
    // A value with a line break (a version token from a page) would split the header block.
    if (!request.addValue(value, name))
      vlcache::logError("Refused request header " + platform::jsonText(name) + ": " +
                        platform::jsonText(value) + " is not a valid header value");
  }
  request.setProperty(kVLHarborLoaderURLProtocolHandledKey, true);

  // The task keeps the operation until its completion has run (the session lets the
  // completion go then), so a cancellation error still reaches the handler after the queue
  // has dropped an operation cancelled while it was starting.
  auto self = std::static_pointer_cast<VLDownloadOperation>(shared_from_this());
  std::shared_ptr<platform::URLSessionDownloadTask> task;
  {
    // Taken together with cancel(): either the cancellation is seen here, or the task is
    // stored before cancel() looks for it.
    std::lock_guard lock(mutex_);
    if (isCancelled()) return;
    task = session_->downloadTaskWithRequest(
        request, [self](const std::optional<std::string>& location,
                        const std::optional<platform::URLResponse>& response,
                        const std::optional<platform::Error>& error) {
          if (auto handler = self->completionHandler()) handler(location, response, error);
          self->finish();
        });
    if (!destinationFile_.empty()) task->setDestinationFile(destinationFile_);
    downloadTask_ = task;
  }
  task->resume();
}

void VLDownloadOperation::cancel() {
  platform::Operation::cancel();
  std::shared_ptr<platform::URLSessionDownloadTask> task;
  {
    std::lock_guard lock(mutex_);
    task = downloadTask_;
  }
  if (task) task->cancel();
}
