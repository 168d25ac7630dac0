#include "ui/hint_rules.h"

#include "catalogue/catalogue.h"

namespace kv {

bool IsNumberedHint(const std::string& hint) {
    if (hint.empty() || hint.size() > 3) return false;
    for (char c : hint) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::string HintText(const Catalogue& catalogue, const std::string& hint) {
    if (!IsNumberedHint(hint)) return hint;
    std::uint16_t number = 0;
    for (char c : hint) number = static_cast<std::uint16_t>(number * 10 + (c - '0'));
    return catalogue.Text(number);
}

std::optional<std::uint16_t> MessageNumberOfTag(std::int64_t tag) {
    if (tag <= 0) return std::nullopt;
    return static_cast<std::uint16_t>(tag % 65536);
}

}  // namespace kv
