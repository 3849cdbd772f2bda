// Payment details list: ordered text lines, most of them name=value, that a payment method hands
// to the host. Names compare without regard to letter case; the first match wins. Operations that
// take an index raise std::out_of_range outside 0..Count()-1 unless stated; strict conversions
// raise std::invalid_argument on bad text. User-interface thread.
#pragma once

#include <string>
#include <vector>

#include "intfPtr.h"

// An object that may be attached to a line; FreeObjects deletes attached objects.
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

  virtual void GetFirst(std::string& line) = 0;                          // 1 (empty: untouched)
  virtual void GetLast(std::string& line) = 0;                           // 2 (empty: untouched)
  virtual bool ValueAsBoolean(const std::string& name) = 0;              // 3 lenient, false
  virtual double ValueAsFloat(const std::string& name) = 0;              // 4 lenient, 0
  virtual double ValueAsFloat2(const std::string& name) = 0;             // 5 as 4
  virtual int32_t ValueAsInteger(const std::string& name) = 0;           // 6 lenient, 0
  virtual TListObject* ObjectOf(const std::string& line) = 0;            // 7
  virtual void Value(const std::string& name, std::string& value) = 0;   // 8
  virtual double ValueFromIndexAsFloat(int32_t index) = 0;               // 9 lenient, 0
  virtual void ValueFromIndex(int32_t index, std::string& value) = 0;    // 10
  virtual int32_t ValueFromIndexAsInteger(int32_t index) = 0;            // 11 lenient, 0
  virtual TListObject* ObjectAt(int32_t index) = 0;                      // 12
  virtual void ValueOrLine(int32_t index, std::string& value) = 0;       // 13
  virtual bool LineAsBoolean(int32_t index) = 0;                         // 14 strict
  virtual TDateTime LineAsDateTime(int32_t index) = 0;                   // 15 strict
  virtual double LineAsFloat(int32_t index) = 0;                         // 16 strict
  virtual int32_t LineAsInteger(int32_t index) = 0;                      // 17 strict
  virtual void Line(int32_t index, std::string& line) = 0;               // 18
  virtual void SetBoolean(const std::string& name, bool value) = 0;      // 19
  virtual void SetFloat(const std::string& name, double value) = 0;      // 20
  virtual void SetFloat2(const std::string& name, double value) = 0;     // 21
  virtual void SetInteger(const std::string& name, int32_t value) = 0;   // 22
  virtual void SetValue(const std::string& name, const std::string& value) = 0;       // 23
  virtual void SetObjectOf(const std::string& line, TListObject* object) = 0;         // 24
  virtual void SetFloatAt(int32_t index, double value) = 0;                          // 25
  virtual void SetValueAt(int32_t index, const std::string& value) = 0;              // 26
  virtual void SetObjectAt(int32_t index, TListObject* object) = 0;                   // 27
  virtual void SetIntegerAt(int32_t index, int32_t value) = 0;                        // 28
  virtual void Reserved29(int32_t value) = 0;                            // 29 no effect
  virtual void Reserved30(int32_t index, double value) = 0;              // 30 no effect
  virtual void Reserved31(int32_t index, double value) = 0;              // 31 no effect
  virtual void Reserved32(int32_t value) = 0;                            // 32 no effect
  virtual void Reserved33(int32_t value) = 0;                            // 33 no effect
  virtual void ValueFromIndex2(int32_t index, std::string& value) = 0;   // 34 as 10
  virtual void SetValueFromIndex(int32_t index, const std::string& value) = 0;  // 35
  virtual void NameAt(int32_t index, std::string& name) = 0;             // 36
  virtual void CommaText(std::string& text) = 0;                         // 37
  virtual void DelimitedText(std::string& text) = 0;                     // 38
  virtual void Text(std::string& text) = 0;                              // 39
  virtual int32_t Count() = 0;                                           // 40
  virtual int32_t AddValue(const std::string& name, const std::string& value) = 0;   // 41
  virtual int32_t AddInteger(const std::string& name, int32_t value) = 0;            // 42
  virtual int32_t AddFloat(const std::string& name, double value) = 0;               // 43
  virtual int32_t AddFloat2(const std::string& name, double value) = 0;              // 44
  virtual int32_t AddBoolean(const std::string& name, bool value) = 0;               // 45
  virtual int32_t AddObject(const std::string& line, TListObject* object) = 0;       // 46
  virtual void WithValue(const std::string& name, const std::string& value, TOutList& list) = 0;  // 47
  virtual void WithInteger(const std::string& name, int32_t value, TOutList& list) = 0;  // 48
  virtual void WithFloat(const std::string& name, double value, TOutList& list) = 0;     // 49
  virtual void WithFloat2(const std::string& name, double value, TOutList& list) = 0;    // 50
  virtual void WithBoolean(const std::string& name, bool value, TOutList& list) = 0;     // 51
  virtual void WithObject(const std::string& line, TListObject* object, TOutList& list) = 0;  // 52
  virtual int32_t Add(const std::string& line) = 0;                                  // 53
  virtual void WithLine(const std::string& line, TOutList& list) = 0;                // 54
  virtual void Join(const std::string& separator, std::string& text) = 0;            // 55
  virtual bool FindName(const std::string& name, int32_t& index) = 0;                // 56
  virtual bool HasValueAt(int32_t index) = 0;                                        // 57
  virtual bool ContainsLine(const std::string& line) = 0;                            // 58
  virtual TStringItems* Strings() = 0;                                               // 59
  virtual bool ContainsName(const std::string& name) = 0;                            // 60
  virtual void Clear() = 0;                                                          // 61
  virtual void FreeObjects() = 0;                                                    // 62
  virtual void Remove(const std::string& nameOrLine) = 0;                            // 63

 protected:
  ~IStringConfigList() = default;
};
