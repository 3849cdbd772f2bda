// dovra-sandbox: a local voucher service on loopback over HTTPS, standing in for the outside
// service in demos and tests.
// The HTTPS support and the rest of the library's build flags come from its pkg-config entry,
// so the header matches the installed library.
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>
#include <vector>

#include "lib/version/DovraVersion.h"
#include "sandbox/SandboxCert.h"
#include "sandbox/SandboxConnection.h"
#include "sandbox/SandboxService.h"
#include "sandbox/SandboxWorkers.h"

namespace {

// The example book that travels with the program: beside it (a build folder), or under the
// prefix it is installed in (PREFIX/bin/dovra-sandbox, PREFIX/share/dovra-sandbox/). The first
// place that has it wins; none: the one beside the program, which then names the missing file.
std::string DefaultVoucherBook() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path folder = ec ? std::filesystem::path(".") : self.parent_path();
  const std::filesystem::path beside = folder / "vouchers.example.json";
  const std::filesystem::path installed =
      folder.parent_path() / "share" / "dovra-sandbox" / "vouchers.example.json";
  for (const std::filesystem::path& candidate : {beside, installed})
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate.string();
  return beside.string();
}

// dovra-sandbox book: what a data folder's service holds, for support.
int ListBook(int argc, char** argv) {
  CLI::App app{
      "Lists what a sandbox holds, for support: the vouchers of its book with their state (uses "
      "left, expiry) and every redemption made (reference, code, amount, time in UTC, reversed or "
      "not), read from the data folder of a running or stopped sandbox. Changes nothing.",
      "dovra-sandbox book"};
  TSandboxOptions options;
  bool json = false;
  app.add_option("--data", options.DataDir, "The sandbox's data folder")->required();
  app.add_option("--vouchers", options.VoucherFile,
                 "Voucher book (JSON) the sandbox serves; default: the example book "
                 "(vouchers.example.json beside the program or in PREFIX/share/dovra-sandbox)");
  app.add_flag("--json", json, "One JSON document instead of the table");
  app.set_version_flag("--version", std::string("dovra-sandbox ") + kDovraVersion,
                       "Print the version and exit");
  CLI11_PARSE(app, argc, argv);
  if (options.VoucherFile.empty()) options.VoucherFile = DefaultVoucherBook();
  TSandboxService service(options);
  std::string error;
  if (!service.OpenForListing(error)) {
    std::cerr << "dovra-sandbox book: " << error << "\n";
    return 1;
  }
  std::cout << service.Listing(json);
  return 0;
}

// Without the default's SO_REUSEPORT: a second service on a port in use must fail to start,
// not share the port with the first.
// The listening socket, kept so that its queue of waiting connections can be made longer once
// the library has begun listening (it asks for a queue of 5).
socket_t gListener = INVALID_SOCKET;

void ExclusivePortOptions(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<void*>(&yes), sizeof yes);
  // Accepted connections inherit these: the library waits with select(), which cannot watch a
  // descriptor numbered past FD_SETSIZE, and then reads without a bound; the system's own
  // time-out bounds that wait all the same.
  const timeval bound{5, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  gListener = sock;
}

// Connections served at once; an idle one holds its thread for the read time-out at most.
constexpr size_t kMostWorkers = 2048;

// Each connection is a descriptor: the soft limit (often 1024) is raised to what the system
// allows, so that idle connections cannot use up the descriptors real requests need.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

TSandboxRequest FromHttp(const httplib::Request& req) {
  TSandboxRequest request;
  request.Method = req.method;
  request.Path = req.path;
  request.ContentType = req.get_header_value("Content-Type");
  request.Authorization = req.get_header_value("Authorization");
  request.Body = req.body;
  return request;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "book") return ListBook(argc - 1, argv + 1);
  CLI::App app{"dovra-sandbox: a local voucher service on 127.0.0.1 over HTTPS"};
  int port = 0;
  TSandboxOptions options;
  std::vector<std::string> fails, htmls, garbages, delays, losts, resets, answers;
  app.add_option("--port", port, "TCP port on 127.0.0.1 (0: a free port)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--data", options.DataDir,
                 "Folder for the certificate (cert.pem, key.pem) and the book's state")
      ->required();
  app.add_option("--vouchers", options.VoucherFile,
                 "Voucher book (JSON); default: the example book (vouchers.example.json beside "
                 "the program or in PREFIX/share/dovra-sandbox)");
  app.add_option("--record", options.RecordFile,
                 "Append every request received to FILE as one JSON line");
  app.add_option("--fail", fails, "Answer OPERATION with an HTTP error: OPERATION:STATUS");
  app.add_option("--html", htmls, "Answer OPERATION[:STATUS] with an HTML page (default 200)");
  app.add_option("--garbage", garbages,
                 "Answer OPERATION[:STATUS] with bytes that are no JSON (default 200)");
  app.add_option("--delay-ms", delays,
                 "Wait before answering, after acting: N (every operation) or OPERATION:N "
                 "milliseconds");
  app.add_option("--lose-answer", losts,
                 "Act on OPERATION (a redemption is made and kept), then close the connection "
                 "without answering");
  app.add_option("--reset-answer", resets,
                 "Act on OPERATION, send the status line, headers and half the body, then reset "
                 "the connection");
  app.add_option("--answer", answers,
                 "Act on OPERATION as usual (a redemption is made and kept), then send FILE's "
                 "bytes as the body with status 200: OPERATION:FILE");
  app.set_version_flag("--version", std::string("dovra-sandbox ") + kDovraVersion,
                       "Print the version and exit");
  app.add_flag("--faults-once", options.FaultsOnce,
               "The switches above act on the first request of each operation only; later "
               "ones are answered as usual (a till that tries again gets through)");
  app.footer(
      "OPERATION: evaluate, redeem, reverse, status or all. Every switch may be repeated, one\n"
      "operation each; a switch naming an operation wins over one naming all.\n"
      "The first line printed is 'listening on https://127.0.0.1:PORT/'.\n"
      "dovra-sandbox book --data DIR [--json] lists the book and its redemptions.");
  CLI11_PARSE(app, argc, argv);

  std::string error;
  for (const std::string& f : fails) {
    if (f.find(':') == std::string::npos) {
      std::cerr << "dovra-sandbox: --fail " << f << ": expected OPERATION:STATUS\n";
      return 2;
    }
    if (!ParseFailureSwitch(f, 500, options.FailStatus, error)) {
      std::cerr << "dovra-sandbox: --fail: " << error << "\n";
      return 2;
    }
  }
  for (const std::string& h : htmls)
    if (!ParseFailureSwitch(h, 200, options.HtmlStatus, error)) {
      std::cerr << "dovra-sandbox: --html: " << error << "\n";
      return 2;
    }
  for (const std::string& g : garbages)
    if (!ParseFailureSwitch(g, 200, options.GarbageStatus, error)) {
      std::cerr << "dovra-sandbox: --garbage: " << error << "\n";
      return 2;
    }
  for (const std::string& d : delays)
    if (!ParseDelaySwitch(d, options.DelayMs, error)) {
      std::cerr << "dovra-sandbox: --delay-ms: " << error << "\n";
      return 2;
    }
  for (const std::string& l : losts)
    if (!ParseDeliverySwitch(l, TSandboxDelivery::Lost, options.Deliveries, error)) {
      std::cerr << "dovra-sandbox: --lose-answer: " << error << "\n";
      return 2;
    }
  for (const std::string& r : resets)
    if (!ParseDeliverySwitch(r, TSandboxDelivery::Reset, options.Deliveries, error)) {
      std::cerr << "dovra-sandbox: --reset-answer: " << error << "\n";
      return 2;
    }
  for (const std::string& a : answers)
    if (!ParseAnswerSwitch(a, options.Crafted, error)) {
      std::cerr << "dovra-sandbox: --answer: " << error << "\n";
      return 2;
    }
  if (options.VoucherFile.empty()) options.VoucherFile = DefaultVoucherBook();

  TSandboxService service(options);
  if (!service.Open(error)) {
    std::cerr << "dovra-sandbox: " << error << "\n";
    return 1;
  }
  TSandboxCertificate certificate;
  if (!EnsureSandboxCertificate(options.DataDir, certificate, error)) {
    std::cerr << "dovra-sandbox: " << error << "\n";
    return 1;
  }
  if (!certificate.Replaced.empty())
    std::cerr << "dovra-sandbox: made a new certificate " << certificate.CertFile
              << ": the one there was not used (" << certificate.Replaced
              << "); tills must trust the new one\n";
  RaiseDescriptorLimit();
  // A till that has gone away must not end the service while an answer is being written.
  signal(SIGPIPE, SIG_IGN);
  httplib::SSLServer server(certificate.CertFile.c_str(), certificate.KeyFile.c_str());
  if (!server.is_valid()) {
    std::cerr << "dovra-sandbox: cannot use the certificate " << certificate.CertFile
              << " with the key " << certificate.KeyFile << "\n";
    return 1;
  }
  server.set_payload_max_length(1 << 20);
  server.set_socket_options(ExclusivePortOptions);
  // Answers go out at once: without this each small answer waits for the till's delayed
  // acknowledgement, some 40 ms per call.
  server.set_tcp_nodelay(true);
  // A connection that sends nothing (its TLS hello included) is dropped after 5 s, one left open
  // between requests after 2 s; until then it holds a thread of its own, never one a real
  // request waits for.
  server.set_read_timeout(5, 0);
  server.set_keep_alive_timeout(2);
  // The library owns the queue it is handed and deletes it when it stops listening.
  server.new_task_queue = [] { return std::make_unique<TSandboxWorkers>(kMostWorkers).release(); };
  auto handler = [&service](const httplib::Request& req, httplib::Response& res) {
    const TSandboxReply reply = service.Handle(FromHttp(req));
    if (reply.Delivery != TSandboxDelivery::Whole) {
      std::string error;
      // The library hands the connection's TLS state to the handler as const; this thread is
      // the only one using it, and the answer written here is the connection's last.
      if (BreakConnection(const_cast<SSL*>(req.ssl), reply, error)) return;
      std::cerr << "dovra-sandbox: " << error << "\n";
    }
    res.status = reply.Status;
    if (reply.Status == 401) res.set_header("WWW-Authenticate", "Basic realm=\"Dovra vouchers\"");
    res.set_content(reply.Body, reply.ContentType.c_str());
  };
  const std::string anyPath = R"(/.*)";
  server.Post(anyPath, handler);
  server.Get(anyPath, handler);
  server.Put(anyPath, handler);
  server.Delete(anyPath, handler);
  server.Patch(anyPath, handler);

  int bound = port;
  if (port == 0) {
    bound = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    bound = -1;
  }
  if (bound <= 0) {
    std::cerr << "dovra-sandbox: cannot listen on 127.0.0.1:" << port
              << (port ? " (is another service using the port?)" : "") << "\n";
    return 1;
  }
  if (gListener != INVALID_SOCKET) ::listen(gListener, SOMAXCONN);
  std::cout << "listening on https://127.0.0.1:" << bound << "/" << std::endl;
  if (!server.listen_after_bind()) {
    std::cerr << "dovra-sandbox: the server stopped with an error on port " << bound << "\n";
    return 1;
  }
  return 0;
}
