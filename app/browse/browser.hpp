// The browse screen of one folder tree. For now it holds the root and its
// title and answers the keys that leave it; browsing itself comes later.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/app_env.hpp"
#include "app/opener.hpp"
#include "app/term/events.hpp"
#include "core/base/error.hpp"

namespace bramwex::app {

// Starts an external program; the error is the start failure's errno.
using Spawn = std::function<std::optional<int>(const Command&)>;

class Browser {
  public:
    Browser(std::string root, std::string title, AppEnv env, std::optional<uint64_t> volume_used,
            bool reclaimable)
        : root_(std::move(root)),
          title_(std::move(title)),
          env_(std::move(env)),
          volume_used_(volume_used),
          reclaimable_(reclaimable) {}

    const std::string& root() const { return root_; }
    const std::string& title() const { return title_; }
    const AppEnv& env() const { return env_; }
    void set_si(bool si) { env_.si = si; }

    // The root folder is shown (no folder entered below it).
    bool at_root() const { return true; }
    bool editing_filter() const { return false; }
    bool unreadable_shown() const { return false; }
    bool largest_shown() const { return false; }

    // True when the browser asks to leave: Esc, 'q'.
    bool handle_key(const term::KeyEvent& key, const Spawn& spawn);
    void handle_mouse(const term::MouseEvent&, std::chrono::system_clock::time_point) {}
    void drain_events(std::chrono::system_clock::time_point) {}

    // Stops following and saves the scan; nothing to save yet.
    std::optional<core::Error> stop_and_save() { return std::nullopt; }

  private:
    std::string root_;
    std::string title_;
    AppEnv env_;
    std::optional<uint64_t> volume_used_;
    bool reclaimable_;
};

}  // namespace bramwex::app
