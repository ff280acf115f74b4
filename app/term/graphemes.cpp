// Grapheme breaks and widths from utf8proc; control characters and invalid
// bytes replaced.
#include "app/term/graphemes.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <string>

namespace bramwex::term {
namespace {

// One decoded code point; `size` bytes long, `valid` false for bytes that are
// not UTF-8 (then `size` is 1, so the reader moves on byte by byte).
struct CodePoint {
    int32_t value;
    size_t size;
    bool valid;
};

CodePoint decode(std::string_view text) {
    utf8proc_int32_t value = 0;
    auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                   static_cast<utf8proc_ssize_t>(text.size()), &value);
    if (length <= 0) {
        return {0, 1, false};
    }
    return {value, static_cast<size_t>(length), true};
}

bool is_control(int32_t value) {
    return value < 0x20 || (value >= 0x7F && value <= 0x9F);
}

// A control character is drawn as U+FFFD, which joins no neighbour: else the
// text drawn after replacement (a U+FFFD then a variation selector, say)
// would split into other clusters, of other widths, than the text measured.
bool stands_alone(int32_t value) {
    return is_control(value) || value == 0xFFFD;
}

constexpr int32_t kEmojiPresentation = 0xFE0F;

bool is_regional_indicator(int32_t value) {
    return value >= 0x1F1E6 && value <= 0x1F1FF;
}

bool is_emoji_modifier(int32_t value) {
    return value >= 0x1F3FB && value <= 0x1F3FF;
}

}  // namespace

bool GraphemeReader::next(Grapheme& grapheme) {
    if (rest_.empty()) {
        return false;
    }
    auto first = decode(rest_);
    if (!first.valid || stands_alone(first.value)) {
        rest_.remove_prefix(first.size);
        grapheme = {kReplacement, 1};
        return true;
    }
    // A terminal gives a cluster the width of its widest code point; an emoji
    // presentation selector, or a pair of regional indicators (a flag), makes
    // it two columns.
    int width = utf8proc_charwidth(first.value);
    size_t length = first.size;
    utf8proc_int32_t state = 0;
    int32_t previous = first.value;
    while (length < rest_.size()) {
        auto following = decode(rest_.substr(length));
        if (!following.valid || stands_alone(following.value) ||
            utf8proc_grapheme_break_stateful(previous, following.value, &state)) {
            break;
        }
        const bool wide =
            following.value == kEmojiPresentation ||
            (is_regional_indicator(previous) && is_regional_indicator(following.value));
        width = wide ? 2 : std::max(width, utf8proc_charwidth(following.value));
        previous = following.value;
        length += following.size;
    }
    grapheme = {rest_.substr(0, length), static_cast<uint8_t>(std::clamp(width, 0, 2))};
    rest_.remove_prefix(length);
    return true;
}

size_t uncertain_reach(std::string_view cluster, size_t width) {
    const auto first = decode(cluster);
    if (first.size >= cluster.size() && !is_emoji_modifier(first.value) &&
        !is_regional_indicator(first.value)) {
        return 0;
    }
    // At the widest, each code point is drawn on its own: a regional
    // indicator or a skin tone as a wide one, a character with an emoji
    // presentation selector as a wide one.
    size_t reach = 0;
    size_t last = 0;
    for (size_t at = 0; at < cluster.size();) {
        const auto point = decode(cluster.substr(at));
        at += point.size;
        if (point.value == kEmojiPresentation) {
            reach += 2 - std::min<size_t>(last, 2);
            last = 2;
            continue;
        }
        last = is_regional_indicator(point.value)
                   ? 2
                   : static_cast<size_t>(std::max(utf8proc_charwidth(point.value), 0));
        reach += last;
    }
    return std::max(reach, width);
}

std::string certain_stand_in(std::string_view cluster, size_t width) {
    const auto first = decode(cluster);
    const auto first_width = static_cast<size_t>(std::max(utf8proc_charwidth(first.value), 0));
    const bool certain = first_width > 0 && first_width <= width &&
                         uncertain_reach(cluster.substr(0, first.size), first_width) == 0;
    std::string stand_in(certain ? cluster.substr(0, first.size) : kReplacement);
    stand_in.append(width - (certain ? first_width : 1), ' ');
    return stand_in;
}

size_t display_width(std::string_view text) {
    size_t width = 0;
    GraphemeReader reader(text);
    Grapheme grapheme;
    while (reader.next(grapheme)) {
        width += grapheme.width;
    }
    return width;
}

}  // namespace bramwex::term
