// What became of a give-back the till recorded in SarnGiveBacks, one list for the words written
// and the words compared. The words are the table's Outcome column's; they never change.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "host/store/EnumTexts.h"

enum class TGiveBackOutcome {
  GivenBack,          // the service confirmed the reversal
  FoundReversed,      // a reverse whose answer was lost: the service holds it reversed
  NothingToGiveBack,  // the service holds no live redemption of it
};

namespace GiveBackOutcomeDetail {
inline constexpr std::array<std::string_view, 3> Texts = {"given back", "found reversed",
                                                          "nothing to give back"};
}

constexpr const char* GiveBackOutcomeText(TGiveBackOutcome outcome) {
  return EnumText(GiveBackOutcomeDetail::Texts, outcome);
}

// The outcome a table's text names; none for a text that is none (a row another program wrote).
constexpr std::optional<TGiveBackOutcome> ReadGiveBackOutcome(std::string_view text) {
  return ReadEnumText<TGiveBackOutcome>(GiveBackOutcomeDetail::Texts, text);
}

// Whether the redemption no longer stands at the service.
constexpr bool IsReversedOutcome(TGiveBackOutcome outcome) {
  return outcome == TGiveBackOutcome::GivenBack || outcome == TGiveBackOutcome::FoundReversed;
}
