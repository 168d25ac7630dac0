// The rules by which the windows turn control tags and short hints into catalogue messages.
// No Qt here, so they are tested and fuzzed without a window system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv {

class Catalogue;

// Whether a hint is a message number: 1 to 3 characters, all decimal digits.
bool IsNumberedHint(const std::string& hint);
// The text a hint shows: for a numbered hint the text of its message (empty when the catalogue
// has none), any other hint as it stands. A short hint that is not a number ("OK", "?") is
// shown as it stands too.
std::string HintText(const Catalogue& catalogue, const std::string& hint);

// The message that a control's tag (or a menu item's help-context number) names: none for 0
// and below, which keep their caption; otherwise the tag modulo 65536, as message numbers
// are 16-bit.
std::optional<std::uint16_t> MessageNumberOfTag(std::int64_t tag);

}  // namespace kv
