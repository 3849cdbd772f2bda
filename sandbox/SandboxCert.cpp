#include "sandbox/SandboxCert.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "lib/common/OwnedFile.h"

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

// The key and the certificate are made afresh for the owner alone, whatever the umask: a link or
// a leftover at the name is removed, never written through.
TFile CreateOwnFile(const std::string& path, std::string& error) {
  ::unlink(path.c_str());
  TFileHandle fd = OpenOwnFile(AT_FDCWD, path, O_WRONLY | O_CREAT | O_EXCL, 0600, error);
  if (!fd) return nullptr;
  TFile f(::fdopen(fd.Get(), "wb"));
  if (f) fd.Release();
  return f;
}

// Read only from a regular file of the owner's standing under that name, not through a link.
TFile OpenOwnForReading(const std::string& path) {
  std::string error;
  TFileHandle fd = OpenOwnFile(AT_FDCWD, path, O_RDONLY, 0600, error);
  if (!fd) return nullptr;
  TFile f(::fdopen(fd.Get(), "rb"));
  if (f) fd.Release();
  return f;
}

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
  // Self-signed and trusted as itself by the till, but no CA: whoever has the key in the data
  // folder can present it for localhost and 127.0.0.1 and sign nothing else.
  if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE", error) ||
      !AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature", error) ||
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
    std::string why;
    TFile f(CreateOwnFile(keyTemp, why));
    if (!f) {
      error = "cannot write the key file " + keyTemp + ": " + why;
      return false;
    }
    if (!PEM_write_PrivateKey(f.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
      error = OpenSSLError(("writing the key file " + keyTemp).c_str());
      return false;
    }
  }
  {
    std::string why;
    TFile f(CreateOwnFile(certTemp, why));
    if (!f) {
      error = "cannot write the certificate file " + certTemp + ": " + why;
      return false;
    }
    if (!PEM_write_X509(f.get(), cert.get())) {
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

// Why an existing pair is not the sandbox's own kind of certificate; empty when it is.
std::string UnfitReason(const std::string& certFile, const std::string& keyFile) {
  TFile certIn(OpenOwnForReading(certFile));
  TX509 cert(certIn ? PEM_read_X509(certIn.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) return "it is no PEM certificate";
  TFile keyIn(OpenOwnForReading(keyFile));
  TPKey key(keyIn ? PEM_read_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  if (!key) return "the key file holds no PEM private key";
  if (X509_check_private_key(cert.get(), key.get()) != 1) return "the key does not match it";
  if (X509_check_ca(cert.get()) != 0) return "it is a CA certificate";
  if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0) return "it has expired";
  // Exactly the two loopback names, nothing a till could be led to trust it for elsewhere.
  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr));
  bool localhost = false, loopback = false, other = false;
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    if (name->type == GEN_DNS &&
        std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                    static_cast<size_t>(ASN1_STRING_length(name->d.dNSName))) == "localhost")
      localhost = true;
    else if (name->type == GEN_IPADD && ASN1_STRING_length(name->d.iPAddress) == 4 &&
             std::memcmp(ASN1_STRING_get0_data(name->d.iPAddress), "\x7f\0\0\x01", 4) == 0)
      loopback = true;
    else
      other = true;
  }
  GENERAL_NAMES_free(names);
  if (!localhost || !loopback || other) return "it is not for localhost and 127.0.0.1 only";
  return {};
}

}  // namespace

bool EnsureSandboxCertificate(const std::string& dir, TSandboxCertificate& out,
                              std::string& error) {
  namespace fs = std::filesystem;
  out.CertFile = (fs::path(dir) / "cert.pem").string();
  out.KeyFile = (fs::path(dir) / "key.pem").string();
  std::error_code ec;
  if (fs::exists(fs::symlink_status(out.CertFile, ec)) ||
      fs::exists(fs::symlink_status(out.KeyFile, ec))) {
    out.Replaced = UnfitReason(out.CertFile, out.KeyFile);
    if (out.Replaced.empty()) return true;
  }
  return Generate(out.CertFile, out.KeyFile, error);
}
