#include "core/tree/path_order.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace bramwex::core {

namespace {

int sign_of(int order) {
    return (order > 0) - (order < 0);
}

// Orders "x" and "y", each followed by '/' when more is true and by the end of
// the path otherwise, as the bytes of the two paths from there on would
// order; nothing when the bytes so far are the same (equal folder names) or a
// name holds a '/', where what follows decides.
std::optional<int> step(std::string_view x, bool x_more, std::string_view y, bool y_more) {
    const size_t common = std::min(x.size(), y.size());
    const auto [at_x, at_y] = std::mismatch(x.begin(), x.begin() + common, y.begin());
    if (at_x != x.begin() + common) {
        return static_cast<unsigned char>(*at_x) < static_cast<unsigned char>(*at_y) ? -1 : 1;
    }
    if (x.size() == y.size()) {
        if (x_more == y_more) {
            return x_more ? std::nullopt : std::optional<int>(0);
        }
        return x_more ? 1 : -1;  // the path that ends is a prefix of the other
    }
    // One name is a prefix of the other: its path goes on with '/' or ends.
    const bool x_shorter = x.size() < y.size();
    const char next = x_shorter ? y[x.size()] : x[y.size()];
    if (!(x_shorter ? x_more : y_more)) {
        return x_shorter ? -1 : 1;
    }
    if (next == '/') {
        return std::nullopt;
    }
    const bool slash_first = '/' < static_cast<unsigned char>(next);
    return slash_first == x_shorter ? -1 : 1;
}

}  // namespace

int PathOrder::compare(uint32_t folder_a, std::string_view name_a, uint32_t folder_b,
                       std::string_view name_b) {
    const Parting parting = ladder_.part(folder_a, folder_b);
    if (parting.a == Parting::kNone && parting.b == Parting::kNone) {
        return sign_of(name_a.compare(name_b));
    }
    // On the side whose folder holds the other's, the path ends with the
    // file's name; on the other it goes on with a folder.
    const bool a_ends = parting.a == Parting::kNone;
    const bool b_ends = parting.b == Parting::kNone;
    const std::optional<int> order = step(a_ends ? name_a : ladder_.name_of(parting.a), !a_ends,
                                          b_ends ? name_b : ladder_.name_of(parting.b), !b_ends);
    return order ? *order : compare_paths(folder_a, name_a, folder_b, name_b);
}

std::string PathOrder::path_of(uint32_t folder) {
    const std::vector<uint32_t> folders = ladder_.chain(folder);
    std::string path;
    for (auto at = folders.rbegin(); at != folders.rend(); ++at) {
        path += ladder_.name_of(*at);
        path += '/';
    }
    return path;
}

int PathOrder::compare_paths(uint32_t folder_a, std::string_view name_a, uint32_t folder_b,
                             std::string_view name_b) {
    const std::string a = path_of(folder_a) + std::string(name_a);
    const std::string b = path_of(folder_b) + std::string(name_b);
    return sign_of(a.compare(b));
}

}  // namespace bramwex::core
