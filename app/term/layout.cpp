// Vertical splits by fixed heights and weighted shares.
#include "app/term/layout.hpp"

#include <algorithm>

namespace bramwex::term {

std::vector<Rect> split_rows(Rect area, std::span<const Constraint> constraints) {
    std::vector<uint16_t> heights(constraints.size(), 0);
    uint32_t left = area.height;
    uint32_t weights = 0;
    for (size_t i = 0; i < constraints.size(); ++i) {
        if (constraints[i].kind == Constraint::Kind::Length) {
            heights[i] = static_cast<uint16_t>(std::min<uint32_t>(constraints[i].value, left));
            left -= heights[i];
        } else {
            weights += constraints[i].value;
        }
    }
    if (weights > 0) {
        uint32_t shared = left;
        bool remainder_given = false;
        for (size_t i = 0; i < constraints.size(); ++i) {
            if (constraints[i].kind != Constraint::Kind::Fill || constraints[i].value == 0) {
                continue;
            }
            uint32_t share = shared * constraints[i].value / weights;
            if (!remainder_given) {
                // The integer division leaves rows over; the first fill takes them.
                uint32_t given = 0;
                for (const auto& c : constraints) {
                    if (c.kind == Constraint::Kind::Fill) {
                        given += shared * c.value / weights;
                    }
                }
                share += shared - given;
                remainder_given = true;
            }
            heights[i] = static_cast<uint16_t>(share);
        }
    }
    std::vector<Rect> rows;
    rows.reserve(constraints.size());
    uint16_t y = area.y;
    for (uint16_t height : heights) {
        rows.push_back(Rect{area.x, y, area.width, height});
        y = static_cast<uint16_t>(y + height);
    }
    return rows;
}

}  // namespace bramwex::term
