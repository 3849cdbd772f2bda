// Base of the host contract: GUIDs, the counted base interface and the types that cross the
// host/module boundary. Every host and module interface derives from IInterface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Result of QueryInterface: 0 on success, non-zero when the interface is not supported.
using THResult = int32_t;
inline constexpr THResult S_OK_RESULT = 0;
inline constexpr THResult E_NOINTERFACE_RESULT = static_cast<THResult>(0x80004002u);

// Money: signed ten-thousandths of the currency unit.
using TCurrency = int64_t;
inline constexpr TCurrency CurrencyScale = 10000;

// Date-time: days since 1899-12-30, the fraction being the time of day.
using TDateTime = double;

// A 16-byte interface identifier in the usual layout, written in its text form as
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
struct TGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0;
  uint16_t D3 = 0;
  uint8_t D4[8] = {};

  // Parses the braced text form; returns false (and leaves out untouched) on any other text.
  static constexpr bool TryParse(std::string_view text, TGUID& out) {
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-')
      return false;
    uint8_t bytes[16] = {};
    int n = 0;
    for (size_t i = 1; i < 37; ++i) {
      if (i == 9 || i == 14 || i == 19 || i == 24) continue;
      const int hi = HexDigit(text[i]);
      const int lo = HexDigit(text[i + 1]);
      if (hi < 0 || lo < 0) return false;
      bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
      ++i;
    }
    TGUID g;
    g.D1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           bytes[3];
    g.D2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    g.D3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int k = 0; k < 8; ++k) g.D4[k] = bytes[8 + k];
    out = g;
    return true;
  }

  // Compile-time form for interface identifiers; an ill-formed text fails the build.
  static consteval TGUID Of(std::string_view text) {
    TGUID g;
    if (!TryParse(text, g)) throw "ill-formed GUID text";
    return g;
  }

  // The braced upper-case text form.
  std::string ToString() const {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string s = "{";
    auto put = [&](uint64_t v, int digits) {
      for (int i = digits - 1; i >= 0; --i) s += hex[(v >> (4 * i)) & 0xF];
    };
    put(D1, 8);
    s += '-';
    put(D2, 4);
    s += '-';
    put(D3, 4);
    s += '-';
    put(D4[0], 2);
    put(D4[1], 2);
    s += '-';
    for (int k = 2; k < 8; ++k) put(D4[k], 2);
    s += '}';
    return s;
  }

  friend constexpr bool operator==(const TGUID& a, const TGUID& b) {
    if (a.D1 != b.D1 || a.D2 != b.D2 || a.D3 != b.D3) return false;
    for (int k = 0; k < 8; ++k)
      if (a.D4[k] != b.D4[k]) return false;
    return true;
  }
  friend constexpr bool operator<(const TGUID& a, const TGUID& b) {
    if (a.D1 != b.D1) return a.D1 < b.D1;
    if (a.D2 != b.D2) return a.D2 < b.D2;
    if (a.D3 != b.D3) return a.D3 < b.D3;
    for (int k = 0; k < 8; ++k)
      if (a.D4[k] != b.D4[k]) return a.D4[k] < b.D4[k];
    return false;
  }

 private:
  static constexpr int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
};

// The counted base interface. Slots 0..2 of every contract vtable.
// QueryInterface: in the GUID, out an added reference to the asked interface (or nullptr);
// returns S_OK_RESULT or E_NOINTERFACE_RESULT. AddRef/Release return the new count.
// Any thread; counts are atomic.
class IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{00000000-0000-0000-C000-000000000046}");
  virtual THResult QueryInterface(const TGUID& iid, void** obj) noexcept = 0;
  virtual int32_t AddRef() noexcept = 0;
  virtual int32_t Release() noexcept = 0;

 protected:
  ~IInterface() = default;
};
