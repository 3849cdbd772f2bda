// The busy marker of a push button as the dialog logic uses it: a working text and a bar laid on
// the button while a slow call blocks, restored afterwards. Free of the toolkit's headers.
#pragma once

#include <cstdint>
#include <string>

#include "intf/intfPtr.h"

class QPushButton;

class IButtonProgress : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{8BCFF438-C0C4-4194-B7F9-30305B3D7A08}");
  // The working text for a later Attach; an attached button keeps its caption.
  virtual void SetText(const std::string& text) = 0;  // 1
  virtual void SetPosition(int32_t position) = 0;     // 2
  virtual void Attach(QPushButton* control) = 0;      // 3
  // Puts the saved caption back and enables the button; the bar stays until destruction.
  virtual void Detach() = 0;  // 4

 protected:
  ~IButtonProgress() = default;
};
