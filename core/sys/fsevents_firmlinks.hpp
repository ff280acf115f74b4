// The firmlink pairs of "/usr/share/firmlinks": a path of the system volume
// and the data-volume path it leads to, so an event reported under either
// name is found under the other. Linux has no such file: no pairs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bramwex::core::sys {

inline constexpr const char* kFirmlinksPath = "/usr/share/firmlinks";
inline constexpr std::string_view kDataVolumePrefix = "/System/Volumes/Data/";

struct FirmlinkPair {
    std::string firmlink;  // the text before the TAB, e.g. "/Applications"
    std::string data;      // kDataVolumePrefix followed by the text after the TAB
    friend bool operator==(const FirmlinkPair&, const FirmlinkPair&) = default;
};

// The pairs of a firmlinks text, one line at a time; empty lines and lines
// without a TAB are skipped. The text must outlive the iterator.
class Firmlinks {
  public:
    explicit Firmlinks(std::string_view text) : rest_(text) {}
    std::optional<FirmlinkPair> next();

  private:
    std::string_view rest_;
};

// Every pair of the file, in file order; none when it cannot be read.
std::vector<FirmlinkPair> read_firmlinks(const std::string& path = kFirmlinksPath);

}  // namespace bramwex::core::sys
