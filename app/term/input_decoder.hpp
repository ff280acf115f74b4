// Turns the bytes a terminal sends into key and mouse events. Pure: no
// descriptors, no clock; one decoder per input stream.
//
// Bytes understood: printable UTF-8; CR and LF (Enter), Tab, 0x7F and 0x08
// (Backspace), other C0 bytes as Ctrl+letter; ESC alone (Esc) or before a key
// (that key with ALT); CSI and SS3 sequences for the cursor keys, Home, End,
// PageUp, PageDown, Insert, Delete, BackTab and F1-F12, with xterm modifier
// parameters (`CSI 1;5A` is Ctrl+Up); mouse reports in SGR (`CSI < b;x;y M`
// or `m`), urxvt (`CSI b;x;y M`) and X10 (`CSI M` and three bytes) form.
// Anything else that starts like a sequence is dropped whole, never typed,
// also one with more parameter bytes than any terminal sends (dropped up to
// its final byte, however the reads cut it).
//
// Reads may cut a sequence anywhere: an unfinished one at the end of a read
// (`ESC [` and parameters without a final byte, `ESC O`, `CSI M` without its
// three bytes, part of a UTF-8 character) is kept and decoded with the next
// read, so it gives what it would have given in one read. The exception is a
// lone ESC as the very last byte of a read: that is the Esc key at once, as no
// key should wait for a timer. A sequence whose ESC ends one read is therefore
// taken as Esc followed by the plain keys of the rest.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/term/events.hpp"

namespace bramwex::term {

class InputDecoder {
  public:
    // Decodes the bytes of one read, after the unfinished tail of the last,
    // and appends the events to `events` in order.
    void feed(std::string_view bytes, std::vector<InputEvent>& events);

    // Whether an unfinished sequence waits for more bytes.
    bool waiting() const { return !pending_.empty() || in_overlong_; }

  private:
    std::string pending_;
    bool in_overlong_ = false;  // inside an over-long sequence, before its final byte
};

}  // namespace bramwex::term
