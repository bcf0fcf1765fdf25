#pragma once

#include <string_view>

namespace kelvo {

// Wildcards of a set's filters: "*" any run, "?" one character, letters without regard to case;
// "*.*" matches every name.
bool MatchesPattern(std::string_view name, std::string_view pattern);

} // namespace kelvo
