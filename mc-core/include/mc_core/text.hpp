// Text helpers shared by the core and the binding.
//
// Contract
//  * Text is UTF-8. `trim_white_space` removes the code points with Unicode's
//    White_Space property from both ends and returns the rest as a view into
//    the argument; inner characters are untouched. Bytes that do not decode are
//    taken as themselves and never count as white space.
#pragma once

#include <string_view>

namespace mc_core {

bool is_unicode_white_space(char32_t c);
std::string_view trim_white_space(std::string_view utf8);

}  // namespace mc_core
