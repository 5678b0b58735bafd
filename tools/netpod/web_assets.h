// The page that `netpod serve` serves, built into the tool (web/*, embedded by
// web/embed.cmake).
#pragma once

#include <string_view>

namespace netpod::tool::serve {

std::string_view PageHtml();
std::string_view PageScript();
std::string_view PageStyle();

}  // namespace netpod::tool::serve
