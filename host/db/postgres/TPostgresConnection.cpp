#include "host/db/postgres/TPostgresConnection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "host/db/sql/SqlText.h"
#include "lib/common/LocalTime.h"

namespace {

// The till's own zone as PostgreSQL names it: TZ as the C library reads it (an IANA name or a
// POSIX rule; a path into the zone files gives the name after "zoneinfo/"), else the zone
// /etc/localtime stands for; empty when it has no name.
std::string TillZoneName() {
  std::string path = "/etc/localtime";
  if (const char* tz = getenv("TZ")) {
    std::string zone = tz;
    if (zone.empty()) return "UTC";  // the C library's reading of an empty TZ
    if (zone[0] == ':') zone.erase(0, 1);
    if (!zone.empty() && zone[0] != '/') return zone;
    if (!zone.empty()) path = zone;
  }
  std::error_code ec;
  const std::string target = std::filesystem::canonical(path, ec).string();
  for (const char* folder : {"zoneinfo/posix/", "zoneinfo/right/", "zoneinfo/"})
    if (const size_t at = target.find(folder); !ec && at != std::string::npos)
      return target.substr(at + strlen(folder));
  if (path == "/etc/localtime") {
    std::ifstream named("/etc/timezone");
    std::string zone;
    if (std::getline(named, zone) && !zone.empty()) return zone;
  }
  return "";
}

// The till's present offset from UTC as SET TIME ZONE takes it (the zone without a name: its
// offset of today).
std::string TillZoneOffset() {
  const long offset = LocalTimeNow().UtcOffset;
  const long magnitude = offset < 0 ? -offset : offset;
  char text[64];
  snprintf(text, sizeof text, "INTERVAL '%c%02ld:%02ld' HOUR TO MINUTE", offset < 0 ? '-' : '+',
           magnitude / 3600, magnitude / 60 % 60);
  return text;
}

}  // namespace

TPostgresConnection::TPostgresConnection(TPostgresOptions options)
    : F(std::move(options)), FSecrets(F.Connection) {}

void TPostgresConnection::Close() {
  FConn.reset();
  FIdentities.clear();
}

std::string TPostgresConnection::ConnectionMessage() const {
  return Message(FConn ? PQerrorMessage(FConn.get()) : "not connected");
}

std::string TPostgresConnection::NoAnswerWithinBound() const {
  return "no answer from " + Shown() + " within the call's bound (" +
         std::to_string(Busy() + kCallMarginMs) +
         " ms: the busy time and a margin); the connection is given up";
}

std::string TPostgresConnection::OutcomeUnknown(const std::string& what, const std::string& why) {
  return what + ": the outcome is unknown" + (why.empty() ? "" : " (" + why + ")") +
         ": the call may or may not have taken effect, and it is not run again";
}

TPgResultPtr TPostgresConnection::Next(TPgClock::time_point deadline) {
  PGconn* conn = FConn.get();
  while (conn && PQisBusy(conn)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TPgClock::now()).count();
    if (left <= 0) {
      FTimedOut = true;
      return PgResult(nullptr);
    }
    pollfd wait{PQsocket(conn), POLLIN, 0};
    const int ready = poll(&wait, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && !PQconsumeInput(conn)) break;  // the connection broke
  }
  return PgResult(conn ? PQgetResult(conn) : nullptr);
}

TPgResultPtr TPostgresConnection::Exec(const std::string& sql, TPgClock::time_point deadline) {
  if (!FConn || !PQsendQuery(FConn.get(), sql.c_str())) return PgResult(nullptr);
  return Collect(deadline);
}

TPgResultPtr TPostgresConnection::Collect(TPgClock::time_point deadline) {
  TPgResultPtr kept = PgResult(nullptr);
  for (TPgResultPtr r = Next(deadline); r; r = Next(deadline)) {
    const ExecStatusType status = PQresultStatus(kept.get());
    if (kept && (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE)) continue;
    kept = std::move(r);
  }
  return FTimedOut ? PgResult(nullptr) : std::move(kept);
}

bool TPostgresConnection::LeavePipeline() {
  PGconn* conn = FConn.get();
  if (!conn) return false;
  for (int i = 0; i < 2 && PQpipelineStatus(conn) != PQ_PIPELINE_OFF; ++i)
    if (!PQexitPipelineMode(conn)) PgResult(PQgetResult(conn));
  return PQpipelineStatus(conn) == PQ_PIPELINE_OFF;
}

bool TPostgresConnection::Connect(std::string& error) {
  if (FConn && PQstatus(FConn.get()) == CONNECTION_OK) return true;
  Close();
  FTimedOut = false;
  // Defaults first: what the connection text says overrides them; the encoding is ours. The
  // TCP settings find a link gone quiet: keepalives while waiting, tcp_user_timeout while
  // sending, both within the call's bound.
  const std::string application = F.ApplicationName;
  const std::string userTimeout = std::to_string(Busy() + kCallMarginMs);
  const char* keys[] = {"connect_timeout",     "application_name",
                        "keepalives",          "keepalives_idle",
                        "keepalives_interval", "keepalives_count",
                        "tcp_user_timeout",    "dbname",
                        "client_encoding",     nullptr};
  const char* values[] = {"5",
                          application.c_str(),
                          "1",
                          "5",
                          "1",
                          "3",
                          userTimeout.c_str(),
                          F.Connection.c_str(),
                          "UTF8",
                          nullptr};
  FConn.reset(PQconnectdbParams(keys, values, 1));
  PGconn* conn = FConn.get();
  const std::string where = "cannot connect to " + Shown();
  auto fail = [&](const std::string& why) {
    error = where + ": " + why;
    Close();
    return false;
  };
  if (!conn) return fail("out of memory");
  if (PQstatus(conn) != CONNECTION_OK) {
    const char* said = PQerrorMessage(conn);
    return fail(PostgresConnectFailure(FSecrets.Masked(said ? said : "")));
  }
  if (PQserverVersion(conn) < 100000) {
    const char* version = PQparameterStatus(conn, "server_version");
    return fail(std::string("the server is PostgreSQL ") +
                (version ? version : "(unknown version)") + "; the till needs version 10 or later");
  }
  const char* encoding = PQparameterStatus(conn, "server_encoding");
  if (!encoding || std::string(encoding) != "UTF8")
    return fail(std::string("the database is encoded ") + (encoding ? encoding : "(unknown)") +
                ", not UTF8 (create it with ENCODING 'UTF8')");
  // The session's settings are the till's, whatever the database or role says: its clock
  // (GETDATE() as the module's own time stamps), dates and intervals in ISO form, floats
  // with every digit, the lock wait and the statement bound. Notices ("already exists,
  // skipping") are no news for a till: only warnings reach stderr.
  const auto deadline = CallDeadline();
  const std::string setup =
      "SET standard_conforming_strings = on; SET client_min_messages = warning; "
      "SET DateStyle = 'ISO, MDY'; SET IntervalStyle = 'postgres'; "
      "SET extra_float_digits = 3; SET lock_timeout = '" +
      std::to_string(Busy()) + "ms'; SET statement_timeout = '" +
      std::to_string(Busy() + kStatementMarginMs) + "ms'";
  // The zone by its name, in the same round trip; a zone the server does not know by that
  // name is given as the till's present offset (a failed SET undoes the whole text).
  const std::string zone = TillZoneName();
  TPgResultPtr set = PgResult(nullptr);
  if (!zone.empty()) set = Exec(setup + "; SET TimeZone = " + SqlStringLiteral(zone), deadline);
  if (!PgResultIs(set, PGRES_COMMAND_OK) && !FTimedOut && !Gone())
    set = Exec(setup + "; SET TIME ZONE " + TillZoneOffset(), deadline);
  if (!PgResultIs(set, PGRES_COMMAND_OK))
    return fail("cannot set up the session (time zone " + (zone.empty() ? TillZoneOffset() : zone) +
                "): " + (FTimedOut ? std::string(kNoAnswerInTime) : ConnectionMessage()));
  const char* standard = PQparameterStatus(conn, "standard_conforming_strings");
  if (!standard || std::string(standard) != "on")
    return fail(
        "standard_conforming_strings stays off; a backslash in a text would not be read as "
        "itself");
  if (std::string why; !PrepareFixedCommands(deadline, why))
    return fail("cannot prepare the transaction commands: " + why);
  return true;
}

bool TPostgresConnection::PrepareFixedCommands(TPgClock::time_point deadline, std::string& why) {
  PGconn* conn = FConn.get();
  bool sent = PQenterPipelineMode(conn);
  for (const TFixedCommand& command : kFixedCommands)
    sent = sent && PQsendPrepare(conn, command.Name, command.Text, 0, nullptr);
  if (!sent || !PQpipelineSync(conn)) {
    why = ConnectionMessage();
    return false;
  }
  for (int nothing = 0; nothing < 2;) {
    TPgResultPtr r = Next(deadline);
    if (FTimedOut || (!r && Gone())) {
      why = FTimedOut ? kNoAnswerInTime : ConnectionMessage();
      return false;
    }
    if (!r) {
      ++nothing;
      continue;
    }
    nothing = 0;
    if (PQresultStatus(r.get()) == PGRES_PIPELINE_SYNC) break;
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK && why.empty())
      why = Message(PQresultErrorMessage(r.get()));
  }
  if (!LeavePipeline() && why.empty()) why = "the connection is not ready for the next call";
  return why.empty();
}

bool TPostgresConnection::IdentityColumn(const std::string& table, std::string& column,
                                         std::string& error) {
  if (const auto found = FIdentities.find(table); found != FIdentities.end()) {
    column = found->second;
    return true;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!Connect(error)) return false;
    std::string quoted = "\"";
    for (const char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    quoted += '"';
    const char* params[] = {quoted.c_str()};
    const auto deadline = CallDeadline();
    TPgResultPtr r = PgResult(nullptr);
    if (PQsendQueryParams(
            FConn.get(),
            "SELECT attname FROM pg_attribute WHERE attrelid = to_regclass($1) AND attnum > 0 "
            "AND NOT attisdropped AND attidentity <> '' ORDER BY attnum LIMIT 1",
            1, nullptr, params, nullptr, nullptr, 0))
      r = Collect(deadline);
    if (PgResultIs(r, PGRES_TUPLES_OK)) {
      if (PQntuples(r.get()) == 0) {
        error = "SCOPE_IDENTITY(): the table " + table + " has no identity column";
        return false;
      }
      column = PQgetvalue(r.get(), 0, 0);
      FIdentities[table] = column;
      return true;
    }
    if (FTimedOut || !Gone()) break;
    Close();  // a lost connection: nothing ran, open it anew once
  }
  error = "cannot read the identity column of " + table + ": " +
          (FTimedOut ? "no answer from the server in time" : ConnectionMessage());
  if (FTimedOut) Close();
  return false;
}
