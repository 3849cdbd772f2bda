// The sandbox's TLS identity: a self-signed leaf certificate (no CA) for localhost and 127.0.0.1
// only, made once in the data folder and reused on later starts, so a till can trust it with
// --ca-file.
#pragma once

#include <string>

struct TSandboxCertificate {
  std::string CertFile;  // DIR/cert.pem
  std::string KeyFile;   // DIR/key.pem
  std::string Replaced;  // why an existing pair was not reused; empty when none was replaced
};

// Uses DIR/cert.pem and DIR/key.pem when both exist and are of that kind (matching, unexpired,
// no CA, for those two names only); otherwise generates a new key and
// certificate and writes them there (the key readable by the owner only). False with a message
// naming the file or step that failed.
bool EnsureSandboxCertificate(const std::string& dir, TSandboxCertificate& out, std::string& error);
