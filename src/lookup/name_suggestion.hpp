#pragma once
// "Did you mean …?" for a name a registry or a catalogue does not hold.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "support/function_ref.hpp"

namespace veldra {

// The candidate a mistyped `name` most likely meant: one equal to it ignoring
// ASCII case and surrounding spaces, else the nearest within byte edit
// distance 2 (ties go to the first in byte order). A candidate is never
// suggested when reaching it would replace all of its bytes. nullopt if none.
std::optional<std::string> suggest_name(std::string_view name, std::span<const std::string_view> candidates);

// The note that offers it: "did you mean '<suggestion>'?".
std::string suggestion_note(std::string_view suggestion);

// The same over `count` candidates given one by one by `candidate(i)`.
std::optional<std::string> suggest_name(std::string_view name, std::size_t count,
                                        FunctionRef<std::string_view(std::size_t)> candidate);

}  // namespace veldra
