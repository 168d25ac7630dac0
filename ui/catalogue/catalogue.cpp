#include "ui/catalogue/catalogue.h"

namespace kv {

// Placeholder until the catalogue reader lands.
void Catalogue::GetMessageText(std::uint16_t, std::string& text) const { text.clear(); }

std::string Catalogue::Text(std::uint16_t number) const {
    std::string text;
    GetMessageText(number, text);
    return text;
}

const char* Catalogue::MessageTextPtr(std::uint16_t number) {
    buffer_[0] = '\0';
    (void)number;
    return buffer_;
}

}  // namespace kv
