// What the till's SQLite database lacks of the SQL Server dialect that modules write their
// statements in. The one place where the till bridges the two: modules send SQL Server text
// unchanged and never learn which database answers.
#pragma once

#include <string>

struct sqlite3;

// Rewrites the SQL Server forms SQLite cannot run into their SQLite equivalents, outside string
// literals, quoted names and comments, keeping every other byte as it stands:
//  - "IF ( OBJECT_ID( 'T', 'U' ) IS NULL ) CREATE TABLE T" (outer parentheses optional, the type
//    'U' or absent, the guard naming the created table) -> "CREATE TABLE IF NOT EXISTS T";
//  - VARCHAR(MAX), NVARCHAR(MAX) -> TEXT;
//  - a column "INT|BIGINT|SMALLINT|TINYINT ... IDENTITY[(1,1)] ... PRIMARY KEY" ->
//    "INTEGER ... PRIMARY KEY AUTOINCREMENT" (the form that numbers rows 1, 2, ... and never
//    reuses a number).
// As on PostgreSQL, what has no form here is refused, named, and nothing is sent: a guard of
// another form or naming another table, an IDENTITY of another seed or step, of a column that is
// no integer key, and a literal, quoted name or comment never closed. SQLite would take such an
// IDENTITY as part of a type name and number nothing. Everything else SQLite reads as SQL Server
// does, or refuses with its own message.
bool RewriteForSqlite(const std::string& sql, std::string& sent, std::string& error);

// Installs on a connection the SQL Server functions modules call:
//  GETDATE()           the till's local time, 'YYYY-MM-DD HH:MM:SS.mmm' (sorts as it reads);
//  SCOPE_IDENTITY()    the row number of the last row this connection inserted in the batch
//                      running, NULL when the batch inserted none (see BeginSqlServerBatch);
//  OBJECT_ID(name[, type])  non-NULL (the object's number in the schema) when the object exists:
//                      type 'U' a table, 'V' a view, absent any; the name may carry a schema
//                      prefix and brackets ('dbo.[DovraLog]'); case does not matter.
// False with SQLite's message when a function cannot be installed.
bool InstallSqlServerFunctions(sqlite3* db, std::string& error);

// Marks the start of a batch on the connection: SCOPE_IDENTITY() forgets earlier batches' rows.
void BeginSqlServerBatch(sqlite3* db);
