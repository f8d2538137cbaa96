// Matching of logger names against appender and modifier patterns: an exact name, or a name
// with '*' wildcards that stand for any run of characters. Pure function, any thread.
#pragma once

#include <string_view>

namespace loglib {

bool name_matches(std::string_view pattern, std::string_view name);

}  // namespace loglib
