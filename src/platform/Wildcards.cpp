#include "platform/Wildcards.h"

#include <cstddef>

namespace kelvo {

namespace {

char FoldCase(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool MatchesFrom(std::string_view name, std::string_view pattern)
{
    // Greedy matching with a single back-track point: linear enough for file names, no recursion.
    std::size_t n = 0, p = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace

bool MatchesPattern(std::string_view name, std::string_view pattern)
{
    if (pattern == "*.*")
        return true;
    return MatchesFrom(name, pattern);
}

} // namespace kelvo
