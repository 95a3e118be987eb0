#pragma once

#include <string>

#include "support/TestSupport.h"

namespace testing_support {

// A throw-away certificate authority and a server certificate it signed, valid for
// "localhost" and 127.0.0.1, made with OpenSSL when first asked for and written as PEM files
// into a private folder that goes away with the process. Nothing here is trusted until a test
// hands `caCertificateFile()` to the platform.
class TestCertificateAuthority {
 public:
  // The one authority of this process.
  static const TestCertificateAuthority& shared();

  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

  const std::string& caCertificateFile() const { return caCertificateFile_; }
  const std::string& serverCertificateFile() const { return serverCertificateFile_; }
  const std::string& serverKeyFile() const { return serverKeyFile_; }
  // Signed by the same authority for the same key, but naming only "other-host.test".
  const std::string& otherHostCertificateFile() const { return otherHostCertificateFile_; }

 private:
  TestCertificateAuthority();

  TempDir folder_;
  std::string caCertificateFile_;
  std::string serverCertificateFile_;
  std::string serverKeyFile_;
  std::string otherHostCertificateFile_;
};

}  // namespace testing_support
