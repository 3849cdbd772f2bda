// The SQL statements the voucher payment method sends through the host's DB script service, in
// the host database's dialect, byte for byte as the host's tables and traces expect them: lines
// padded with blanks to their width and joined by CR LF.
#pragma once

#include <string>
#include <string_view>

// Activity insert: [Timestamp], [Class], [Message] as three quoted texts (%s).
const std::string& ActivityInsertStatement();
// Transaction insert with the new row's identity selected as [ID].
const std::string& TransactionInsertStatement();
// Payment update: quoted reference (%s), quoted redeem answer (%s), amount (%f), ID (%d).
const std::string& PaymentUpdateStatement();
// Invoice link: invoice number (%d), ID (%d).
const std::string& InvoiceLinkStatement();
// Rows of an invoice: invoice number (%d).
const std::string& InvoiceRowsStatement();

// text as an SQL string literal: in single quotes, every single quote inside doubled, a NUL byte
// as "?".
std::string QuotedSQLText(std::string_view text);

// The length of the text columns long texts go into (the module's schema): [RedeemJSON] and
// [DovraLog].[Message], VARCHAR(1000). An engine that enforces it refuses a longer text, and the
// payment with it.
constexpr size_t DovraTextColumnLength = 1000;

// text cut to at most length bytes, never inside a UTF-8 sequence: no more characters than the
// column takes on any engine (SQL Server counts bytes, PostgreSQL characters).
std::string ColumnText(const std::string& text, size_t length = DovraTextColumnLength);
