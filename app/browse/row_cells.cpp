#include "app/browse/row_cells.hpp"

#include <fmt/format.h>

#include "app/browse/cells.hpp"
#include "app/term/graphemes.hpp"
#include "core/base/utf8.hpp"
#include "core/output/format.hpp"

namespace bramwex::app {

term::Span name_cell(uint8_t tier, RowKind kind, std::string_view name, const StyleTable& styles) {
    std::string text = core::to_utf8_lossy(name);
    if (kind == RowKind::File) {
        return {std::move(text)};
    }
    term::Style style = styles[Look::FolderName];
    if (tier != core::kNoLabelTier) {
        style = style.patch(styles[static_cast<Look>(9 + tier)]);
    }
    return {text + "/", style};
}

std::vector<term::Span> fit_to_width(std::string_view text, const term::Style& style, size_t max,
                                     const StyleTable& styles) {
    // The term layer's widths, so the cut matches what is drawn.
    if (term::display_width(text) <= max) {
        return {term::Span(std::string(text), style)};
    }
    if (max == 0) {
        return {};
    }
    std::vector<term::Grapheme> graphemes;
    term::GraphemeReader reader(text);
    for (term::Grapheme g; reader.next(g);) {
        graphemes.push_back(g);
    }
    auto bytes_of = [&](size_t from, size_t to) {
        std::string bytes;
        for (size_t k = from; k < to; ++k) {
            bytes += graphemes[k].text;
        }
        return bytes;
    };
    const size_t head_room = max / 2;  // ceil((max - 1) / 2)
    size_t head = 0;
    size_t head_width = 0;
    while (head < graphemes.size() && head_width + graphemes[head].width <= head_room) {
        head_width += graphemes[head++].width;
    }
    const size_t tail_room = (max - 1) / 2 + (head_room - head_width);
    size_t tail = graphemes.size();
    size_t tail_width = 0;
    while (tail > head && tail_width + graphemes[tail - 1].width <= tail_room) {
        tail_width += graphemes[--tail].width;
    }
    return {term::Span(bytes_of(0, head), style), term::Span("…", styles[Look::Quiet]),
            term::Span(bytes_of(tail, graphemes.size()), style)};
}

term::Line concat_spans(const std::vector<std::vector<term::Span>>& groups,
                        const StyleTable& styles) {
    term::Line line;
    for (size_t k = 0; k < groups.size(); ++k) {
        if (k != 0) {
            line.spans.emplace_back(" | ", styles[Look::Quiet]);
        }
        line.spans.insert(line.spans.end(), groups[k].begin(), groups[k].end());
    }
    return line;
}

std::string signed_size(bool si, int64_t change) {
    const uint64_t magnitude =
        change < 0 ? uint64_t{0} - static_cast<uint64_t>(change) : static_cast<uint64_t>(change);
    return (change < 0 ? "-" : "+") + core::format_size(si, magnitude);
}

namespace {

term::Span partial_marker(const RowContext& context, const BrowseRow& row, const RowFacts& facts) {
    return {row.is_folder() && facts.partial ? "+" : " ", (*context.styles)[Look::Quiet]};
}

term::Span change_cell(const RowContext& context, const BrowseRow& row) {
    if (row.change == 0) {
        return {std::string(11, ' ')};
    }
    return {fmt::format("{:>11}", signed_size(context.si, row.change)),
            (*context.styles)[row.change > 0 ? Look::Grew : Look::Shrank]};
}

}  // namespace

term::Line row_line(const RowContext& context, const BrowseRow& row, const RowFacts& facts) {
    const StyleTable& styles = *context.styles;
    std::vector<term::Span> before;
    before.push_back(size_cell(context.si, styles, row.size));
    before.push_back(partial_marker(context, row, facts));
    if (context.current && context.reclaimable) {
        before.push_back(size_cell(context.si, styles, row.reclaimable));
        before.push_back(partial_marker(context, row, facts));
    }
    if (context.current && context.change_column) {
        before.push_back(change_cell(context, row));
    }
    before.emplace_back(" ");
    if (context.current && context.percent) {
        before.emplace_back(percent_cell(row.size, context.folder_total),
                            styles.for_size(context.si, row.size));
        before.emplace_back(" ");
    }
    std::vector<term::Span> after;
    if (row.is_folder() && facts.error) {
        after.emplace_back(fmt::format(" (denied: {})", *facts.error), styles[Look::Denied]);
    } else if (row.is_folder() && facts.other_device) {
        after.emplace_back(" (other device)", styles[Look::Quiet]);
    }
    if (facts.picked) {
        after.emplace_back(" *", styles[Look::PickMark]);
    }
    size_t used = 0;
    for (const auto* spans : {&before, &after}) {
        for (const auto& span : *spans) {
            used += span.width();
        }
    }
    const term::Span name = name_cell(row.tier, row.kind, facts.name, styles);
    term::Line line(std::move(before));
    for (auto& span : fit_to_width(name.text, name.style,
                                   context.width > used ? context.width - used : 0, styles)) {
        line.spans.push_back(std::move(span));
    }
    line.spans.insert(line.spans.end(), after.begin(), after.end());
    return line;
}

}  // namespace bramwex::app
