// The data behind folder labels: the folder-name table, the known-places table
// and the two fixed labels (protected folder, tagged cache). Only data lives
// here; labels.hpp says how it is applied. Every text is a string literal, so a
// Label can refer to it for as long as the process runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "core/base/fatal.hpp"

namespace bramwex::core {

enum class ConditionKind : uint8_t {
    None = 0,         // the name alone decides
    SiblingFile = 1,  // one of names exists in the folder's parent
    ParentNamed = 2,  // the parent folder is called names[0]
    Contains = 3,     // names[0] exists inside the folder
};

// What must hold besides the folder's name. Room for a few names keeps the
// tables constant data; a longer list fails to compile.
struct NameCondition {
    static constexpr size_t kMaxNames = 4;

    ConditionKind kind = ConditionKind::None;
    std::array<std::string_view, kMaxNames> names_storage{};
    size_t name_count = 0;

    constexpr std::span<const std::string_view> names() const {
        return {names_storage.data(), name_count};
    }
    constexpr std::string_view name() const { return names_storage[0]; }
};

constexpr NameCondition no_condition() {
    return {};
}

constexpr NameCondition sibling_file(std::initializer_list<std::string_view> names) {
    if (names.size() == 0 || names.size() > NameCondition::kMaxNames) {
        fatal("a sibling-file condition names 1 to {} files", NameCondition::kMaxNames);
    }
    NameCondition condition{ConditionKind::SiblingFile};
    for (const std::string_view name : names) {
        condition.names_storage[condition.name_count++] = name;
    }
    return condition;
}

constexpr NameCondition parent_named(std::string_view name) {
    return {ConditionKind::ParentNamed, {name}, 1};
}

constexpr NameCondition contains(std::string_view name) {
    return {ConditionKind::Contains, {name}, 1};
}

// One row of the folder-name table.
struct NameRule {
    std::string_view folder;  // the folder's name, exact bytes
    NameCondition condition;
    std::string_view text;
    std::string_view why;
};

// One row of the known-places table.
struct PathRule {
    std::string_view path;  // a leading "~" stands for the home folder's real path
    std::string_view text;
    std::string_view why;
};

struct FixedLabel {
    std::string_view text;
    std::string_view why;
};

// The immutable inode flag: nobody, root included, can change or delete the
// folder until the flag is cleared.
inline constexpr FixedLabel kProtectedLabel{
    "system", "Linux keeps it from being changed or deleted: marked immutable (chattr +i)"};

// The Cache Directory Tagging convention: a file of this name inside the
// folder whose first bytes are the signature.
inline constexpr std::string_view kCacheTagName = "CACHEDIR.TAG";
inline constexpr std::string_view kCacheTagSignature =
    "Signature: 8a477f597d28d172789f06886806bc55";
inline constexpr FixedLabel kCacheTagLabel{
    "cache", "the tool that made it marked it a cache (CACHEDIR.TAG): rebuilt on demand"};

// Folder-name rules, tried in order; the first match wins.
std::span<const NameRule> name_rules();

// Known places, tried in order against real paths; the first match wins.
std::span<const PathRule> path_rules();

}  // namespace bramwex::core
