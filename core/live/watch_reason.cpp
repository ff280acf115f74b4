#include "core/live/watch_reason.hpp"

namespace bramwex::core {

std::string_view reason_text(Reason reason) {
    switch (reason) {
        case Reason::Dropped:
            return "the OS dropped change events";
        case Reason::IdsWrapped:
            return "macOS event ids wrapped";
        case Reason::RootMoved:
            return "the scanned dir moved";
        case Reason::NoReplay:
            return "macOS did not replay the changes made while scanning within 30 s";
        case Reason::MustScan:
            return "the OS asked to scan it again";
    }
    return "the OS dropped change events";
}

std::string_view reason_name(Reason reason) {
    switch (reason) {
        case Reason::Dropped:
            return "Dropped";
        case Reason::IdsWrapped:
            return "IdsWrapped";
        case Reason::RootMoved:
            return "RootMoved";
        case Reason::NoReplay:
            return "NoReplay";
        case Reason::MustScan:
            return "MustScan";
    }
    return "Dropped";
}

std::optional<Reason> reason_from_byte(uint8_t value) {
    if (value > static_cast<uint8_t>(Reason::MustScan)) {
        return std::nullopt;
    }
    return static_cast<Reason>(value);
}

}  // namespace bramwex::core
