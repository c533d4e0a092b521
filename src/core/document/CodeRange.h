#pragma once

#include <algorithm>
#include <iterator>
#include <span>

namespace tessaly {

// Code points first..last, in tables sorted by first.
struct CodeRange {
    char32_t first;
    char32_t last;
};

inline bool inRanges(std::span<const CodeRange> ranges, char32_t codePoint)
{
    const auto found = std::upper_bound(ranges.begin(), ranges.end(), codePoint,
                                        [](char32_t c, const CodeRange &range) { return c < range.first; });
    return found != ranges.begin() && codePoint <= std::prev(found)->last;
}

} // namespace tessaly
