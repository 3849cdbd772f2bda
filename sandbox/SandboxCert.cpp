#include "SandboxCert.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

struct TPKeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct TX509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};
struct TExtDeleter {
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
struct TFileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using TPKey = std::unique_ptr<EVP_PKEY, TPKeyDeleter>;
using TX509 = std::unique_ptr<X509, TX509Deleter>;
using TExt = std::unique_ptr<X509_EXTENSION, TExtDeleter>;
using TFile = std::unique_ptr<FILE, TFileCloser>;

std::string OpenSSLError(const char* step) {
  std::string text = step;
  const unsigned long code = ERR_get_error();
  if (code) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  ERR_clear_error();
  return text;
}

bool AddExtension(X509* cert, int nid, const char* value, std::string& error) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  TExt ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  if (!ext || !X509_add_ext(cert, ext.get(), -1)) {
    error = OpenSSLError((std::string("adding certificate extension ") + value).c_str());
    return false;
  }
  return true;
}

bool Generate(const std::string& certFile, const std::string& keyFile, std::string& error) {
  TPKey key(EVP_EC_gen("P-256"));
  if (!key) {
    error = OpenSSLError("generating the P-256 key");
    return false;
  }
  TX509 cert(X509_new());
  if (!cert) {
    error = OpenSSLError("creating the certificate");
    return false;
  }
  X509_set_version(cert.get(), 2);
  // A serial from the clock keeps a regenerated certificate distinguishable from an old one.
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 825);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Dovra sandbox"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  // Self-signed and used as its own trust anchor: it must be a CA as well as a server.
  if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE", error) ||
      !AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign", error) ||
      !AddExtension(cert.get(), NID_ext_key_usage, "serverAuth", error) ||
      !AddExtension(cert.get(), NID_subject_key_identifier, "hash", error) ||
      !AddExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1", error))
    return false;
  if (!X509_sign(cert.get(), key.get(), EVP_sha256())) {
    error = OpenSSLError("signing the certificate");
    return false;
  }

  const std::string keyTemp = keyFile + ".tmp";
  const std::string certTemp = certFile + ".tmp";
  {
    const mode_t old = umask(077);
    TFile f(std::fopen(keyTemp.c_str(), "wb"));
    umask(old);
    if (!f || !PEM_write_PrivateKey(f.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
      error = OpenSSLError(("writing the key file " + keyTemp).c_str());
      return false;
    }
  }
  {
    TFile f(std::fopen(certTemp.c_str(), "wb"));
    if (!f || !PEM_write_X509(f.get(), cert.get())) {
      error = OpenSSLError(("writing the certificate file " + certTemp).c_str());
      return false;
    }
  }
  // Renamed into place only when both are complete, so a crash never leaves half a pair.
  std::error_code ec;
  std::filesystem::rename(keyTemp, keyFile, ec);
  if (!ec) std::filesystem::rename(certTemp, certFile, ec);
  if (ec) {
    error = "could not move the new certificate into " + certFile + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

bool EnsureSandboxCertificate(const std::string& dir, TSandboxCertificate& out,
                              std::string& error) {
  namespace fs = std::filesystem;
  out.CertFile = (fs::path(dir) / "cert.pem").string();
  out.KeyFile = (fs::path(dir) / "key.pem").string();
  std::error_code ec;
  if (fs::exists(out.CertFile, ec) && fs::exists(out.KeyFile, ec)) return true;
  return Generate(out.CertFile, out.KeyFile, error);
}
