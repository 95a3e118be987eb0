#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/foundation/OperationQueue.h"
#include "platform/foundation/URL.h"
#include "platform/net/HTTPHeaders.h"
#include "platform/net/URLSession.h"

// The request property by which the loader URL protocol recognises a request it must not
// answer itself. Every download of the cache carries it, so a cache download always goes to
// the server and is never answered from the old cache or the package.
inline constexpr const char* kVLHarborLoaderURLProtocolHandledKey =
    "VLHarborLoaderURLProtocolHandledKey";

// One download task of a URL session as an operation, so a cache frame can bound how many run
// at once and cancel them together. The operation is finished when the task's completion has
// run. One cancelled before it starts finishes at once without calling its completion; one
// cancelled while downloading hands the cancellation error (-999) to its completion first.
class VLDownloadOperation : public platform::Operation {
 public:
  using CompletionHandler = platform::URLSessionDownloadCompletion;
  enum State : std::int64_t { Ready = 0, Executing = 1, Finished = 2 };

  static std::shared_ptr<VLDownloadOperation> initWithSession(
      std::shared_ptr<platform::URLSession> session, platform::URL url,
      platform::HTTPHeaders headers, CompletionHandler completionHandler);

  bool isAsynchronous() const override { return true; }
  void cancel() override;
  State state() const;

  CompletionHandler completionHandler() const;
  void setCompletionHandler(CompletionHandler handler);
  // Where the task writes the body, set before the operation starts (see
  // URLSessionDownloadTask::setDestinationFile); none: the session's temporary file.
  void setDestinationFile(std::string path);
  std::shared_ptr<platform::URLSessionDownloadTask> downloadTask() const;

  VLDownloadOperation(std::shared_ptr<platform::URLSession> session, platform::URL url,
                      platform::HTTPHeaders headers, CompletionHandler completionHandler);

 protected:
  void main() override;

 private:
  const std::shared_ptr<platform::URLSession> session_;
  const platform::URL url_;
  const platform::HTTPHeaders headers_;

  mutable std::mutex mutex_;
  CompletionHandler completionHandler_;
  std::string destinationFile_;
  std::shared_ptr<platform::URLSessionDownloadTask> downloadTask_;
};
