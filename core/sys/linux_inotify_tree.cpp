#include "core/sys/linux_inotify_tree.hpp"

#include <algorithm>

namespace bramwex::core::sys::detail {

void WatchTree::set_root(int wd, std::string path) {
    clear();
    root_ = wd;
    nodes_[wd] = Node{-1, std::move(path), {}};
}

WatchTree::Added WatchTree::add(int parent, std::string_view name, int wd) {
    if (const auto known = nodes_.find(wd); known != nodes_.end()) {
        const bool same_place = known->second.parent == parent && known->second.name == name;
        return same_place ? Added::Known : Added::Elsewhere;
    }
    const auto parent_node = nodes_.find(parent);
    if (parent_node == nodes_.end()) {
        return Added::Elsewhere;
    }
    nodes_[wd] = Node{parent, std::string(name), {}};
    take_place(wd, parent, name);
    return Added::New;
}

std::optional<int> WatchTree::child(int parent, std::string_view name) const {
    const auto node = nodes_.find(parent);
    if (node == nodes_.end()) {
        return std::nullopt;
    }
    const auto found = node->second.children.find(absl::string_view(name.data(), name.size()));
    if (found == node->second.children.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::pair<int, std::string_view>> WatchTree::place_of(int wd) const {
    const auto node = nodes_.find(wd);
    if (node == nodes_.end()) {
        return std::nullopt;
    }
    return std::pair<int, std::string_view>{node->second.parent, node->second.name};
}

std::string WatchTree::join(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (!path.ends_with('/')) {
        path.push_back('/');
    }
    path.append(name);
    return path;
}

std::optional<std::vector<const std::string*>> WatchTree::names_of(int wd) const {
    // Each step goes one parent up, so more steps than nodes means a loop.
    std::vector<const std::string*> names;
    auto node = nodes_.find(wd);
    for (size_t steps = 0; node != nodes_.end() && steps <= nodes_.size(); ++steps) {
        names.push_back(&node->second.name);
        if (node->first == root_) {
            std::ranges::reverse(names);
            return names;
        }
        node = nodes_.find(node->second.parent);
    }
    return std::nullopt;
}

std::optional<std::string> WatchTree::path_of(int wd) const {
    const auto names = names_of(wd);
    if (!names) {
        return std::nullopt;
    }
    std::string path = *names->front();
    for (size_t i = 1; i < names->size(); ++i) {
        path = join(path, *(*names)[i]);
    }
    return path;
}

bool WatchTree::is_within(int wd, int ancestor) const {
    auto node = nodes_.find(wd);
    for (size_t steps = 0; node != nodes_.end() && steps <= nodes_.size(); ++steps) {
        if (node->first == ancestor) {
            return true;
        }
        node = nodes_.find(node->second.parent);
    }
    return false;
}

void WatchTree::unlink_from_parent(int wd, const Node& node) {
    const auto parent = nodes_.find(node.parent);
    if (parent == nodes_.end()) {
        return;
    }
    const auto entry = parent->second.children.find(node.name);
    if (entry != parent->second.children.end() && entry->second == wd) {
        parent->second.children.erase(entry);
    }
}

bool WatchTree::move(int wd, int new_parent, std::string_view new_name) {
    const auto node = nodes_.find(wd);
    if (node == nodes_.end() || !nodes_.contains(new_parent) || wd == root_) {
        return true;  // nothing of ours to move
    }
    if (is_within(new_parent, wd)) {
        return false;
    }
    unlink_from_parent(wd, node->second);
    node->second.parent = new_parent;
    node->second.name = std::string(new_name);
    take_place(wd, new_parent, new_name);
    return true;
}

void WatchTree::take_place(int wd, int parent, std::string_view name) {
    int& at = nodes_[parent].children[std::string(name)];
    if (at != 0 && at != wd && nodes_.contains(at)) {
        displaced_.insert(at);
    }
    at = wd;
    displaced_.erase(wd);
}

std::vector<int> WatchTree::remove_subtree(int wd) {
    std::vector<int> removed;
    const auto top = nodes_.find(wd);
    if (top == nodes_.end()) {
        return removed;
    }
    unlink_from_parent(wd, top->second);
    std::vector<int> pending{wd};
    while (!pending.empty()) {
        const int next = pending.back();
        pending.pop_back();
        const auto node = nodes_.find(next);
        if (node == nodes_.end()) {
            continue;
        }
        for (const auto& [name, child] : node->second.children) {
            // A child renamed over keeps its own place; only true children go.
            const auto child_node = nodes_.find(child);
            if (child_node != nodes_.end() && child_node->second.parent == next) {
                pending.push_back(child);
            }
        }
        nodes_.erase(node);
        removed.push_back(next);
    }
    for (const int gone : removed) {
        displaced_.erase(gone);
    }
    if (wd == root_) {
        root_ = -1;
    }
    // Displaced folders left without the folder they were in.
    std::vector<int> orphans;
    for (const int displaced : displaced_) {
        const auto node = nodes_.find(displaced);
        if (node == nodes_.end() || !nodes_.contains(node->second.parent)) {
            orphans.push_back(displaced);
        }
    }
    for (const int orphan : orphans) {
        displaced_.erase(orphan);
        if (nodes_.contains(orphan)) {
            const auto more = remove_subtree(orphan);
            removed.insert(removed.end(), more.begin(), more.end());
        }
    }
    return removed;
}

std::vector<int> WatchTree::clear() {
    std::vector<int> removed;
    removed.reserve(nodes_.size());
    for (const auto& [wd, node] : nodes_) {
        removed.push_back(wd);
    }
    nodes_.clear();
    displaced_.clear();
    root_ = -1;
    return removed;
}

}  // namespace bramwex::core::sys::detail
