// Payment details list: ordered text lines, most of them name=value, that a payment method hands
// to the host. A line's name is the text before its first "=", its value the text after it.
// Names and lines compare without regard to letter case; the first match wins. Operations that
// take an index raise std::out_of_range outside 0..Count()-1 unless stated; strict conversions
// raise std::invalid_argument on bad text, lenient ones return the stated default. The list is
// counted and may outlive the payment method that made it. User-interface thread.
#pragma once

#include <string>
#include <vector>

#include "intf/intfPtr.h"

// An object that may be attached to a line. The list does not own it; FreeObjects deletes it.
class TListObject {
 public:
  virtual ~TListObject() = default;
};

// The list's own lines, as Strings() exposes them (uncounted, owned by the list).
struct TStringItem {
  std::string Line;
  TListObject* Object = nullptr;
};
using TStringItems = std::vector<TStringItem>;

class IStringConfigList : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{F6E10E87-DF36-40E3-BB1E-F10BAD1B413F}");
  using TOutList = TIntfPtr<IStringConfigList>;

  // 1: out the first line; untouched when the list is empty.
  virtual void GetFirst(std::string& line) = 0;
  // 2: out the last line; untouched when the list is empty.
  virtual void GetLast(std::string& line) = 0;
  // 3: the value of name as "True"/"False" or a number (non-zero: true); lenient, false.
  virtual bool ValueAsBoolean(const std::string& name) = 0;
  // 4: the value of name as a number; lenient, 0.
  virtual double ValueAsFloat(const std::string& name) = 0;
  // 5: as 4.
  virtual double ValueAsFloat2(const std::string& name) = 0;
  // 6: the value of name as a decimal integer; lenient, 0.
  virtual int32_t ValueAsInteger(const std::string& name) = 0;
  // 7: the object attached to the first line equal to line; std::out_of_range when none is.
  virtual TListObject* ObjectOf(const std::string& line) = 0;
  // 8: out the value of name; empty when no line has that name.
  virtual void Value(const std::string& name, std::string& value) = 0;
  // 9: 10 as a number; lenient, 0.
  virtual double ValueFromIndexAsFloat(int32_t index) = 0;
  // 10: out the value of the line at index; empty for a line without "=" and for index < 0.
  virtual void ValueFromIndex(int32_t index, std::string& value) = 0;
  // 11: 10 as a decimal integer; lenient, 0.
  virtual int32_t ValueFromIndexAsInteger(int32_t index) = 0;
  // 12: the object attached to the line at index (nullptr: none).
  virtual TListObject* ObjectAt(int32_t index) = 0;
  // 13: as 10, but the whole line when it has no "=".
  virtual void ValueOrLine(int32_t index, std::string& value) = 0;
  // 14: the whole line as "True"/"False" or a number; strict.
  virtual bool LineAsBoolean(int32_t index) = 0;
  // 15: the whole line as yyyy-mm-dd with an optional hh:mm[:ss], or as a number of days; strict.
  virtual TDateTime LineAsDateTime(int32_t index) = 0;
  // 16: the whole line as a number; strict.
  virtual double LineAsFloat(int32_t index) = 0;
  // 17: the whole line as a decimal integer; strict.
  virtual int32_t LineAsInteger(int32_t index) = 0;
  // 18: out the line at index.
  virtual void Line(int32_t index, std::string& line) = 0;
  // 19: 23 with "True" or "False".
  virtual void SetBoolean(const std::string& name, bool value) = 0;
  // 20: 23 with the number in fixed notation, 18 significant digits, 18 decimals.
  virtual void SetFloat(const std::string& name, double value) = 0;
  // 21: as 20.
  virtual void SetFloat2(const std::string& name, double value) = 0;
  // 22: 23 with the decimal text.
  virtual void SetInteger(const std::string& name, int32_t value) = 0;
  // 23: the first line of name becomes name=value, or such a line is appended; an empty value
  //     deletes the first line of name instead.
  virtual void SetValue(const std::string& name, const std::string& value) = 0;
  // 24: attach object to the first line equal to line; std::out_of_range when none is.
  virtual void SetObjectOf(const std::string& line, TListObject* object) = 0;
  // 25: 35 with the number as in 20.
  virtual void SetFloatAt(int32_t index, double value) = 0;
  // 26: the line at index becomes its name, "=" and value; the line stays for an empty value.
  virtual void SetValueAt(int32_t index, const std::string& value) = 0;
  // 27: attach object to the line at index.
  virtual void SetObjectAt(int32_t index, TListObject* object) = 0;
  // 28: 35 with the decimal text.
  virtual void SetIntegerAt(int32_t index, int32_t value) = 0;
  // 29 to 33: no effect; they keep the places of the host's operations.
  virtual void Reserved29(int32_t value) = 0;
  virtual void Reserved30(int32_t index, double value) = 0;
  virtual void Reserved31(int32_t index, double value) = 0;
  virtual void Reserved32(int32_t value) = 0;
  virtual void Reserved33(int32_t value) = 0;
  // 34: as 10.
  virtual void ValueFromIndex2(int32_t index, std::string& value) = 0;
  // 35: as 26, index < 0 appending a new line first; an empty value deletes the line at index
  //     (nothing for index < 0).
  virtual void SetValueFromIndex(int32_t index, const std::string& value) = 0;
  // 36: out the name of the line at index; empty when it has no "=".
  virtual void NameAt(int32_t index, std::string& name) = 0;
  // 37: out the lines joined by ","; a line holding a blank, a control character, a double quote
  //     or "," is enclosed in double quotes, inner ones doubled. One empty line gives two quotes.
  virtual void CommaText(std::string& text) = 0;
  // 38: as 37 with ";" in place of ",".
  virtual void DelimitedText(std::string& text) = 0;
  // 39: out every line followed by CR LF, the last one too.
  virtual void Text(std::string& text) = 0;
  // 40: the number of lines.
  virtual int32_t Count() = 0;
  // 41: append name=value, whether or not the name exists; result: the new line's index.
  virtual int32_t AddValue(const std::string& name, const std::string& value) = 0;
  // 42: 41 with the decimal text.
  virtual int32_t AddInteger(const std::string& name, int32_t value) = 0;
  // 43: 41 with the number in fixed notation, 10 significant digits, 18 decimals.
  virtual int32_t AddFloat(const std::string& name, double value) = 0;
  // 44: as 43.
  virtual int32_t AddFloat2(const std::string& name, double value) = 0;
  // 45: 41 with "True" or "False".
  virtual int32_t AddBoolean(const std::string& name, bool value) = 0;
  // 46: append line with object attached; result: the new line's index.
  virtual int32_t AddObject(const std::string& line, TListObject* object) = 0;
  // 47: as 41, then out a counted reference to this list (for chained calls).
  virtual void WithValue(const std::string& name, const std::string& value, TOutList& list) = 0;
  // 48: as 42, then out the list as 47.
  virtual void WithInteger(const std::string& name, int32_t value, TOutList& list) = 0;
  // 49: as 43, then out the list as 47.
  virtual void WithFloat(const std::string& name, double value, TOutList& list) = 0;
  // 50: as 49.
  virtual void WithFloat2(const std::string& name, double value, TOutList& list) = 0;
  // 51: as 45, then out the list as 47.
  virtual void WithBoolean(const std::string& name, bool value, TOutList& list) = 0;
  // 52: as 46, then out the list as 47.
  virtual void WithObject(const std::string& line, TListObject* object, TOutList& list) = 0;
  // 53: append line unchanged; result: the new line's index.
  virtual int32_t Add(const std::string& line) = 0;
  // 54: as 53, then out the list as 47.
  virtual void WithLine(const std::string& line, TOutList& list) = 0;
  // 55: out the lines joined by separator; untouched when the list is empty.
  virtual void Join(const std::string& separator, std::string& text) = 0;
  // 56: out the index of the first line of name (-1: none); true when found.
  virtual bool FindName(const std::string& name, int32_t& index) = 0;
  // 57: true when the line at index holds "="; false for index < 0.
  virtual bool HasValueAt(int32_t index) = 0;
  // 58: true when a line equals line.
  virtual bool ContainsLine(const std::string& line) = 0;
  // 59: the list's own lines, uncounted; valid as long as the list lives.
  virtual TStringItems* Strings() = 0;
  // 60: true when a line has that name.
  virtual bool ContainsName(const std::string& name) = 0;
  // 61: remove every line; attached objects are not deleted.
  virtual void Clear() = 0;
  // 62: delete every attached object once, leaving each line without one.
  virtual void FreeObjects() = 0;
  // 63: delete the first line of that name, else the first line equal to the text, else nothing.
  virtual void Remove(const std::string& nameOrLine) = 0;

 protected:
  ~IStringConfigList() = default;
};
