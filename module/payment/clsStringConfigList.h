// The payment details list a payment method hands to the host: ordered name=value text lines
// behind IStringConfigList, plus the text conversions the list's typed operations use.
#pragma once

#include <string>
#include <string_view>

#include "intf/clsInterfacedObject.h"
#include "intf/intfStringConfigList.h"

// Text conversions shared by the list's typed operations. Strict forms raise
// std::invalid_argument naming the text; Try forms report failure and leave out untouched.
namespace StringConfigText {

bool TryToInteger(std::string_view text, int32_t& out);
bool TryToFloat(std::string_view text, double& out);
bool TryToBoolean(std::string_view text, bool& out);
bool TryToDateTime(std::string_view text, TDateTime& out);

int32_t ToInteger(std::string_view text);
double ToFloat(std::string_view text);
bool ToBoolean(std::string_view text);
TDateTime ToDateTime(std::string_view text);

std::string FromInteger(int32_t value);
std::string FromBoolean(bool value);
// Fixed notation rounded to `significant` digits, always shown with 18 decimals.
std::string FromFloat(double value, int significant);

// Case-insensitive equality of two texts (ASCII letters; other bytes compare as they are).
bool SameText(std::string_view a, std::string_view b);

// `lines` joined by `delimiter`; a line holding a control character, a space, a double quote or
// the delimiter is quoted with its inner quotes doubled. One empty line gives "" so that it
// survives a round trip.
std::string QuotedJoin(const TStringItems& lines, char delimiter);

}  // namespace StringConfigText

class TStringConfigList final : public TImplements<TInterfacedObject, IStringConfigList> {
 public:
  static constexpr char Delimiter = ';';
  static constexpr char QuoteChar = '"';
  static constexpr char NameValueSeparator = '=';

  TStringConfigList() = default;

  void GetFirst(std::string& line) override;
  void GetLast(std::string& line) override;
  bool ValueAsBoolean(const std::string& name) override;
  double ValueAsFloat(const std::string& name) override;
  double ValueAsFloat2(const std::string& name) override;
  int32_t ValueAsInteger(const std::string& name) override;
  TListObject* ObjectOf(const std::string& line) override;
  void Value(const std::string& name, std::string& value) override;
  double ValueFromIndexAsFloat(int32_t index) override;
  void ValueFromIndex(int32_t index, std::string& value) override;
  int32_t ValueFromIndexAsInteger(int32_t index) override;
  TListObject* ObjectAt(int32_t index) override;
  void ValueOrLine(int32_t index, std::string& value) override;
  bool LineAsBoolean(int32_t index) override;
  TDateTime LineAsDateTime(int32_t index) override;
  double LineAsFloat(int32_t index) override;
  int32_t LineAsInteger(int32_t index) override;
  void Line(int32_t index, std::string& line) override;
  void SetBoolean(const std::string& name, bool value) override;
  void SetFloat(const std::string& name, double value) override;
  void SetFloat2(const std::string& name, double value) override;
  void SetInteger(const std::string& name, int32_t value) override;
  void SetValue(const std::string& name, const std::string& value) override;
  void SetObjectOf(const std::string& line, TListObject* object) override;
  void SetFloatAt(int32_t index, double value) override;
  void SetValueAt(int32_t index, const std::string& value) override;
  void SetObjectAt(int32_t index, TListObject* object) override;
  void SetIntegerAt(int32_t index, int32_t value) override;
  void Reserved29(int32_t value) override;
  void Reserved30(int32_t index, double value) override;
  void Reserved31(int32_t index, double value) override;
  void Reserved32(int32_t value) override;
  void Reserved33(int32_t value) override;
  void ValueFromIndex2(int32_t index, std::string& value) override;
  void SetValueFromIndex(int32_t index, const std::string& value) override;
  void NameAt(int32_t index, std::string& name) override;
  void CommaText(std::string& text) override;
  void DelimitedText(std::string& text) override;
  void Text(std::string& text) override;
  int32_t Count() override;
  int32_t AddValue(const std::string& name, const std::string& value) override;
  int32_t AddInteger(const std::string& name, int32_t value) override;
  int32_t AddFloat(const std::string& name, double value) override;
  int32_t AddFloat2(const std::string& name, double value) override;
  int32_t AddBoolean(const std::string& name, bool value) override;
  int32_t AddObject(const std::string& line, TListObject* object) override;
  void WithValue(const std::string& name, const std::string& value, TOutList& list) override;
  void WithInteger(const std::string& name, int32_t value, TOutList& list) override;
  void WithFloat(const std::string& name, double value, TOutList& list) override;
  void WithFloat2(const std::string& name, double value, TOutList& list) override;
  void WithBoolean(const std::string& name, bool value, TOutList& list) override;
  void WithObject(const std::string& line, TListObject* object, TOutList& list) override;
  int32_t Add(const std::string& line) override;
  void WithLine(const std::string& line, TOutList& list) override;
  void Join(const std::string& separator, std::string& text) override;
  bool FindName(const std::string& name, int32_t& index) override;
  bool HasValueAt(int32_t index) override;
  bool ContainsLine(const std::string& line) override;
  TStringItems* Strings() override;
  bool ContainsName(const std::string& name) override;
  void Clear() override;
  void FreeObjects() override;
  void Remove(const std::string& nameOrLine) override;

 private:
  TStringItem& At(int32_t index);
  int32_t IndexOfName(std::string_view name) const;
  int32_t IndexOfLine(std::string_view line) const;
  int32_t IndexOfExistingLine(const std::string& line) const;
  int32_t Append(std::string line, TListObject* object = nullptr);
  void Delete(int32_t index);
  std::string NameOf(int32_t index);
  std::string ValueOf(const std::string& name) const;
  TOutList Self();

  TStringItems FItems;
};

// A new, empty payment details list.
TIntfPtr<IStringConfigList> NewStringConfigList();
