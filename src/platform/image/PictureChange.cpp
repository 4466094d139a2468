#include "platform/image/PictureChange.h"

#include <climits>

namespace ostrovane::platform {

namespace {
// Parts a change keeps before it merges them, so that a producer that damages
// many small places does not grow the list without bound.
constexpr std::size_t kMostKeptParts = 64;
}  // namespace

std::uint64_t areaOf(const PixelRect& rect) {
    return std::uint64_t{rect.width} * rect.height;
}

void mergeParts(std::vector<PixelRect>& parts) {
    while (parts.size() > 1) {
        std::size_t a = 0, b = 1;
        std::int64_t least = INT64_MAX;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            for (std::size_t j = i + 1; j < parts.size(); ++j) {
                const auto waste = std::int64_t(areaOf(parts[i].united(parts[j]))) -
                                   std::int64_t(areaOf(parts[i]) + areaOf(parts[j]));
                if (waste < least) {
                    least = waste;
                    a = i;
                    b = j;
                }
            }
        }
        if (least > 0 && parts.size() <= kMostChangedParts)
            return;
        parts[a] = parts[a].united(parts[b]);
        parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(b));
    }
}

void PictureChange::add(const PixelRect& part) {
    if (all || part.empty())
        return;
    parts.push_back(part);
    if (parts.size() > kMostKeptParts)
        mergeParts(parts);
}

void PictureChange::add(const PictureChange& later) {
    if (later.all) {
        all = true;
        parts.clear();
        return;
    }
    for (const PixelRect& part : later.parts)
        add(part);
}

}  // namespace ostrovane::platform
