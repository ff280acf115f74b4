// The folders the inotify source watches, as a tree of watch descriptors:
// each node knows its parent and its name there, so a folder that is
// renamed inside the root moves with one update and every event's path is
// built from the current names. The root node's name is the root's path.
// Threading: the source's reader thread alone (before it runs, its starter).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

namespace bramwex::core::sys::detail {

class WatchTree {
  public:
    enum class Added {
        New,        // a folder not watched before
        Known,      // the same folder at the same place: already in the tree
        Elsewhere,  // the same folder reached by another path (a bind mount)
    };

    void set_root(int wd, std::string path);
    int root() const { return root_; }  // -1 when no root is attached
    bool contains(int wd) const { return nodes_.contains(wd); }
    size_t size() const { return nodes_.size(); }

    Added add(int parent, std::string_view name, int wd);
    std::optional<int> child(int parent, std::string_view name) const;
    // Where wd was last put: its parent and its name there, even when a
    // folder renamed over it has taken that name since.
    std::optional<std::pair<int, std::string_view>> place_of(int wd) const;
    // Nothing when the table cannot be trusted: wd's chain of parents loops
    // or breaks off before the root.
    std::optional<std::string> path_of(int wd) const;
    // The names from the root down to wd, the root's path first; nothing as
    // for path_of.
    std::optional<std::vector<const std::string*>> names_of(int wd) const;

    // folder + "/" + name, without doubling the '/' of the root "/".
    static std::string join(std::string_view folder, std::string_view name);

    // The folder now sits under new_parent as new_name; a folder already
    // there under that name (renamed over) loses its place. False, and
    // nothing changed, when new_parent is wd or below it: a folder cannot sit
    // inside itself, so the table is out of step with the disk.
    bool move(int wd, int new_parent, std::string_view new_name);

    // Whether wd is ancestor or one of its descendants.
    bool is_within(int wd, int ancestor) const;

    // Forgets wd and everything below it; the forgotten descriptors, wd first.
    // A folder put out of its place (renamed over, or met at it ahead of the
    // rename that took it away) goes too once the folder it was in is gone:
    // no path could be built for it.
    std::vector<int> remove_subtree(int wd);

    // Forgets everything; the forgotten descriptors.
    std::vector<int> clear();

  private:
    struct Node {
        int parent = -1;
        std::string name;
        absl::flat_hash_map<std::string, int> children;
    };
    void unlink_from_parent(int wd, const Node& node);

    // Takes wd into its parent's names, putting out of its place a folder
    // there before it.
    void take_place(int wd, int parent, std::string_view name);

    absl::flat_hash_map<int, Node> nodes_;
    // Folders whose parent no longer lists them by their name.
    absl::flat_hash_set<int> displaced_;
    int root_ = -1;
};

}  // namespace bramwex::core::sys::detail
