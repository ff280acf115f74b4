// Why live following may have missed changes, with the fixed words each
// reason is shown with. The event stream raises the first three; the live
// loop raises NoReplay and MustScan itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace bramwex::core {

enum class Reason : uint8_t {
    Dropped = 0,     // the OS dropped change events
    IdsWrapped = 1,  // the event id counter wrapped
    RootMoved = 2,   // the scanned folder moved or vanished
    NoReplay = 3,    // no confirmation that the scan-time changes were replayed
    MustScan = 4,    // the OS asked for a folder to be scanned again
};

// The display text, e.g. "the OS dropped change events".
std::string_view reason_text(Reason reason);

// The member name, e.g. "Dropped".
std::string_view reason_name(Reason reason);

// The reason of a stored byte; none for bytes above 4.
std::optional<Reason> reason_from_byte(uint8_t value);

}  // namespace bramwex::core
