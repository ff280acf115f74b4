// The module function `live`: every argument is converted and checked before
// the live thread starts, so a refused call leaves nothing running.

#include <array>
#include <cmath>
#include <limits>

#include "binding/args.hpp"
#include "binding/live_notifier.hpp"
#include "binding/live_object.hpp"
#include "binding/log_bridge.hpp"
#include "binding/text.hpp"
#include "core/base/fatal.hpp"
#include "core/base/working_folder.hpp"

namespace bramwex::binding {

namespace {

constexpr std::array<const char*, 4> kLiveNames = {"path", "interval", "threads", "shown_only"};
constexpr double kDefaultInterval = 0.5;

// Seconds as a whole count of nanoseconds, rounded to the nearest (ties to
// even) from the float's exact binary value; none with ValueError set.
std::optional<std::chrono::nanoseconds> duration_from_seconds(double seconds) {
    if (seconds < 0.0) {
        raise(PyExc_ValueError, "cannot convert float seconds to Duration: value is negative");
        return std::nullopt;
    }
    if (!(seconds < 18446744073709551616.0)) {  // NaN and 2^64 or more
        raise(PyExc_ValueError,
              "cannot convert float seconds to Duration: value is either too big or NaN");
        return std::nullopt;
    }
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    // seconds = mantissa * 2^(exponent - 53), the mantissa below 2^53.
    const auto mantissa = static_cast<unsigned __int128>(std::ldexp(fraction, 53));
    const int shift = exponent - 53;
    const unsigned __int128 scaled = mantissa * 1'000'000'000u;
    unsigned __int128 nanos = 0;
    if (shift >= 0) {
        nanos = scaled << shift;
    } else if (-shift < 127) {
        const int right = -shift;
        nanos = scaled >> right;
        const unsigned __int128 rest = scaled - (nanos << right);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (right - 1);
        if (rest > half || (rest == half && (nanos & 1) != 0)) {
            ++nanos;
        }
    }
    if (nanos / 1'000'000'000u >= (static_cast<unsigned __int128>(1) << 64)) {
        raise(PyExc_ValueError,
              "cannot convert float seconds to Duration: value is either too big or NaN");
        return std::nullopt;
    }
    // Past 292 years the tick never comes anyway.
    const auto most = static_cast<unsigned __int128>(std::numeric_limits<int64_t>::max());
    return std::chrono::nanoseconds(static_cast<int64_t>(std::min(nanos, most)));
}

}  // namespace

PyObject* live_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_object([&]() -> Ref {
        std::array<PyObject*, 4> slots{};
        if (!bind_arguments({"live", kLiveNames, 1}, args, nargs, kwnames, slots)) {
            return {};
        }
        const auto path = path_argument(slots[0], "path");
        if (!path) {
            return {};
        }
        double interval = kDefaultInterval;
        if (slots[1] != nullptr) {
            interval = PyFloat_AsDouble(slots[1]);
            if (interval == -1.0 && PyErr_Occurred()) {
                name_argument_in_error("interval");
                return {};
            }
        }
        core::ScanOptions options;
        if (!threads_argument(slots[2], options.threads)) {
            return {};
        }
        bool shown_only = false;
        if (slots[3] != nullptr) {
            if (!PyBool_Check(slots[3])) {
                return raise(PyExc_TypeError, "argument 'shown_only': '" + type_name_of(slots[3]) +
                                                  "' object cannot be converted to 'PyBool'");
            }
            shown_only = slots[3] == Py_True;
        }
        install_log_bridge();
        const auto expanded = expand_user_path(*path);
        if (!expanded) {
            return {};
        }
        const auto tick = duration_from_seconds(interval);
        if (!tick) {
            return {};
        }
        PyLive live;
        live.path = *expanded;
        live.queue = std::make_shared<LiveQueue>();
        live.waker = std::make_shared<AsyncWaker>();
        live.async_on = std::make_shared<std::atomic<uint8_t>>(0);
        live.faults = std::make_shared<LiveFaults>();
        core::LiveSettings settings;
        // Rescans and event paths must not move when the working folder changes.
        settings.root = core::pinned_to_working_folder(*expanded);
        settings.interval = *tick;
        settings.options = std::move(options);
        settings.watch = true;
        settings.shown_only = shown_only;
        settings.event_faults.overflow_requests = live.faults->overflows;
        settings.event_faults.max_user_watches = live.faults->max_user_watches;
        settings.step_hook = [faults = live.faults](core::LiveStep at) {
            if (at == core::LiveStep::Tick && faults->fail_at_tick.exchange(false)) {
                core::fatal("failure injected by a test");
            }
        };
        auto notifier = std::make_unique<EventNotifier>(live.queue, live.waker, live.async_on);
        live.handle.emplace(core::start_live(std::move(settings), std::move(notifier)));
        return live_into_py(std::move(live));
    });
}

}  // namespace bramwex::binding
