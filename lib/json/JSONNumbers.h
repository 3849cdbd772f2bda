// Inside the JSON library only: the text forms of numbers, read (whole texts as 64-bit integers,
// money or doubles) and written (money and floats), shared by the parser, the writer and the
// conversions of the values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "intf/intfBase.h"

namespace JSONInternal {

// Reads a whole text as a 64-bit integer: optional sign, digits, nothing else.
bool ReadInt64(std::string_view s, int64_t& out) noexcept;
// Reads a whole text as money: optional sign, digits, a point at `point` and one to four
// decimals; false when the amount is outside the 64-bit range of ten-thousandths.
bool ReadMoney(std::string_view s, size_t point, int64_t& out) noexcept;
// Reads a whole text as a double in C notation; a number too small for a double reads as zero
// (with its sign), one too large or not finite does not read.
bool ReadDouble(std::string_view s, double& out) noexcept;
// Round half to even of a finite double into int64; false when it does not fit.
bool RoundToInt64(double v, int64_t& out) noexcept;
// Money divided by 10000, a half to the even neighbour.
int64_t MoneyToWhole(int64_t m) noexcept;

// Enough for every text FormatMoney and FormatFloat write.
constexpr size_t kNumberRoom = 64;

// Money: four decimals, then trailing zeros and a bare point removed. Writes at most kNumberRoom
// bytes at out and gives the end.
char* FormatMoney(char* out, TCurrency value) noexcept;
// A float: 15 significant digits in plain notation below 1e15, the shortest exact form above.
// Writes at most kNumberRoom bytes at out and gives the end.
char* FormatFloat(char* out, double value) noexcept;

}  // namespace JSONInternal
