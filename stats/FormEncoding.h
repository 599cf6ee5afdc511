#pragma once
// The collection servers' form encoding of a statistics body: the text goes
// in one field "data", ASCII letters and digits stay as they are, a space
// becomes "_" and every other byte "%" plus two uppercase hexadecimal digits.
// ("_" itself is escaped, so the mapping can be reversed.) Pure functions.

#include <optional>
#include <string>
#include <string_view>

namespace engine {

// "data=" + the encoded text.
std::string FormEncodeData(std::string_view text);
// The inverse of FormEncodeData; nullopt for a body that is not one.
std::optional<std::string> FormDecodeData(std::string_view body);

}  // namespace engine
