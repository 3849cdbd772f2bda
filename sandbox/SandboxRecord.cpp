#include "sandbox/SandboxRecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "lib/json/clsJSONDocument.h"
#include "sandbox/SandboxClock.h"

namespace {

// The credentials stay out of the record: only the scheme is kept.
std::string MaskedAuthorization(const std::string& header) {
  if (header.empty()) return header;
  const size_t blank = header.find(' ');
  return (blank == std::string::npos ? std::string() : header.substr(0, blank + 1)) + "***";
}

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool TSandboxRecord::Open(const std::string& file, std::string& error) {
  if (file.empty()) return true;
  // The record holds the customers' mobile numbers: the owner's only, never through a link,
  // never a file another user made for the service to fill.
  std::string why;
  FFile = OpenOwnFile(AT_FDCWD, file, O_WRONLY | O_CREAT | O_APPEND, 0600, why);
  if (!FFile) {
    error = "cannot use the record file " + file + ": " + why;
    return false;
  }
  return true;
}

void TSandboxRecord::Write(const std::string& operation, const TSandboxRequest& request,
                           const TSandboxReply& reply, const std::string& reference) {
  if (!FFile) return;
  TJSONValue line = NewObjectDocument(
      {"Time", UtcNow(), "Operation", operation, "Method", request.Method, "Path", request.Path,
       "ContentType", request.ContentType, "Authorization",
       MaskedAuthorization(request.Authorization), "BodyLength",
       static_cast<int64_t>(request.Body.size()), "Body", request.Body, "Status", reply.Status});
  // The redemption a redeem or reverse acted on, as the service knows it, whatever was sent.
  if (!reference.empty()) line.Set("Reference", reference);
  // The status is what the service decided; whether the till could read it is noted apart.
  if (reply.Delivery == TSandboxDelivery::Lost) line.Set("Answer", "lost");
  if (reply.Delivery == TSandboxDelivery::Reset) line.Set("Answer", "reset");
  WriteAll(FFile.Get(), line.ToJSON() + "\n");
}
