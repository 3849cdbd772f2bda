#include "module/payment/DovraStatements.h"

#include <algorithm>
#include <initializer_list>

namespace {

struct TPaddedLine {
  const char* Text;
  size_t Width;
};

// Hosts compare and trace the statements as sent, so the padding is part of the text.
std::string JoinPadded(std::initializer_list<TPaddedLine> lines) {
  std::string statement;
  for (const TPaddedLine& line : lines) {
    if (!statement.empty()) statement += "\r\n";
    const size_t start = statement.size();
    statement += line.Text;
    statement.resize(start + std::max(line.Width, statement.size() - start), ' ');
  }
  return statement;
}

}  // namespace

const std::string& ActivityInsertStatement() {
  static const std::string statement =
      JoinPadded({{"INSERT", 43},
                  {"  INTO [DovraLog]", 42},
                  {"       ( [Timestamp], [Class], [Message] )", 43},
                  {"VALUES ( %s, %s, %s )", 43}});
  return statement;
}

const std::string& TransactionInsertStatement() {
  static const std::string statement =
      "INSERT INTO [DovraTransactions] ( [Timestamp_Created] ) VALUES ( GETDATE() ); "
      "SELECT CAST( SCOPE_IDENTITY() AS INT ) AS [ID]";
  return statement;
}

const std::string& PaymentUpdateStatement() {
  static const std::string statement = JoinPadded({{"UPDATE [DovraTransactions]", 40},
                                                   {"   SET [Timestamp_Payment] = GETDATE(),", 40},
                                                   {"       [VoucherReference]  = %s,", 40},
                                                   {"       [RedeemJSON]        = %s,", 40},
                                                   {"       [Amount]            = %f", 40},
                                                   {" WHERE [ID] = %d", 40}});
  return statement;
}

const std::string& InvoiceLinkStatement() {
  static const std::string statement = JoinPadded({{"UPDATE [DovraTransactions]", 28},
                                                   {"   SET [InvoiceNum] = %d", 28},
                                                   {" WHERE [ID]         = %d", 28}});
  return statement;
}

const std::string& InvoiceRowsStatement() {
  static const std::string statement =
      "SELECT ID, VoucherReference FROM DovraTransactions WHERE InvoiceNum = %d";
  return statement;
}

std::string QuotedSQLText(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '\'';
  for (const char c : text) {
    if (c == '\'') quoted += '\'';
    // A NUL would end the statement early in the database's own API, or be refused with it.
    quoted += c == '\0' ? '?' : c;
  }
  quoted += '\'';
  return quoted;
}

std::string ColumnText(const std::string& text, size_t length) {
  if (text.size() <= length) return text;
  size_t end = length;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}
