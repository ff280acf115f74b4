#include "core/sys/fsevents_firmlinks.hpp"

#include "core/base/read_whole_file.hpp"

namespace bramwex::core::sys {

std::optional<FirmlinkPair> Firmlinks::next() {
    while (!rest_.empty()) {
        const size_t end = rest_.find('\n');
        const std::string_view line = rest_.substr(0, end);
        rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end + 1);
        const size_t tab = line.find('\t');
        if (line.empty() || tab == std::string_view::npos) {
            continue;
        }
        FirmlinkPair pair{std::string(line.substr(0, tab)), std::string(kDataVolumePrefix)};
        pair.data.append(line.substr(tab + 1));
        return pair;
    }
    return std::nullopt;
}

std::vector<FirmlinkPair> read_firmlinks(const std::string& path) {
    std::vector<FirmlinkPair> pairs;
    const auto text = read_whole_file(path);
    if (!text) {
        return pairs;
    }
    Firmlinks lines(std::string_view(reinterpret_cast<const char*>(text->data()), text->size()));
    while (auto pair = lines.next()) {
        pairs.push_back(std::move(*pair));
    }
    return pairs;
}

}  // namespace bramwex::core::sys
