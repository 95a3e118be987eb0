#include "plugins/file/HBRFileSystem.h"

#include <cerrno>

#include "platform/foundation/FileManager.h"

long HBRPlatformFileErrorForErrno(int errnoValue, bool reading) {
  switch (errnoValue) {
    case ENOENT:
    case ENOTDIR:
      return reading ? kFileReadNoSuchFile : kFileNoSuchFile;
    case EACCES:
    case EPERM:
    case EROFS:
      return kFileWriteNoPermission;
    case ENOSPC:
    case EDQUOT:
      return kFileWriteOutOfSpace;
    case EFBIG:
    case EOVERFLOW:
      return kFileReadTooLarge;
    default:
      return reading ? kFileReadUnknown : kFileWriteUnknown;
  }
}

long HBRPlatformFileErrorFor(const platform::Error& error, bool reading) {
  if (error.domain == platform::kPOSIXErrorDomain) return HBRPlatformFileErrorForErrno(int(error.code), reading);
  if (error.domain == platform::kCocoaErrorDomain) return error.code;
  return reading ? kFileReadUnknown : kFileWriteUnknown;
}

HBRResultRef HBRFileErrorResult(HBRFileErrorCode code, HBRResultStatus status) {
  return HBRPluginResult::resultWithStatusAsInt(status, code);
}

HBRResultRef HBRFileSystem::writeAtPosition(const HBRFilesystemURL& url, std::string_view data, std::uint64_t position) {
  auto cut = truncateFileAtURL(url, position);
  if (cut && cut->status() != HBRResultStatus::OK && cut->message() != platform::Value(int(NOT_FOUND_ERR))) return cut;
  return writeToFileAtURL(url, data, true);
}
