#include "core/labels/labels.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/sys/inode_flags.hpp"
#include "temp_dir.hpp"
#include "tree_sketch.hpp"

namespace bramwex::core {

void PrintTo(const Label& label, std::ostream* out) {
    *out << "{tier " << int(label.tier) << ", \"" << label.text << "\", \"" << label.why << "\"}";
}

namespace {

using test::TempDir;

// A layout line: "dir/" is a folder, "a -> b" a symbolic link to b, "name=text"
// a file holding text, anything else an empty file. Parents come for free.
void build_layout(const std::string& root, const std::vector<std::string>& layout) {
    for (const std::string_view line : layout) {
        if (const size_t arrow = line.find(" -> "); arrow != std::string_view::npos) {
            const std::string link = root + "/" + std::string(line.substr(0, arrow));
            test::make_dirs(std::filesystem::path(link).parent_path());
            if (::symlink(std::string(line.substr(arrow + 4)).c_str(), link.c_str()) != 0) {
                test::throw_errno("symlink " + link);
            }
        } else if (line.ends_with('/')) {
            test::make_dirs(root + "/" + std::string(line));
        } else {
            const size_t equals = line.find('=');
            const std::string path = root + "/" + std::string(line.substr(0, equals));
            test::write_file(path, 0);
            if (equals != std::string_view::npos) {
                std::ofstream(path, std::ios::binary) << line.substr(equals + 1);
            }
        }
    }
}

// The label of the folder at relative below a scan of root ("" for the root),
// asked for by the path the tree gives it.
std::optional<Label> label_of(const LabelContext& context, const std::string& root,
                              std::string_view relative) {
    return label_folder_at(context, relative.empty() ? root : root + "/" + std::string(relative),
                           relative);
}

// The text of the label, "tier?" when the tier is not the expected one, or "none".
std::string text_of(const std::optional<Label>& label, Tier tier = Tier::Cache) {
    return !label ? "none" : label->tier != tier ? "tier?" : std::string(label->text);
}

TEST(LabelNameRules, MatchOnlyWhenTheirConditionHolds) {
    // the layout, the folder (relative to the scan root), its label
    const std::tuple<std::vector<std::string>, std::string_view, std::string_view> cases[] = {
        {{"app/node_modules/"}, "app/node_modules", "cache: npm"},
        {{"Node_Modules/"}, "Node_Modules", "none"},  // names compare byte for byte
        {{"p/pom.xml", "p/Cargo.toml", "p/target/"}, "p/target", "cache: cargo"},  // first row wins
        {{"p/Makefile", "p/target/"}, "p/target", "none"},
        {{"Stuff/Caches/"}, "Stuff/Caches", "none"},
        {{"p/target/Cargo.toml"}, "p/target", "none"},                        // inside, not beside
        {{"p/Cargo.toml -> gone", "p/target/"}, "p/target", "cache: cargo"},  // dangling exists
        {{"p/Podfile/", "p/Pods/"}, "p/Pods", "cache: cocoapods"},            // so does a folder
        // Only "not found" and "not a folder" count as missing: through a
        // link loop (ELOOP) the marker may be there.
        {{"loop -> loop"}, "loop/target", "cache: cargo"},
        {{"file"}, "file/target", "none"},
        {{".venv/pyvenv.cfg"}, ".venv", "cache: venv"},
        {{".venv/", "pyvenv.cfg"}, ".venv", "none"},  // beside, not inside
        {{"Library/Caches/"}, "Library/Caches", "cache"},
    };
    for (const auto& [layout, folder, text] : cases) {
        TempDir dir;
        build_layout(dir, layout);
        EXPECT_EQ(text_of(label_of(LabelContext::make(dir.path(), {}), dir, folder)), text)
            << layout.back();
    }
    // The scan root is judged by the path it was given; trailing and doubled
    // separators change neither the name nor the parent.
    TempDir dir;
    build_layout(dir, {"proj/Cargo.toml", "proj/target/", "Library/Caches/"});
    const LabelContext none = LabelContext::make(dir.path(), {});
    EXPECT_EQ(text_of(label_of(none, dir / "Library/Caches/", "")), "cache");
    EXPECT_EQ(text_of(label_of(none, dir / "proj//target//", "")), "cache: cargo");
    EXPECT_EQ(FolderPlace::of("/a").parent_name, std::nullopt);
    EXPECT_EQ(FolderPlace::of("/").parent_path, std::nullopt);
    EXPECT_EQ(FolderPlace::of("dir").parent_path, "");
}

// Sets or clears a folder's immutable flag; false where the file system or
// the process cannot.
bool set_immutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return done;
}

// Makes found a temporary folder on a file system that keeps inode flags,
// where this process may set them; leaves it empty otherwise.
void make_flaggable_temp_dir(std::optional<TempDir>& found) {
    for (const std::string& base : {test::default_temp_base(), std::string("/var/tmp")}) {
        if (set_immutable(found.emplace(base).path(), false)) {
            return;
        }
        found.reset();
    }
}

constexpr const char* kNoFlags =
    "no file system here keeps inode flags, or setting them is not allowed";

TEST(LabelOrder, AnImmutableFolderIsSystemWhateverItsName) {
    std::optional<TempDir> found;
    make_flaggable_temp_dir(found);
    if (!found) {
        GTEST_SKIP() << kNoFlags;
    }
    const TempDir& dir = *found;
    build_layout(dir, {"app/node_modules/", "link -> app/node_modules"});
    const LabelContext context = LabelContext::make(dir.path(), {});
    ASSERT_TRUE(set_immutable(dir / "app/node_modules", true));
    EXPECT_EQ(label_of(context, dir, "app/node_modules"),
              (Label{Tier::System, kProtectedLabel.text, kProtectedLabel.why}));
    // The flag is read from the folder itself, never through a link to it.
    EXPECT_FALSE(sys::is_immutable_folder(dir / "link"));
    ASSERT_TRUE(set_immutable(dir / "app/node_modules", false));
    EXPECT_EQ(text_of(label_of(context, dir, "app/node_modules")), "cache: npm");
}

// A folder nobody may open (mode 000, immutable) is labelled from its
// attributes alone: the browser asks for every row, and opening each folder
// would both fail here and cost a descriptor per row.
TEST(LabelOrder, ALockedImmutableFolderIsSystemWithoutOpeningIt) {
    std::optional<TempDir> found;
    make_flaggable_temp_dir(found);
    if (!found) {
        GTEST_SKIP() << kNoFlags;
    }
    const TempDir& dir = *found;
    build_layout(dir, {"app/node_modules/"});
    const std::string locked = dir / "app/node_modules";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);  // reachable by the child below
    ASSERT_EQ(::chmod((dir / "app").c_str(), 0711), 0);
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    ASSERT_TRUE(set_immutable(locked, true));
    const LabelContext context = LabelContext::make(dir.path(), {});
    // Root opens any folder, so the check runs in a child that is nobody.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(3);
        }
        const int fd = ::open(locked.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::_exit(2);  // this user may open it: the case cannot be shown
        }
        const auto label = label_of(context, dir, "app/node_modules");
        ::_exit(label && label->tier == Tier::System && sys::is_immutable_folder(locked) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(set_immutable(locked, false));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not labelled, 2: the folder opened, 3: no setuid";
}

TEST(LabelCacheTag, OnlyTheSignatureAtTheStartCounts) {
    const std::string tag = "c/CACHEDIR.TAG", sig = "Signature: 8a477f597d28d172789f06886806bc55";
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{tag + "=" + sig + "\n# made by a tool\n"}, true},
        {{tag + "=# " + sig}, false},                                // another first line
        {{tag + "=" + sig.substr(0, sig.size() - 1) + "6"}, false},  // one digit off
        {{tag + "/"}, false},                                        // a folder of that name
        {{"tag=" + sig, tag + " -> ../tag"}, true},                  // a link to a tag file
    };
    for (const auto& [layout, tagged] : cases) {
        SCOPED_TRACE(layout.back());
        TempDir dir;
        build_layout(dir, layout);
        EXPECT_EQ(text_of(label_of(LabelContext::make(dir.path(), {}), dir, "c")),
                  tagged ? "cache" : "none");
    }
    // Name rules come before the tag, which comes before the known places.
    TempDir home;
    build_layout(home, {"node_modules/" + tag.substr(2) + "=" + sig,
                        "Downloads/" + tag.substr(2) + "=" + sig});
    const LabelContext context = LabelContext::make(home.path(), home.path());
    EXPECT_EQ(text_of(label_of(context, home, "node_modules")), "cache: npm");
    EXPECT_EQ(label_of(context, home, "Downloads"),
              (Label{Tier::Cache, kCacheTagLabel.text, kCacheTagLabel.why}));
    // Exactly the prefix is read, past one read's worth; a reader-less fifo
    // ends at once and never waits.
    TempDir dir;
    std::string long_text(1000, 'a');
    long_text[700] = 'b';
    build_layout(dir, {"long=" + long_text});
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_TRUE(file_starts_with(dir / "long", long_text));
    EXPECT_FALSE(file_starts_with(dir / "long", std::string(701, 'a')));
    EXPECT_FALSE(file_starts_with(dir / "long", long_text + "a"));  // past the end
    EXPECT_FALSE(file_starts_with(dir / "fifo", "x"));
}

TEST(LabelKnownPlaces, MatchTheirRealPathOnlyAndNeedAHomeAndARoot) {
    TempDir dir;
    test::make_dirs(dir / "home/Library/Developer/Xcode/iOS DeviceSupport/below");
    // The scan goes through a link, and HOME names another one: both resolve.
    build_layout(dir, {"scan-root -> home", "home-link -> home", "home/Downloads/"});
    const test::ScopedEnv env("HOME", (dir / "home-link").c_str());
    const LabelContext context = LabelContext::from_environment(dir / "scan-root");
    auto text_at = [&](const std::string& place) {
        return text_of(label_of(context, dir / "scan-root", place), Tier::Known);
    };
    EXPECT_EQ(text_at("Library/Developer/Xcode/iOS DeviceSupport"), "xcode device support");
    EXPECT_EQ(text_at("Library/Developer/Xcode/iOS DeviceSupport/below"), "none");
    EXPECT_EQ(text_at("Library"), "none");
    // The scan root itself can be a known place.
    const LabelContext at_downloads = LabelContext::make(dir / "home/Downloads", dir / "home");
    EXPECT_EQ(text_of(label_of(at_downloads, dir / "home/Downloads", ""), Tier::Known),
              "downloads");

    // The absolute places need no home; scanned from "/" they are reached by
    // their real paths alone, existing or not.
    test::TreeSketch sketch("/");
    const uint32_t vm = sketch.folder(sketch.folder(sketch.folder(0, "private"), "var"), "vm");
    const Tree from_root = sketch.build();
    EXPECT_EQ(text_of(label_folder(from_root, LabelContext::make("/", {}), {vm, 0}), Tier::Known),
              "swap");

    // Without a home or a root, only the rest apply.
    for (const char* home : {static_cast<const char*>(nullptr), ""}) {
        const test::ScopedEnv env("HOME", home);
        EXPECT_EQ(LabelContext::from_environment(dir / "home").home_real_path, std::nullopt);
    }
    for (const LabelContext& context : {LabelContext::make(dir / "home", dir / "no-such-home"),
                                        LabelContext::make(dir / "gone", dir / "home")}) {
        EXPECT_EQ(label_of(context, dir / "home", "Downloads"), std::nullopt);
    }
    // A home at the file system root joins without a double slash.
    const PathRule& downloads = *std::ranges::find(path_rules(), "~/Downloads", &PathRule::path);
    EXPECT_TRUE(path_rule_matches(downloads, "/Downloads", "/"));
    EXPECT_FALSE(path_rule_matches(downloads, "//Downloads", "/"));
    EXPECT_FALSE(path_rule_matches(downloads, "/home/u/Downloads2", "/home/u"));
    EXPECT_FALSE(path_rule_matches(downloads, "/home/uDownloads", "/home/u"));
}

}  // namespace
}  // namespace bramwex::core
