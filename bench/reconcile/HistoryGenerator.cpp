#include "bench/reconcile/HistoryGenerator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "lib/modulelog/ModuleLogLines.h"
#include "lib/synlz/SynLZFile.h"

namespace HistoryBench {

namespace {

namespace fs = std::filesystem;

// 2026-01-01 08:00 local, as the log writes it, plus day and seconds.
std::string Stamp(int day, int seconds) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 0;
  t.tm_mday = 1 + day;
  t.tm_hour = 8;
  t.tm_sec = seconds;
  t.tm_isdst = -1;
  std::mktime(&t);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02d %02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, seconds % 100);
  return text;
}

std::string Journal(TJournalLine line, const std::string& value) {
  std::string text = JournalFormat(line);
  text.replace(text.find('%'), 1, value);
  return text;
}

}  // namespace

std::string DayOfLog(int day, size_t payments, const std::string& database) {
  std::string out;
  out.reserve(payments * 1600);
  char digest[65];
  for (size_t i = 0; i < payments; ++i) {
    const int at = static_cast<int>(i * 50);  // a payment every 50 s from 08:00
    const std::string when = Stamp(day, at);
    const std::string code = "SAVE" + std::to_string(day * 1000 + static_cast<int>(i));
    const std::string reference = "DVR-" + std::to_string(day * 100000 + static_cast<int>(i));
    const int id = day * 1000 + static_cast<int>(i);
    std::snprintf(digest, sizeof digest, "%064x", static_cast<unsigned>(id));
    out +=
        "/opt/sarn/lib/DovraVoucherPayment.smd 1.4.0.0 (2026-12-01 10:00:00)\r"
        "Host=till1 User=sarn CPU=2 OS=Linux Wow64=0 Freq=1000000000\r"
        "Environment variables=HOME=/var/lib/sarn\tLANG=C.UTF-8\tSARN_DATABASE_ID=" +
        database + "\tSARN_SALE=" + std::to_string(id) +
        "\r"
        "TSynLog 1.18.743 FTS3 " +
        when + "\r\n";
    const auto line = [&](const char* level, const std::string& text) {
      out += when;
      out += level;
      out += text;
      out += "\r\n";
    };
    line(" info  ", Journal(TJournalLine::CurrentTransaction, std::to_string(id)));
    line(" info  ", "[TfrmDovraPayment.btnEvaluateClick] Evaluating : " + code);
    line(" trace ",
         "[TDovraVoucherAPI.Evaluate] Request : {\"VoucherCode\":\"" + code +
             "\",\"StoreReference\":1,\"VoucherOrder\":{\"OrderDate\":\"2026-01-01T08:00:00\","
             "\"OrderTotal\":62.5,\"Lines\":[{\"Sku\":\"A-1\",\"Qty\":1,\"Price\":62.5}]}}");
    line(" trace ",
         "[TDovraVoucherAPI.Evaluate] Response : {\"Success\":true,\"DiscountAmount\":10,"
         "\"VoucherCode\":\"" +
             code + "\"}");
    line(" info  ", Journal(TJournalLine::RedemptionKey,
                            "{\"VoucherCode\":\"" + code +
                                "\",\"StoreReference\":1,\"OrderDate\":\"2026-01-01T08:00:00\","
                                "\"RequestDigest\":\"" +
                                digest + "\"}"));
    line(" info  ", Journal(TJournalLine::Redeeming, code));
    if (i % 40 == 7) {  // used already
      line(" trace ", Journal(TJournalLine::RedeemResponse,
                              "{\"Success\":false,\"ErrorMessage\":\"Voucher already used\"}"));
      continue;
    }
    line(" trace ", Journal(TJournalLine::RedeemResponse,
                            "{\"Success\":true,\"DiscountAmount\":10,\"VoucherReference\":\"" +
                                reference + "\",\"VoucherCode\":\"" + code + "\"}"));
    line(" info  ", Journal(TJournalLine::Recorded, reference));
    if (i % 25 == 3) {  // the sale cancelled later
      line(" info  ", Journal(TJournalLine::CancelReversing, reference));
      line(" info  ", Journal(TJournalLine::CancelReversed, reference));
    } else {
      line(" info  ", Journal(TJournalLine::InvoiceLinked, std::to_string(id)));
    }
  }
  return out;
}

bool WriteHistory(const fs::path& folder, const THistoryShape& shape, const std::string& database,
                  std::string& error) {
  std::error_code failed;
  fs::create_directories(folder, failed);
  const fs::path live = folder / "DovraVoucherPayment.log";
  const auto write = [&](const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (out.flush()) return true;
    error = "cannot write " + file.string();
    return false;
  };
  int day = 0;
  for (int month = 0; month < shape.Months; ++month) {
    std::string text;
    for (int d = 0; d < shape.DaysPerMonth; ++d, ++day)
      text += DayOfLog(day, shape.PaymentsPerDay, database);
    char name[16];
    std::snprintf(name, sizeof name, "%04d%02d", 2026 + month / 12, 1 + month % 12);
    const fs::path dir = folder / "log" / name;
    fs::create_directories(dir, failed);
    // Archived as the logger archives a log: the live file compressed into its month's folder,
    // keeping its time, oldest first.
    if (!write(live, text) ||
        !SynLZCompressFile(live.string(), (dir / "DovraVoucherPayment.log.synlz").string(), error))
      return false;
    fs::last_write_time(dir / "DovraVoucherPayment.log.synlz",
                        fs::file_time_type::clock::now() -
                            std::chrono::hours(24 * (shape.Months - month) * shape.DaysPerMonth),
                        failed);
  }
  return write(live, DayOfLog(day, shape.PaymentsPerDay, database));
}

}  // namespace HistoryBench
