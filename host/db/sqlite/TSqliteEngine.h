// The till's database on one SQLite file, created on first use when create is set; otherwise a
// missing file fails every call, saying so.
//
// The file is kept in WAL mode with synchronous=NORMAL: committed rows survive the till being
// killed; a power cut may take back the last commits but never corrupts the file. A writing call
// takes the write lock up front (BEGIN IMMEDIATE), so a busy database is waited for before
// anything runs.
#pragma once

#include <string>

#include "host/db/TDBEngine.h"

TDBEnginePtr NewSqliteEngine(const std::string& path, int32_t busyTimeoutMs, bool create = true);
