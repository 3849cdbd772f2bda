// PostgreSQL for the tests that need a server: a database of a test's own on the throw-away
// server ./run test starts (SARN_TEST_POSTGRES holds its connection), and a server of a test's
// own for the tests that stop and restart it. A test that needs a server fails without one; it
// is never skipped.
#pragma once

#include <string>

// The connection of the server ./run test started; empty with why when there is none.
std::string TestPostgresServer(std::string& error);

// A fresh UTF8 database, dropped with the object.
class TPostgresDatabase {
 public:
  TPostgresDatabase() = default;
  ~TPostgresDatabase();
  TPostgresDatabase(const TPostgresDatabase&) = delete;
  TPostgresDatabase& operator=(const TPostgresDatabase&) = delete;

  // Creates it on the server named by the connection text (key=value pairs); false with why.
  bool Create(const std::string& server, std::string& error);
  // The connection naming the database, as a till is given it.
  const std::string& Connection() const { return FConnection; }

 private:
  std::string FServer, FName, FConnection;
};

// A server in a folder of its own (its Unix socket there, fsync off), stopped and removed with
// the object. Run as the postgres user when the test runs as root (initdb refuses root).
class TPostgresServer {
 public:
  TPostgresServer() = default;
  ~TPostgresServer();
  TPostgresServer(const TPostgresServer&) = delete;
  TPostgresServer& operator=(const TPostgresServer&) = delete;

  // initdb, then start; false with why.
  bool Create(std::string& error);
  bool Stop(std::string& error);
  bool Start(std::string& error);
  // key=value connection to its postgres database.
  std::string Connection() const;

 private:
  bool Control(const std::string& action, std::string& error);
  std::string FFolder, FBin, FAs;
};

// One session of a test's own on a PostgreSQL database, for what another program does there
// (holding a lock, counting rows).
class TPostgresSession {
 public:
  explicit TPostgresSession(const std::string& connection);
  ~TPostgresSession();
  TPostgresSession(const TPostgresSession&) = delete;
  TPostgresSession& operator=(const TPostgresSession&) = delete;

  bool Connected() const;
  // Runs the statements; false with the server's message.
  bool Exec(const std::string& sql, std::string& error);
  // The first column of the first row of the statement's result; empty when there is none or
  // the statement failed (error says why).
  std::string Value(const std::string& sql, std::string& error);

 private:
  struct pg_conn* FConn = nullptr;
};
