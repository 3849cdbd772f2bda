// What the tests of the till's DB script service share on either engine: SQL text with its
// layout run together, and two callers inserting transaction rows at once.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "intf/intfDBScript.h"
#include "module/payment/DovraStatements.h"

// text with every run of blanks and line breaks as one blank, none at the ends.
inline std::string Collapsed(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool blank = c == ' ' || c == '\r' || c == '\n' || c == '\t';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out += blank ? ' ' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Each of two services inserts count transaction rows at the same time; the IDs each read back.
inline std::vector<std::string> InsertAtOnce(IDBScript* a, IDBScript* b, int count,
                                             std::vector<std::string> (&ids)[2]) {
  auto insert = [count](IDBScript* db, std::vector<std::string>& out) {
    for (int i = 0; i < count; ++i) {
      std::string value;
      if (db->QueryValue(TransactionInsertStatement(), "ID", value)) out.push_back(value);
    }
  };
  std::thread one(insert, a, std::ref(ids[0]));
  std::thread two(insert, b, std::ref(ids[1]));
  one.join();
  two.join();
  std::set<std::string> distinct(ids[0].begin(), ids[0].end());
  distinct.insert(ids[1].begin(), ids[1].end());
  return {distinct.begin(), distinct.end()};
}
