#include "core/labels/labels.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/scan/scan.hpp"
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
            const std::string target(line.substr(arrow + 4));
            if (::symlink(target.c_str(), link.c_str()) != 0) {
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

Tree scan(const std::string& root) {
    ScanOptions options;
    options.threads = 2;
    auto tree = scan_tree(root, options);
    if (!tree) {
        throw std::runtime_error("scan failed: " + tree.error().to_string());
    }
    return std::move(*tree);
}

FolderId folder_at(const Tree& tree, std::string_view relative) {
    for (uint32_t index = 0; index < tree.record_count(); ++index) {
        if (tree.relative_path(index) == relative) {
            return {index, tree.generation};
        }
    }
    throw std::runtime_error("no folder " + std::string(relative) + " in the scan");
}

// Scans root and labels the folder at relative (the root itself for "").
std::optional<Label> label_in_scan(const std::string& root, std::string_view relative,
                                   const LabelContext& context) {
    const Tree tree = scan(root);
    return label_folder(tree, context, folder_at(tree, relative));
}

// The text of the label, "tier?" when the tier is not the expected one, or "none".
std::string text_of(const std::optional<Label>& label, Tier tier = Tier::Cache) {
    return !label ? "none" : label->tier != tier ? "tier?" : std::string(label->text);
}

TEST(LabelNameRules, MatchOnlyWhenTheirConditionHolds) {
    struct Case {
        std::vector<std::string> layout;
        std::string_view folder;  // relative to the scan root
        std::string_view text;
    };
    const Case cases[] = {
        {{"app/node_modules/"}, "app/node_modules", "cache: npm"},
        {{"Node_Modules/"}, "Node_Modules", "none"},  // names compare byte for byte
        {{"p/Cargo.toml", "p/target/"}, "p/target", "cache: cargo"},
        {{"p/pom.xml", "p/Cargo.toml", "p/target/"}, "p/target", "cache: cargo"},  // first row wins
        {{"p/Makefile", "p/target/"}, "p/target", "none"},
        {{"Stuff/Caches/"}, "Stuff/Caches", "none"},
        {{"p/target/Cargo.toml"}, "p/target", "none"},                        // inside, not beside
        {{"p/Cargo.toml -> gone", "p/target/"}, "p/target", "cache: cargo"},  // dangling exists
        {{"p/Podfile/", "p/Pods/"}, "p/Pods", "cache: cocoapods"},            // so does a folder
        {{"p/CMakeLists.txt", "p/build/"}, "p/build", "none"},
        {{".venv/pyvenv.cfg"}, ".venv", "cache: venv"},
        {{"venv/pyvenv.cfg -> gone"}, "venv", "cache: venv"},
        {{"venv/bin/"}, "venv", "none"},
        {{".venv/", "pyvenv.cfg"}, ".venv", "none"},  // beside, not inside
        {{"Library/Caches/"}, "Library/Caches", "cache"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout.back());
        TempDir dir;
        build_layout(dir, c.layout);
        EXPECT_EQ(text_of(label_in_scan(dir, c.folder, LabelContext::make(dir.path(), {}))),
                  c.text);
    }
}

TEST(LabelNameRules, TheScanRootIsJudgedByThePathItWasGiven) {
    TempDir dir;
    build_layout(dir, {"proj/Cargo.toml", "proj/target/", "Library/Caches/"});
    const LabelContext none = LabelContext::make(dir.path(), {});
    EXPECT_EQ(text_of(label_in_scan(dir / "proj/target", "", none)), "cache: cargo");
    // A trailing separator does not change the name or the parent.
    EXPECT_EQ(text_of(label_in_scan(dir / "Library/Caches/", "", none)), "cache");
    EXPECT_EQ(text_of(label_in_scan(dir / "proj//target//", "", none)), "cache: cargo");
}

TEST(LabelNameRules, FolderPlaceSplitsTheLastComponentOff) {
    struct Case {
        std::string_view path;
        std::string_view name;
        std::optional<std::string_view> parent_path;
        std::optional<std::string_view> parent_name;
    };
    const Case cases[] = {
        {"/a/b/c", "c", "/a/b", "b"},     {"/a/b/c/", "c", "/a/b", "b"},
        {"/a//b", "b", "/a", "a"},        {"/a", "a", "/", std::nullopt},
        {"//a", "a", "/", std::nullopt},  {"/", "", std::nullopt, std::nullopt},
        {"rel/dir", "dir", "rel", "rel"}, {"dir", "dir", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const FolderPlace place = FolderPlace::of(c.path);
        EXPECT_EQ(place.path, c.path);
        EXPECT_EQ(place.name, c.name);
        EXPECT_EQ(place.parent_path, c.parent_path);
        EXPECT_EQ(place.parent_name, c.parent_name);
    }
}

TEST(LabelNameRules, OnlyNotFoundAndNotAFolderCountAsMissing) {
    TempDir dir;
    build_layout(dir, {"file", "loop -> loop", "ok/Cargo.toml"});
    const NameRule& cargo = *std::ranges::find(name_rules(), "target", &NameRule::folder);
    // lstat of ".../loop/Cargo.toml" fails with ELOOP: the marker may be there.
    EXPECT_TRUE(name_rule_matches(FolderPlace::of(dir / "loop/target"), cargo));
    EXPECT_FALSE(name_rule_matches(FolderPlace::of(dir / "file/target"), cargo));  // ENOTDIR
    EXPECT_FALSE(name_rule_matches(FolderPlace::of(dir / "none/target"), cargo));  // ENOENT
    EXPECT_TRUE(name_rule_matches(FolderPlace::of(dir / "ok/target"), cargo));
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

// Declared after the TempDir, it clears the flag before the folder is removed.
struct ImmutableFolder {
    explicit ImmutableFolder(std::string path) : path(std::move(path)) {
        EXPECT_TRUE(set_immutable(this->path, true)) << this->path;
    }
    ~ImmutableFolder() { EXPECT_TRUE(set_immutable(path, false)) << path; }
    std::string path;
};

TEST(LabelOrder, AnImmutableFolderIsSystemWhateverItsName) {
    std::optional<TempDir> found;
    for (const std::string& base : {test::default_temp_base(), std::string("/var/tmp")}) {
        if (set_immutable(found.emplace(base).path(), false)) {
            break;
        }
        found.reset();
    }
    if (!found) {
        GTEST_SKIP() << "no file system here keeps inode flags, or setting them is not allowed";
    }
    const TempDir& dir = *found;
    build_layout(dir, {"app/node_modules/", "app/plain/", "link -> app/node_modules"});
    const LabelContext context = LabelContext::make(dir.path(), {});
    const Label system{Tier::System, kProtectedLabel.text, kProtectedLabel.why};
    {
        const ImmutableFolder npm(dir / "app/node_modules");
        const ImmutableFolder plain(dir / "app/plain");
        const Tree tree = scan(dir);
        EXPECT_EQ(label_folder(tree, context, folder_at(tree, "app/node_modules")), system);
        EXPECT_EQ(label_folder(tree, context, folder_at(tree, "app/plain")), system);
        // The flag is read from the folder itself, never through a link to it.
        EXPECT_TRUE(sys::is_immutable_folder(dir / "app/node_modules"));
        EXPECT_FALSE(sys::is_immutable_folder(dir / "link"));
    }
    EXPECT_EQ(text_of(label_in_scan(dir, "app/node_modules", context)), "cache: npm");
    EXPECT_EQ(label_in_scan(dir, "app/plain", context), std::nullopt);
}

TEST(LabelOrder, NameRulesComeBeforeTheCacheTagWhichComesBeforeKnownPlaces) {
    TempDir dir;
    const std::string tag = "/CACHEDIR.TAG=Signature: 8a477f597d28d172789f06886806bc55\n";
    build_layout(dir, {"home/node_modules" + tag, "home/Downloads" + tag});
    const LabelContext context = LabelContext::make(dir / "home", dir / "home");
    const Label tagged{Tier::Cache, kCacheTagLabel.text, kCacheTagLabel.why};
    EXPECT_EQ(text_of(label_in_scan(dir / "home", "node_modules", context)), "cache: npm");
    EXPECT_EQ(label_in_scan(dir / "home", "Downloads", context), tagged);
}

TEST(LabelCacheTag, OnlyTheSignatureAtTheStartCounts) {
    const std::string tag = "c/CACHEDIR.TAG", sig = "Signature: 8a477f597d28d172789f06886806bc55";
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{tag + "=" + sig}, true},
        {{tag + "=" + sig + "\n# made by a tool\n"}, true},
        {{tag + "=# " + sig}, false},                                // another first line
        {{tag + "=" + sig.substr(0, sig.size() - 1) + "6"}, false},  // one digit off
        {{tag + "=" + sig.substr(0, sig.size() - 1)}, false},        // cut short
        {{tag}, false},                                              // empty
        {{tag + "/"}, false},                                        // a folder of that name
        {{tag + " -> gone"}, false},
        {{"tag=" + sig, tag + " -> ../tag"}, true},  // a link to a tag file
        {{"c/other"}, false},
    };
    for (const auto& [layout, tagged] : cases) {
        SCOPED_TRACE(layout.back());
        TempDir dir;
        build_layout(dir, layout);
        const auto label = label_in_scan(dir, "c", LabelContext::make(dir.path(), {}));
        if (tagged) {
            EXPECT_EQ(label, (Label{Tier::Cache, "cache", kCacheTagLabel.why}));
        } else {
            EXPECT_EQ(text_of(label), "none");
        }
    }
}

TEST(LabelCacheTag, FileStartsWithReadsExactlyThePrefix) {
    TempDir dir;
    std::string long_text(1000, 'a');
    long_text[700] = 'b';
    build_layout(dir, {"fifo-holder/"});
    const std::string fifo = dir / "fifo-holder/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string file = dir / "long";
    build_layout(dir, {"long=" + long_text});

    EXPECT_TRUE(file_starts_with(file, std::string(700, 'a')));  // longer than one read
    EXPECT_TRUE(file_starts_with(file, long_text));
    EXPECT_FALSE(file_starts_with(file, std::string(701, 'a')));
    EXPECT_FALSE(file_starts_with(file, long_text + "a"));  // past the end
    EXPECT_TRUE(file_starts_with(file, ""));
    EXPECT_FALSE(file_starts_with(dir / "missing", ""));
    EXPECT_FALSE(file_starts_with(fifo, "x"));  // no writer: ends at once, never waits
}

TEST(LabelKnownPlaces, MatchTheirRealPathOnly) {
    TempDir dir;
    const std::pair<std::string, std::string_view> places[] = {
        {"Downloads", "downloads"},
        {"Library/Developer/Xcode/iOS DeviceSupport", "xcode device support"},
    };
    for (const auto& [place, text] : places) {
        test::make_dirs(dir / "home/" + place + "/below");
    }
    // The scan goes through a link, and HOME names another one: both resolve.
    build_layout(dir, {"scan-root -> home", "home-link -> home"});
    const test::ScopedEnv env("HOME", (dir / "home-link").c_str());
    const LabelContext context = LabelContext::from_environment(dir / "scan-root");
    const Tree tree = scan(dir / "scan-root");
    auto text_at = [&](const std::string& place) {
        return text_of(label_folder(tree, context, folder_at(tree, place)), Tier::Known);
    };
    for (const auto& [place, text] : places) {
        EXPECT_EQ(text_at(place), text);
        EXPECT_EQ(text_at(place + "/below"), "none");
    }
    EXPECT_EQ(text_at("Library"), "none");

    // The absolute places need no home; scanned from "/" they are reached by
    // their real paths alone, existing or not.
    test::TreeSketch sketch("/");
    const uint32_t var = sketch.folder(sketch.folder(0, "private"), "var");
    const uint32_t vm = sketch.folder(var, "vm");
    const Tree from_root = sketch.build();
    const LabelContext at_root = LabelContext::make("/", {});
    EXPECT_EQ(text_of(label_folder(from_root, at_root, {vm, 0}), Tier::Known), "swap");
}

TEST(LabelKnownPlaces, WithoutHomeOrRootOnlyTheRestApply) {
    TempDir dir;
    build_layout(dir, {"home/Downloads/old/"});
    {
        const test::ScopedEnv env("HOME", nullptr);
        const LabelContext context = LabelContext::from_environment(dir / "home");
        EXPECT_EQ(context.home_real_path, std::nullopt);
        EXPECT_EQ(label_in_scan(dir / "home", "Downloads", context), std::nullopt);
    }
    // An empty or unresolvable HOME is no home either.
    const LabelContext missing_home = LabelContext::make(dir / "home", dir / "no-such-home");
    EXPECT_EQ(label_in_scan(dir / "home", "Downloads", missing_home), std::nullopt);
    const test::ScopedEnv empty("HOME", "");
    EXPECT_EQ(LabelContext::from_environment(dir / "home").home_real_path, std::nullopt);

    // The scan root itself can be a known place.
    const LabelContext context = LabelContext::make(dir / "home/Downloads", dir / "home");
    EXPECT_EQ(text_of(label_in_scan(dir / "home/Downloads", "", context), Tier::Known),
              "downloads");
    EXPECT_EQ(label_in_scan(dir / "home/Downloads", "old", context), std::nullopt);
    // A root that cannot be resolved turns the known places off.
    const LabelContext lost = LabelContext::make(dir / "gone", dir / "home");
    EXPECT_EQ(lost.root_real_path, std::nullopt);
    EXPECT_EQ(label_in_scan(dir / "home", "Downloads", lost), std::nullopt);
}

TEST(LabelKnownPlaces, AHomeAtTheFileSystemRootJoinsWithoutADoubleSlash) {
    const PathRule& downloads = *std::ranges::find(path_rules(), "~/Downloads", &PathRule::path);
    EXPECT_TRUE(path_rule_matches(downloads, "/Downloads", "/"));
    EXPECT_FALSE(path_rule_matches(downloads, "//Downloads", "/"));
    EXPECT_FALSE(path_rule_matches(downloads, "/Downloads", std::nullopt));
    EXPECT_FALSE(path_rule_matches(downloads, "/home/u/Downloads2", "/home/u"));
    EXPECT_FALSE(path_rule_matches(downloads, "/home/uDownloads", "/home/u"));
    EXPECT_FALSE(path_rule_matches(downloads, "/home/u/x/Downloads", "/home/u"));
}

}  // namespace
}  // namespace bramwex::core
