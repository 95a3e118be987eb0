#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/DispatchQueue.h"
#include "platform/net/URLSession.h"
#include "shell/VLTagIdManager.h"

// Fetches the logging tag id from the platform server's client settings, keeps it in the
// standard user defaults across launches and lets any number of callers wait for one fetch.
// Every read and change of its state, and every handler, runs on its serial queue
// "com.Veltro.VLLogger.TagId.queue"; callers never block.
//
// The id is kept per log server (host name and application path), so that one server's id
// is never sent to another: the defaults hold a dictionary from "<host>/<path>" to the id
// under "com.Veltro.VLLogger.TagId". A plain string left there by earlier versions belongs to
// no known server and is ignored.
//
// Its messages go to the process log only: the logger would send them to the server again.
class VLOTLPTagIdManager final : public VLTagIdManager,
                                 public std::enable_shared_from_this<VLOTLPTagIdManager> {
 public:
  static constexpr const char* kErrorDomain = "VLOTLPTagIdManagerErrorDomain";
  static constexpr const char* kDefaultsKey = "com.Veltro.VLLogger.TagId";
  static constexpr const char* kQueueLabel = "com.Veltro.VLLogger.TagId.queue";

  static std::shared_ptr<VLOTLPTagIdManager> managerWithHostname(const std::string& hostname,
                                                                 const std::string& applicationUrl);
  VLOTLPTagIdManager(std::string hostname, std::string applicationUrl);

  void invalidateTagIdWithCompletionHandler(std::function<void()> completion) override;
  void getTagIdWithSuccessHandler(SuccessHandler success, FailureHandler failure) override;

  // "https://<host>/<path>/moduleservices/clientsettingsinfo".
  std::string getRestApiUrl() const;
  // The id kept for this server; on the queue only.
  std::optional<std::string> getTagIdFromUserDefaults() const;
  // Keeps `tagId` for this server; none forgets it. On the queue only.
  void storeTagIdInUserDefaults(const std::optional<std::string>& tagId);

  // The id in a client-settings answer, or the error it stands for.
  static std::optional<std::string> tagIdFromResponse(const std::optional<std::string>& data,
                                                      const std::optional<platform::URLResponse>& response,
                                                      const std::optional<platform::Error>& error,
                                                      platform::Error& failure);

 private:
  void requestTagId();
  void finishRequest(const std::optional<std::string>& tagId, const platform::Error& error);
  std::shared_ptr<platform::URLSession> urlSession();
  std::string serverKey() const { return hostname_ + "/" + applicationUrl_; }

  const std::string hostname_;
  const std::string applicationUrl_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  // On the queue only.
  bool requesting_ = false;
  std::vector<SuccessHandler> successHandlers_;
  std::vector<FailureHandler> failureHandlers_;
  std::shared_ptr<platform::URLSession> urlSession_;
};

// "Request failed with error code <status>" and the other texts of the logging errors, from
// the application's localised strings (the text itself when there is none). The status is put
// in by hand, so a translation with other conversions cannot break the message.
std::string VLLoggingLocalizedString(const std::string& text, std::optional<long> code = std::nullopt);
