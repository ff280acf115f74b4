// Live following of a large tree: how soon after one file changes the
// Changed event arrives, how long the rescan of that change takes on its
// own, and what a followed tree holds in memory, the event stream's
// watches included.
//
//   bramwex_live_bench [ROOT] [--samples N] [--interval-ms N]
//
// ROOT defaults to the tree bench/make_tree.py builds (/tmp/bramwex-bench/full).
// Probe files named ".bramwex-live-probe" are written into folders of the
// tree and removed again.
#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/live/live.hpp"
#include "core/live/rescan.hpp"
#include "core/scan/scan.hpp"

namespace {

using namespace bramwex::core;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Arrival {
    Clock::time_point at;
    LiveItem item;
};

class Arrivals {
  public:
    void add(LiveItem item) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back({Clock::now(), std::move(item)});
        }
        arrived_.notify_all();
    }
    // The next item, or none after the limit.
    std::optional<Arrival> next(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, limit, [&] { return !queue_.empty(); })) {
            return std::nullopt;
        }
        Arrival arrival = std::move(queue_.front());
        queue_.pop_front();
        return arrival;
    }

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Arrival> queue_;
};

class Sink : public EventSink {
  public:
    explicit Sink(std::shared_ptr<Arrivals> arrivals) : arrivals_(std::move(arrivals)) {}
    void emit(LiveItem item) override { arrivals_->add(std::move(item)); }

  private:
    std::shared_ptr<Arrivals> arrivals_;
};

// Resident memory of this process in bytes.
uint64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0;
    uint64_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

// The kernel's slab memory, system-wide: what the watches cost the kernel
// shows as its growth (approximate: anything else on the system counts too).
std::optional<uint64_t> kernel_slab_bytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib) {
        std::getline(meminfo, unit);
        if (key == "Slab:") {
            return kib * 1024;
        }
    }
    return std::nullopt;
}

// Watches held by inotify descriptors of this process.
size_t inotify_watches() {
    size_t watches = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fdinfo")) {
        std::ifstream info(entry.path());
        std::string line;
        while (std::getline(info, line)) {
            watches += line.starts_with("inotify wd:");
        }
    }
    return watches;
}

// The bytes a Tree holds, counted from its parts.
uint64_t tree_bytes(const Tree& tree) {
    uint64_t bytes = tree.folders.capacity() * sizeof(FolderRecord);
    bytes += tree.reclaimable_sizes.capacity() * sizeof(uint64_t);
    for (const FileRecord& file : tree.files) {
        bytes += sizeof(FileRecord) + file.name.capacity();
    }
    // The names its folders use (the table is shared with later trees,
    // which may be adding to it).
    std::vector<bool> used(tree.names->size(), false);
    for (const FolderRecord& record : tree.folders) {
        if (!used[record.name_id]) {
            used[record.name_id] = true;
            bytes += sizeof(std::string) + 8 + tree.name_at(record.name_id).size();
        }
    }
    bytes += tree.folder_index.capacity() * (sizeof(DeviceFile) + sizeof(uint32_t) + 1);
    const DerivedIndex& derived = tree.compute_index();
    bytes += derived.totals.capacity() * 8 + derived.reclaimable_totals.capacity() * 8 +
             derived.flags.capacity() * 2 + derived.child_offsets.capacity() * 4 +
             derived.children.capacity() * 4;
    return bytes;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string mib(uint64_t bytes) {
    return fmt::format("{:.1f} MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

void write_probe(const std::string& path, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    const std::string data(size, 'p');
    if (::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
        std::perror(path.c_str());
    }
    ::close(fd);
}

struct Percentiles {
    double median;
    double p90;
    double max;
};

Percentiles percentiles(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[static_cast<size_t>(q * (values.size() - 1))]; };
    return {at(0.5), at(0.9), values.back()};
}

}  // namespace

int main(int argc, char** argv) {
    std::string root = "/tmp/bramwex-bench/full";
    int samples = 20;
    int interval_ms = 10;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--samples" && k + 1 < argc) {
            samples = std::atoi(argv[++k]);
        } else if (arg == "--interval-ms" && k + 1 < argc) {
            interval_ms = std::atoi(argv[++k]);
        } else {
            root = arg;
        }
    }

    const uint64_t rss_before = resident_bytes();
    const auto marks_before = kernel_slab_bytes();
    auto arrivals = std::make_shared<Arrivals>();
    LiveSettings settings;
    settings.root = root;
    settings.interval = std::chrono::milliseconds(interval_ms);
    const auto started = Clock::now();
    LiveHandle handle = start_live(settings, std::make_unique<Sink>(arrivals));

    std::shared_ptr<const Tree> tree;
    while (!tree) {
        auto arrival = arrivals->next(600s);
        if (!arrival || !arrival->item) {
            fmt::print(stderr, "no Ready: {}\n", arrival ? arrival->item.error().to_string() : "");
            return 1;
        }
        if (const auto* ready = std::get_if<Event::Ready>(&arrival->item->value)) {
            tree = ready->tree;
        }
    }
    const auto scanned = Clock::now();
    fmt::print("root {}: {} folders, scanned in {:.2f} s; following through the {}\n", root,
               tree->record_count(), std::chrono::duration<double>(scanned - started).count(),
               handle.control().follows_all ? "event stream" : "polling of shown folders");
    if (!handle.control().follows_all) {
        fmt::print(stderr, "the event stream did not start; nothing to measure\n");
        return 1;
    }

    // The stream adds a watch to every folder and replays what changed
    // during the scan; wait until the watch count stops growing.
    size_t watches = 0;
    for (;;) {
        std::this_thread::sleep_for(500ms);
        const size_t now = inotify_watches();
        if (now == watches && now > 0) {
            break;
        }
        watches = now;
    }
    std::this_thread::sleep_for(1s);
    while (arrivals->next(10ms)) {
    }
    const uint64_t rss_following = resident_bytes();
    const auto marks_following = kernel_slab_bytes();

    // Probes in folders picked at random from the tree.
    std::vector<uint32_t> folders;
    for (uint32_t k = 1; k < tree->record_count(); ++k) {
        if (!(tree->folders[k].flags & (kFlagRemoved | kFlagOtherDevice | kFlagUnreadable))) {
            folders.push_back(k);
        }
    }
    std::mt19937 random(7);
    std::vector<double> latencies;
    for (int sample = 0; sample < samples; ++sample) {
        const uint32_t folder = folders[random() % folders.size()];
        const std::string path = tree->absolute_path(folder) + "/.bramwex-live-probe";
        for (const bool create : {true, false}) {
            const auto changed_at = Clock::now();
            if (create) {
                write_probe(path, 20000);
            } else {
                ::unlink(path.c_str());
            }
            for (;;) {
                auto arrival = arrivals->next(5s);
                if (!arrival) {
                    fmt::print(stderr, "no Changed for {}\n", path);
                    return 1;
                }
                const auto* event =
                    arrival->item ? std::get_if<Event::Changed>(&arrival->item->value) : nullptr;
                if (event != nullptr && !event->changes.empty()) {
                    latencies.push_back(ms(arrival->at - changed_at));
                    break;
                }
            }
            std::this_thread::sleep_for(150ms);  // let the stream go quiet between probes
        }
    }
    const Percentiles event_latency = percentiles(latencies);

    const uint64_t held = tree_bytes(*tree);
    handle.close();

    // The rescan of one changed file on its own, with the copy of the tree
    // that a Changed event carries.
    auto pool = build_pool(std::nullopt);
    Tree copy = tree->clone();
    LinkHolders link_holders;  // none kept: the probes are single-link files
    std::vector<double> rescans;
    std::vector<double> clones;
    for (int sample = 0; sample < samples; ++sample) {
        const uint32_t folder = folders[random() % folders.size()];
        const std::string relative = copy.relative_path(folder) + "/.bramwex-live-probe";
        write_probe(root + "/" + relative, 20000);
        ChangeSets changes;
        changes.changed.push_back(relative);
        auto t0 = Clock::now();
        auto outcome = rescan_folders(copy, link_holders, changes, {}, *pool);
        auto t1 = Clock::now();
        const Tree handed_out = copy.clone();
        auto t2 = Clock::now();
        ::unlink((root + "/" + relative).c_str());
        rescan_folders(copy, link_holders, changes, {}, *pool);
        if (!outcome || outcome->changes.empty()) {
            fmt::print(stderr, "rescan found nothing for {}\n", relative);
            return 1;
        }
        rescans.push_back(ms(t1 - t0));
        clones.push_back(ms(t2 - t1));
    }
    const Percentiles rescan = percentiles(rescans);
    const Percentiles clone = percentiles(clones);

    fmt::print("tick {} ms, stream latency 50 ms, {} probes (create and delete each)\n",
               interval_ms, samples);
    fmt::print("Changed after one file changed: median {:.1f} ms, p90 {:.1f} ms, max {:.1f} ms\n",
               event_latency.median, event_latency.p90, event_latency.max);
    fmt::print(
        "rescan of the parent folder alone: median {:.2f} ms, p90 {:.2f} ms, max {:.2f} ms\n",
        rescan.median, rescan.p90, rescan.max);
    fmt::print("copy of the tree for the event: median {:.2f} ms, p90 {:.2f} ms\n", clone.median,
               clone.p90);
    fmt::print("memory: tree {} ({:.0f} bytes a folder), process resident +{} while following\n",
               mib(held), static_cast<double>(held) / tree->record_count(),
               mib(rss_following - rss_before));
    fmt::print("watches: {} inotify watches", watches);
    if (marks_before && marks_following) {
        fmt::print(", kernel slab +{} (system-wide)",
                   mib(*marks_following > *marks_before ? *marks_following - *marks_before : 0));
    }
    fmt::print("\n");
    return 0;
}
