#include "tests/support/PostgresServer.h"

#include "lib/common/FileText.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

std::string Trimmed(const char* text) {
  std::string out = text ? text : "";
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// Runs the statement on a connection of its own; false with the server's message.
bool ExecOn(const std::string& connection, const std::string& sql, std::string& error) {
  TPostgresSession session(connection);
  return session.Exec(sql, error);
}

// The server's own account of a failure; empty when it wrote none.
std::string ReadFile(const std::string& path) {
  std::string text, error;
  ReadWholeFile(path, text, error);
  return text;
}

}  // namespace

std::string TestPostgresServer(std::string& error) {
  const char* server = getenv("SARN_TEST_POSTGRES");
  if (server && *server) return server;
  error =
      "no PostgreSQL server for the tests: SARN_TEST_POSTGRES is not set (./run test starts a "
      "throw-away server and sets it)";
  return "";
}

TPostgresSession::TPostgresSession(const std::string& connection)
    : FConn(PQconnectdb(connection.c_str())) {}

TPostgresSession::~TPostgresSession() {
  if (FConn) PQfinish(FConn);
}

bool TPostgresSession::Connected() const { return FConn && PQstatus(FConn) == CONNECTION_OK; }

bool TPostgresSession::Exec(const std::string& sql, std::string& error) {
  if (!Connected()) {
    error = "cannot connect: " + Trimmed(FConn ? PQerrorMessage(FConn) : "out of memory");
    return false;
  }
  std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(FConn, sql.c_str()), PQclear);
  const ExecStatusType status = PQresultStatus(r.get());
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
  error = sql + ": " + Trimmed(PQerrorMessage(FConn));
  return false;
}

std::string TPostgresSession::Value(const std::string& sql, std::string& error) {
  if (!Connected()) {
    error = "cannot connect: " + Trimmed(FConn ? PQerrorMessage(FConn) : "out of memory");
    return "";
  }
  std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(FConn, sql.c_str()), PQclear);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
    error = sql + ": " + Trimmed(PQerrorMessage(FConn));
    return "";
  }
  return PQntuples(r.get()) > 0 && PQnfields(r.get()) > 0 ? PQgetvalue(r.get(), 0, 0) : "";
}

TPostgresDatabase::~TPostgresDatabase() {
  if (FName.empty()) return;
  std::string ignored;
  ExecOn(FServer, "DROP DATABASE IF EXISTS \"" + FName + "\" WITH (FORCE)", ignored);
}

bool TPostgresDatabase::Create(const std::string& server, std::string& error) {
  static std::atomic<int> counter{0};
  const std::string name =
      "sarn_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  if (!ExecOn(server,
              "CREATE DATABASE \"" + name +
                  "\" TEMPLATE template0 ENCODING 'UTF8' LC_COLLATE 'C' LC_CTYPE 'C'",
              error))
    return false;
  FServer = server;
  FName = name;
  FConnection = server + " dbname=" + name;
  return true;
}

TPostgresServer::~TPostgresServer() {
  if (FFolder.empty()) return;
  std::string ignored;
  Control("-m immediate stop", ignored);
  std::error_code ec;
  std::filesystem::remove_all(FFolder, ec);
}

bool TPostgresServer::Create(std::string& error) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec))
    if (std::filesystem::exists(entry.path() / "bin/initdb"))
      FBin = (entry.path() / "bin").string();
  if (FBin.empty()) {
    error = "PostgreSQL's initdb is not installed under /usr/lib/postgresql";
    return false;
  }
  std::string folder = "/tmp/sarn-pg-XXXXXX";
  if (!mkdtemp(folder.data())) {
    error = "cannot make a folder for the server";
    return false;
  }
  FFolder = folder;
  if (geteuid() == 0) {
    FAs = "runuser -u postgres -- ";
    if (std::system(("chown postgres: " + FFolder).c_str()) != 0) {
      error = "cannot hand " + FFolder + " to the postgres user";
      return false;
    }
  }
  const std::string init = FAs + FBin + "/initdb -D " + FFolder + "/data -A trust -E UTF8 " +
                           "--no-sync -U postgres >" + FFolder + "/initdb.log 2>&1";
  if (std::system(init.c_str()) != 0) {
    error = "initdb failed: " + ReadFile(FFolder + "/initdb.log");
    return false;
  }
  return Start(error);
}

bool TPostgresServer::Control(const std::string& action, std::string& error) {
  const std::string command =
      FAs + FBin + "/pg_ctl -w -D " + FFolder + "/data -l " + FFolder + "/server.log -o \"-k " +
      FFolder + " -c listen_addresses='' -c fsync=off\" " + action + " >/dev/null 2>&1";
  if (std::system(command.c_str()) == 0) return true;
  error = "pg_ctl " + action + " failed: " + ReadFile(FFolder + "/server.log");
  return false;
}

bool TPostgresServer::Stop(std::string& error) { return Control("-m fast stop", error); }
bool TPostgresServer::Start(std::string& error) { return Control("start", error); }

std::string TPostgresServer::Connection() const {
  return "host=" + FFolder + " user=postgres dbname=postgres";
}
