#include "core/labels/label_rules.hpp"

namespace bramwex::core {

namespace {

// clang-format off
constexpr NameRule kNameRules[] = {
    {"node_modules",      no_condition(),               "cache: npm",        "npm install rebuilds it"},
    {"bower_components",  no_condition(),               "cache: bower",      "bower install rebuilds it"},
    {".next",             no_condition(),               "cache: next.js",    "Next.js build output: next build rebuilds it"},
    {".nuxt",             no_condition(),               "cache: nuxt",       "Nuxt build output: nuxt build rebuilds it"},
    {".svelte-kit",       no_condition(),               "cache: sveltekit",  "SvelteKit build output: rebuilt on the next build"},
    {".turbo",            no_condition(),               "cache: turborepo",  "Turborepo cache: rebuilt on the next build"},
    {".parcel-cache",     no_condition(),               "cache: parcel",     "Parcel cache: rebuilt on the next build"},
    {".angular",          no_condition(),               "cache: angular",    "Angular CLI cache: rebuilt on the next build"},
    {".docusaurus",       no_condition(),               "cache: docusaurus", "Docusaurus build cache: rebuilt on the next build"},
    {".expo",             no_condition(),               "cache: expo",       "Expo cache: rebuilt on the next start"},
    {"target",            sibling_file({"Cargo.toml"}), "cache: cargo",      "Rust build output: cargo build rebuilds it"},
    {"target",            sibling_file({"pom.xml"}),    "cache: maven",      "Maven build output: mvn package rebuilds it"},
    {".gradle",           no_condition(),               "cache: gradle",     "Gradle caches: rebuilt on the next build"},
    {"build",             sibling_file({"build.gradle", "build.gradle.kts"}),
                                                        "cache: gradle",     "Gradle build output: rebuilt on the next build"},
    {"__pycache__",       no_condition(),               "cache: python",     "Python bytecode: rebuilt on import"},
    {".pytest_cache",     no_condition(),               "cache: pytest",     "pytest cache: rebuilt on the next run"},
    {".mypy_cache",       no_condition(),               "cache: mypy",       "mypy cache: rebuilt on the next run"},
    {".ruff_cache",       no_condition(),               "cache: ruff",       "ruff cache: rebuilt on the next run"},
    {".tox",              no_condition(),               "cache: tox",        "tox environments: rebuilt on the next run"},
    {".nox",              no_condition(),               "cache: nox",        "nox environments: rebuilt on the next run"},
    {".ipynb_checkpoints", no_condition(),              "cache: jupyter",    "Jupyter autosaves of notebooks you have saved since"},
    {".venv",             contains("pyvenv.cfg"),       "cache: venv",       "a Python virtualenv: recreate it from the project's requirements"},
    {"venv",              contains("pyvenv.cfg"),       "cache: venv",       "a Python virtualenv: recreate it from the project's requirements"},
    {"DerivedData",       no_condition(),               "cache: xcode",      "Xcode build output: rebuilt on the next build"},
    {"Pods",              sibling_file({"Podfile"}),    "cache: cocoapods",  "CocoaPods dependencies: pod install restores them"},
    {".build",            sibling_file({"Package.swift"}), "cache: swiftpm",  "Swift package build output: swift build rebuilds it"},
    {".dart_tool",        no_condition(),               "cache: dart",       "Dart tool cache: rebuilt by dart pub get"},
    {"_build",            sibling_file({"mix.exs"}),    "cache: elixir",     "Elixir build output: mix compile rebuilds it"},
    {"deps",              sibling_file({"mix.exs"}),    "cache: elixir",     "Elixir dependencies: mix deps.get restores them"},
    {".stack-work",       no_condition(),               "cache: stack",      "Haskell Stack build output: stack build rebuilds it"},
    {"dist-newstyle",     no_condition(),               "cache: cabal",      "Cabal build output: cabal build rebuilds it"},
    {".terraform",        no_condition(),               "cache: terraform",  "Terraform providers and modules: terraform init restores them"},
    {".zig-cache",        no_condition(),               "cache: zig",        "Zig build cache: rebuilt on the next build"},
    {".cache",            no_condition(),               "cache",             "caches of command-line tools: rebuilt on demand"},
    {"Caches",            parent_named("Library"),      "cache",             "app caches: apps rebuild them, though some start slower once"},
};

constexpr PathRule kPathRules[] = {
    {"~/.Trash",                                         "trash",                "the Trash: empty it in Finder"},
    {"~/Downloads",                                      "downloads",            "downloaded files, often old installers and archives"},
    {"~/Library/Developer/Xcode/Archives",               "xcode archives",       "app archives: delete old ones in Xcode, Window > Organizer"},
    {"~/Library/Developer/Xcode/iOS DeviceSupport",      "xcode device support", "debug symbols per iOS version: downloaded again when a device connects"},
    {"~/Library/Developer/CoreSimulator",                "simulators",           "iOS simulators and their data: xcrun simctl delete unavailable removes old ones"},
    {"~/Library/Application Support/MobileSync/Backup",  "device backups",       "iPhone and iPad backups: manage them in Finder, under the device"},
    {"~/Library/Containers/com.docker.docker",           "docker",               "Docker Desktop's disk image: docker system prune frees space in it"},
    {"~/Library/Mail",                                   "mail",                 "Mail's copy of your messages and attachments"},
    {"~/Library/Messages",                               "messages",             "Messages history and attachments: Settings > Messages can keep less"},
    {"~/Pictures/Photos Library.photoslibrary",          "photos",               "the Photos library: manage it in Photos, never in Finder"},
    {"~/Library/Android/sdk",                            "android sdk",          "Android SDK and emulator images: manage them in Android Studio"},
    {"~/.rustup/toolchains",                             "rust toolchains",      "Rust toolchains: rustup toolchain uninstall removes old ones"},
    {"~/.cargo/registry",                                "cargo registry",       "downloaded crates: cargo downloads them again when needed"},
    {"~/.npm",                                           "npm cache",            "npm's download cache: npm cache clean --force empties it"},
    {"~/go/pkg/mod",                                     "go modules",           "the Go module cache: go clean -modcache empties it"},
    {"~/.ollama/models",                                 "ollama models",        "Ollama model weights: ollama rm removes one"},
    {"/private/var/vm",                                  "swap",                 "swap and the sleep image: managed by macOS"},
    {"/private/var/folders",                             "temporary",            "per-user temporary files and caches: macOS cleans them up"},
};
// clang-format on

}  // namespace

std::span<const NameRule> name_rules() {
    return kNameRules;
}

std::span<const PathRule> path_rules() {
    return kPathRules;
}

}  // namespace bramwex::core
