// The payment details list and its text conversions.
#include "module/payment/clsStringConfigList.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "lib/common/AsciiCase.h"
#include "lib/common/CalendarDate.h"

namespace StringConfigText {
namespace {

constexpr int MaxDecimals = 18;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// Reads exactly `width` decimal digits at text[pos].
bool ReadDigits(std::string_view text, size_t pos, size_t width, int& out) {
  if (pos + width > text.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  out = v;
  return true;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) { return SameTextAscii(a, b); }

bool TryToInteger(std::string_view text, int32_t& out) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  if (text.empty()) return false;
  int32_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 10);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  out = v;
  return true;
}

bool TryToFloat(std::string_view text, double& out) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  // Only plain decimal texts count as numbers here: no hexadecimal, "inf" or "nan" spellings.
  bool digit = false;
  for (char c : text) {
    if (c >= '0' && c <= '9')
      digit = true;
    else if (c != '.' && c != '-' && c != '+' && c != 'e' && c != 'E')
      return false;
  }
  if (!digit) return false;
  double v = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool TryToBoolean(std::string_view text, bool& out) {
  if (SameText(text, "True")) {
    out = true;
    return true;
  }
  if (SameText(text, "False")) {
    out = false;
    return true;
  }
  double v = 0;
  if (!TryToFloat(text, v)) return false;
  out = v != 0;
  return true;
}

bool TryToDateTime(std::string_view text, TDateTime& out) {
  text = TrimBlanks(text);
  int y = 0, mo = 0, d = 0;
  if (text.size() >= 10 && ReadDigits(text, 0, 4, y) && text[4] == '-' &&
      ReadDigits(text, 5, 2, mo) && text[7] == '-' && ReadDigits(text, 8, 2, d)) {
    if (!IsCalendarDay(y, mo, d)) return false;
    int h = 0, mi = 0, s = 0;
    const std::string_view rest = text.substr(10);
    if (!rest.empty()) {
      // "hh:mm" or "hh:mm:ss" after a space or a "T".
      if (rest.size() != 6 && rest.size() != 9) return false;
      if (rest[0] != ' ' && rest[0] != 'T') return false;
      if (!ReadDigits(rest, 1, 2, h) || rest[3] != ':' || !ReadDigits(rest, 4, 2, mi)) return false;
      if (rest.size() == 9 && (rest[6] != ':' || !ReadDigits(rest, 7, 2, s))) return false;
      if (h > 23 || mi > 59 || s > 59) return false;
    }
    const double days = static_cast<double>(DaysFromCivil(y, mo, d) - DaysFromCivil(1899, 12, 30));
    const double time = (h * 3600.0 + mi * 60.0 + s) / 86400.0;
    // Before the epoch the time of day still counts forward from the day's start: the day is
    // the integral part, the fraction its time, both with the day's sign.
    out = days < 0 ? days - time : days + time;
    return true;
  }
  double v = 0;
  if (!TryToFloat(text, v)) return false;
  out = v;
  return true;
}

int32_t ToInteger(std::string_view text) {
  int32_t v = 0;
  if (!TryToInteger(text, v))
    throw std::invalid_argument(Quoted(text) + " is not a valid integer value");
  return v;
}

double ToFloat(std::string_view text) {
  double v = 0;
  if (!TryToFloat(text, v))
    throw std::invalid_argument(Quoted(text) + " is not a valid floating point value");
  return v;
}

bool ToBoolean(std::string_view text) {
  bool v = false;
  if (!TryToBoolean(text, v))
    throw std::invalid_argument(Quoted(text) + " is not a valid boolean value");
  return v;
}

TDateTime ToDateTime(std::string_view text) {
  TDateTime v = 0;
  if (!TryToDateTime(text, v))
    throw std::invalid_argument(Quoted(text) + " is not a valid date and time");
  return v;
}

std::string FromInteger(int32_t value) { return std::to_string(value); }

std::string FromBoolean(bool value) { return value ? "True" : "False"; }

std::string FromFloat(double value, int significant) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) value = 0;  // no "-0.000..."
  char buf[400];
  // The decimal exponent after rounding to `significant` digits decides how many decimals
  // still carry significant digits.
  std::snprintf(buf, sizeof buf, "%.*e", significant - 1, value);
  const char* e = std::strchr(buf, 'e');
  const int exponent = e ? std::atoi(e + 1) : 0;
  const int decimals = significant - 1 - exponent;
  std::string text;
  if (decimals >= 0) {
    std::snprintf(buf, sizeof buf, "%.*f", std::min(decimals, MaxDecimals), value);
    text = buf;
    if (decimals == 0) text += '.';
  } else {
    // More integral digits than significant ones: the mantissa's digits, then zeros.
    for (const char* p = buf; p != e; ++p)
      if (*p != '.') text += *p;
    text.append(static_cast<size_t>(-decimals), '0');
    text += '.';
  }
  const size_t dot = text.find('.');
  text.append(MaxDecimals - (text.size() - dot - 1), '0');
  return text;
}

std::string QuotedJoin(const TStringItems& lines, char delimiter) {
  if (lines.size() == 1 && lines[0].Line.empty()) return "\"\"";
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += delimiter;
    const std::string& line = lines[i].Line;
    bool quote = false;
    for (unsigned char c : line)
      if (c <= ' ' || c == '"' || c == static_cast<unsigned char>(delimiter)) {
        quote = true;
        break;
      }
    if (!quote) {
      text += line;
      continue;
    }
    text += '"';
    for (char c : line) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '"';
  }
  return text;
}

}  // namespace StringConfigText

using namespace StringConfigText;

TStringItem& TStringConfigList::At(int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= FItems.size())
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + "), count " +
                            std::to_string(FItems.size()));
  return FItems[static_cast<size_t>(index)];
}

// A name matches only lines that carry a separator: a line without "=" has no name to match.
int32_t TStringConfigList::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < FItems.size(); ++i) {
    const std::string& line = FItems[i].Line;
    const size_t sep = line.find(NameValueSeparator);
    if (sep != std::string::npos && SameText(std::string_view(line).substr(0, sep), name))
      return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t TStringConfigList::IndexOfLine(std::string_view line) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (SameText(FItems[i].Line, line)) return static_cast<int32_t>(i);
  return -1;
}

int32_t TStringConfigList::IndexOfExistingLine(const std::string& line) const {
  const int32_t index = IndexOfLine(line);
  if (index < 0) throw std::out_of_range("List has no line " + Quoted(line));
  return index;
}

int32_t TStringConfigList::Append(std::string line, TListObject* object) {
  FItems.push_back(TStringItem{std::move(line), object});
  return static_cast<int32_t>(FItems.size() - 1);
}

void TStringConfigList::Delete(int32_t index) {
  At(index);
  FItems.erase(FItems.begin() + index);
}

std::string TStringConfigList::NameOf(int32_t index) {
  const std::string& line = At(index).Line;
  const size_t sep = line.find(NameValueSeparator);
  return sep == std::string::npos ? std::string() : line.substr(0, sep);
}

std::string TStringConfigList::ValueOf(const std::string& name) const {
  const int32_t index = IndexOfName(name);
  if (index < 0) return {};
  const std::string& line = FItems[static_cast<size_t>(index)].Line;
  return line.substr(line.find(NameValueSeparator) + 1);
}

IStringConfigList::TOutList TStringConfigList::Self() {
  return TOutList::Share(static_cast<IStringConfigList*>(this));
}

void TStringConfigList::GetFirst(std::string& line) {
  if (!FItems.empty()) line = FItems.front().Line;
}

void TStringConfigList::GetLast(std::string& line) {
  if (!FItems.empty()) line = FItems.back().Line;
}

bool TStringConfigList::ValueAsBoolean(const std::string& name) {
  bool v = false;
  return TryToBoolean(ValueOf(name), v) ? v : false;
}

double TStringConfigList::ValueAsFloat(const std::string& name) {
  double v = 0;
  return TryToFloat(ValueOf(name), v) ? v : 0;
}

double TStringConfigList::ValueAsFloat2(const std::string& name) { return ValueAsFloat(name); }

int32_t TStringConfigList::ValueAsInteger(const std::string& name) {
  int32_t v = 0;
  return TryToInteger(ValueOf(name), v) ? v : 0;
}

TListObject* TStringConfigList::ObjectOf(const std::string& line) {
  return FItems[static_cast<size_t>(IndexOfExistingLine(line))].Object;
}

void TStringConfigList::Value(const std::string& name, std::string& value) {
  value = ValueOf(name);
}

double TStringConfigList::ValueFromIndexAsFloat(int32_t index) {
  std::string text;
  ValueFromIndex(index, text);
  double v = 0;
  return TryToFloat(text, v) ? v : 0;
}

void TStringConfigList::ValueFromIndex(int32_t index, std::string& value) {
  if (index < 0) {
    value.clear();
    return;
  }
  const std::string& line = At(index).Line;
  const size_t sep = line.find(NameValueSeparator);
  value = sep == std::string::npos ? std::string() : line.substr(sep + 1);
}

int32_t TStringConfigList::ValueFromIndexAsInteger(int32_t index) {
  std::string text;
  ValueFromIndex(index, text);
  int32_t v = 0;
  return TryToInteger(text, v) ? v : 0;
}

TListObject* TStringConfigList::ObjectAt(int32_t index) { return At(index).Object; }

void TStringConfigList::ValueOrLine(int32_t index, std::string& value) {
  if (index < 0) {
    value.clear();
    return;
  }
  const std::string& line = At(index).Line;
  const size_t sep = line.find(NameValueSeparator);
  value = sep == std::string::npos ? line : line.substr(sep + 1);
}

bool TStringConfigList::LineAsBoolean(int32_t index) { return ToBoolean(At(index).Line); }

TDateTime TStringConfigList::LineAsDateTime(int32_t index) { return ToDateTime(At(index).Line); }

double TStringConfigList::LineAsFloat(int32_t index) { return ToFloat(At(index).Line); }

int32_t TStringConfigList::LineAsInteger(int32_t index) { return ToInteger(At(index).Line); }

void TStringConfigList::Line(int32_t index, std::string& line) { line = At(index).Line; }

void TStringConfigList::SetBoolean(const std::string& name, bool value) {
  SetValue(name, FromBoolean(value));
}

void TStringConfigList::SetFloat(const std::string& name, double value) {
  SetValue(name, FromFloat(value, 18));
}

void TStringConfigList::SetFloat2(const std::string& name, double value) { SetFloat(name, value); }

void TStringConfigList::SetInteger(const std::string& name, int32_t value) {
  SetValue(name, FromInteger(value));
}

void TStringConfigList::SetValue(const std::string& name, const std::string& value) {
  const int32_t index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  const std::string line = name + NameValueSeparator + value;
  if (index >= 0)
    FItems[static_cast<size_t>(index)].Line = line;
  else
    Append(line);
}

void TStringConfigList::SetObjectOf(const std::string& line, TListObject* object) {
  FItems[static_cast<size_t>(IndexOfExistingLine(line))].Object = object;
}

void TStringConfigList::SetFloatAt(int32_t index, double value) {
  SetValueFromIndex(index, FromFloat(value, 18));
}

void TStringConfigList::SetValueAt(int32_t index, const std::string& value) {
  std::string line = NameOf(index) + NameValueSeparator + value;
  At(index).Line = std::move(line);
}

void TStringConfigList::SetObjectAt(int32_t index, TListObject* object) {
  At(index).Object = object;
}

void TStringConfigList::SetIntegerAt(int32_t index, int32_t value) {
  SetValueFromIndex(index, FromInteger(value));
}

// Positions 29 to 33 of the host's interface carry no behaviour in this module.
void TStringConfigList::Reserved29(int32_t) {}
void TStringConfigList::Reserved30(int32_t, double) {}
void TStringConfigList::Reserved31(int32_t, double) {}
void TStringConfigList::Reserved32(int32_t) {}
void TStringConfigList::Reserved33(int32_t) {}

void TStringConfigList::ValueFromIndex2(int32_t index, std::string& value) {
  ValueFromIndex(index, value);
}

void TStringConfigList::SetValueFromIndex(int32_t index, const std::string& value) {
  if (value.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  // A negative index means "a new line"; any other index must name an existing one, which
  // NameOf checks before the line changes.
  if (index < 0) index = Append(std::string());
  std::string line = NameOf(index) + NameValueSeparator + value;
  At(index).Line = std::move(line);
}

void TStringConfigList::NameAt(int32_t index, std::string& name) { name = NameOf(index); }

void TStringConfigList::CommaText(std::string& text) { text = QuotedJoin(FItems, ','); }

void TStringConfigList::DelimitedText(std::string& text) { text = QuotedJoin(FItems, Delimiter); }

void TStringConfigList::Text(std::string& text) {
  std::string result;
  for (const TStringItem& item : FItems) {
    result += item.Line;
    result += "\r\n";
  }
  text = std::move(result);
}

int32_t TStringConfigList::Count() { return static_cast<int32_t>(FItems.size()); }

int32_t TStringConfigList::AddValue(const std::string& name, const std::string& value) {
  return Append(name + NameValueSeparator + value);
}

int32_t TStringConfigList::AddInteger(const std::string& name, int32_t value) {
  return AddValue(name, FromInteger(value));
}

int32_t TStringConfigList::AddFloat(const std::string& name, double value) {
  return AddValue(name, FromFloat(value, 10));
}

int32_t TStringConfigList::AddFloat2(const std::string& name, double value) {
  return AddFloat(name, value);
}

int32_t TStringConfigList::AddBoolean(const std::string& name, bool value) {
  return AddValue(name, FromBoolean(value));
}

int32_t TStringConfigList::AddObject(const std::string& line, TListObject* object) {
  return Append(line, object);
}

void TStringConfigList::WithValue(const std::string& name, const std::string& value,
                                  TOutList& list) {
  AddValue(name, value);
  list = Self();
}

void TStringConfigList::WithInteger(const std::string& name, int32_t value, TOutList& list) {
  AddInteger(name, value);
  list = Self();
}

void TStringConfigList::WithFloat(const std::string& name, double value, TOutList& list) {
  AddFloat(name, value);
  list = Self();
}

void TStringConfigList::WithFloat2(const std::string& name, double value, TOutList& list) {
  WithFloat(name, value, list);
}

void TStringConfigList::WithBoolean(const std::string& name, bool value, TOutList& list) {
  AddBoolean(name, value);
  list = Self();
}

void TStringConfigList::WithObject(const std::string& line, TListObject* object, TOutList& list) {
  AddObject(line, object);
  list = Self();
}

int32_t TStringConfigList::Add(const std::string& line) { return Append(line); }

void TStringConfigList::WithLine(const std::string& line, TOutList& list) {
  Add(line);
  list = Self();
}

void TStringConfigList::Join(const std::string& separator, std::string& text) {
  if (FItems.empty()) return;
  std::string result = FItems.front().Line;
  for (size_t i = 1; i < FItems.size(); ++i) {
    result += separator;
    result += FItems[i].Line;
  }
  text = std::move(result);
}

bool TStringConfigList::FindName(const std::string& name, int32_t& index) {
  index = IndexOfName(name);
  return index >= 0;
}

bool TStringConfigList::HasValueAt(int32_t index) {
  if (index < 0) return false;
  return At(index).Line.find(NameValueSeparator) != std::string::npos;
}

bool TStringConfigList::ContainsLine(const std::string& line) { return IndexOfLine(line) >= 0; }

TStringItems* TStringConfigList::Strings() { return &FItems; }

bool TStringConfigList::ContainsName(const std::string& name) { return IndexOfName(name) >= 0; }

void TStringConfigList::Clear() { FItems.clear(); }

void TStringConfigList::FreeObjects() {
  // One object may be attached to several lines; it is freed once, and every line that held it
  // is left without an object.
  std::unordered_set<TListObject*> freed;
  for (TStringItem& item : FItems) {
    TListObject* object = std::exchange(item.Object, nullptr);
    if (object && freed.insert(object).second) {
      const std::unique_ptr<TListObject> owner(object);
    }
  }
}

void TStringConfigList::Remove(const std::string& nameOrLine) {
  int32_t index = IndexOfName(nameOrLine);
  if (index < 0) index = IndexOfLine(nameOrLine);
  if (index >= 0) Delete(index);
}

TIntfPtr<IStringConfigList> NewStringConfigList() { return MakeObject<TStringConfigList>(); }
