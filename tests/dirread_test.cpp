#include "core/sys/dirread.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "core/base/fd.hpp"
#include "core/sys/bulk_reader.hpp"
#include "tests/temp_dir.hpp"

namespace bramwex::core::sys {
namespace {

namespace fs = std::filesystem;
using detail::AttrList;
using detail::BulkListFn;

using test::TempDir;

struct Fd : UniqueFd {
    explicit Fd(int fd) : UniqueFd(fd) {}
    explicit Fd(const std::string& dir) : UniqueFd(open_dir_path(dir).value()) {}
};

bool never() {
    return false;
}

struct Seen {
    std::string name;
    EntryKind kind;
    uint64_t file_id, device, link_count, allocated, reclaimable;
    uint8_t status;
    friend bool operator==(const Seen&, const Seen&) = default;
    friend bool operator<(const Seen& a, const Seen& b) { return a.name < b.name; }
    friend std::ostream& operator<<(std::ostream& os, const Seen& s) {
        return os << s.name << " kind=" << int(s.kind) << " id=" << s.file_id << " dev=" << s.device
                  << " links=" << s.link_count << " alloc=" << s.allocated
                  << " recl=" << s.reclaimable << " status=" << int(s.status);
    }
};

using Listing = std::expected<std::vector<Seen>, int>;

template <class Read>
Listing collect(Read read) {
    std::vector<Seen> out;
    const auto done = read([&](const DirEntry& e) {
        EXPECT_EQ(e.name.back(), '\0');
        out.push_back({std::string(e.name_without_nul()), e.kind, e.file_id, e.device, e.link_count,
                       e.allocated, e.reclaimable, e.status});
    });
    if (!done) {
        return std::unexpected(done.error());
    }
    std::sort(out.begin(), out.end());
    return out;
}

Listing portable(int fd, ReclaimableMode mode = ReclaimableMode::Off) {
    return collect(
        [&](auto sink) { return detail::read_dir_entries_portable(fd, mode, sink, never); });
}
Listing bulk(int fd, ReclaimableMode mode = ReclaimableMode::Off,
             BulkListFn list = detail::linux_bulk_list) {
    return collect(
        [&](auto sink) { return detail::read_dir_entries_bulk(fd, mode, sink, never, list); });
}
Listing portable(const std::string& dir, ReclaimableMode mode = ReclaimableMode::Off) {
    return portable(Fd(dir).get(), mode);
}
Listing bulk(const std::string& dir, ReclaimableMode mode = ReclaimableMode::Off,
             BulkListFn list = detail::linux_bulk_list) {
    return bulk(Fd(dir).get(), mode, list);
}

// What a bulk record can carry: the device cut to 32 bits and widened back.
std::vector<Seen> as_bulk_sees(std::vector<Seen> entries) {
    for (Seen& s : entries) {
        s.device = widen_device32(static_cast<uint32_t>(s.device));
    }
    return entries;
}

std::vector<std::string> names(const std::vector<Seen>& entries) {
    std::vector<std::string> out;
    for (const Seen& s : entries) {
        out.push_back(s.name);
    }
    return out;
}

// Fills a directory with one of every kind of entry the readers tell apart.
void populate_mixed(const TempDir& dir) {
    test::write_file(dir / "small", 10);
    test::write_file(dir / "big", 100000);
    fs::create_hard_link(dir / "big", dir / "big-link");
    test::write_file(dir / "sub/inner", 5);
    fs::create_directory(dir / "empty");
    fs::create_symlink("small", dir / "to-file");
    fs::create_symlink("sub", dir / "to-dir");
    fs::create_symlink("missing", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    test::write_file(dir / ".hidden", 1);
}

TEST(DirReaders, BothReadersAgreeOnEveryKindOfEntry) {
    TempDir dir;
    populate_mixed(dir);
    const auto p = portable(dir.path(), ReclaimableMode::Allocated);
    ASSERT_TRUE(p.has_value());
    // Names, kinds, sizes, ids and links meet lstat in the scanner's tests.
    // Folders always count one link in a bulk record; files keep theirs.
    auto expected = as_bulk_sees(*p);
    for (Seen& s : expected) {
        s.link_count = s.kind == EntryKind::Folder ? 1 : s.link_count;
    }
    EXPECT_EQ(bulk(dir.path(), ReclaimableMode::Allocated), expected);

    // A folder removed since it was opened lists nothing.
    fs::create_directory(dir / "gone");
    Fd gone(dir / "gone"), gone_again(dir / "gone");
    fs::remove(dir / "gone");
    EXPECT_EQ(portable(gone.get()), std::vector<Seen>{});
    EXPECT_EQ(bulk(gone_again.get()), std::vector<Seen>{});
}

// Counts the listing calls and can fail chosen ones; plain function pointers
// cannot capture, so the plan lives here.
struct Injection {
    int calls = 0;
    std::vector<std::pair<int, int>> failures;  // (call number, errno)
};
Injection injection;

int injected_list(int fd, const AttrList& attrs, void* buffer, size_t size, uint64_t options) {
    const int call = injection.calls++;
    for (auto [at, error] : injection.failures) {
        if (at == call) {
            errno = error;
            return -1;
        }
    }
    return detail::linux_bulk_list(fd, attrs, buffer, size, options);
}

Listing bulk_injected(const std::string& dir, std::vector<std::pair<int, int>> failures) {
    injection = Injection{0, std::move(failures)};
    return bulk(dir, ReclaimableMode::Off, injected_list);
}

TEST(DirReaders, RefusedBulkListingFallsBackOnlyBeforeTheFirstBatch) {
    TempDir dir;
    populate_mixed(dir);
    const auto p = portable(dir.path());
    EXPECT_EQ(bulk_injected(dir.path(), {{0, EINVAL}}), p);
    EXPECT_EQ(injection.calls, 1);
    EXPECT_EQ(bulk_injected(dir.path(), {{0, ENOTSUP}}), p);
    // Interrupted first, refused next: still no batch, so still a fallback.
    EXPECT_EQ(bulk_injected(dir.path(), {{0, EINTR}, {1, EINVAL}}), p);

    // Once a batch was handed on, refusal is a failure, and what was handed stays so.
    Fd fd(dir.path());
    injection = Injection{0, {{1, EINVAL}}};
    size_t handed = 0;
    EXPECT_EQ(detail::read_dir_entries_bulk(
                  fd.get(), ReclaimableMode::Off, [&](const DirEntry&) { ++handed; }, never,
                  injected_list),
              std::unexpected(EINVAL));
    EXPECT_EQ(handed, p->size());
    EXPECT_EQ(bulk_injected(dir.path(), {{1, ENOTSUP}}), std::unexpected(ENOTSUP));
    EXPECT_EQ(bulk_injected(dir.path(), {{0, EIO}}), std::unexpected(EIO));
    EXPECT_EQ(injection.calls, 1);
}

// --- Records built by hand ---

class RecordBuilder {
  public:
    explicit RecordBuilder(std::string_view name, size_t fixed = detail::kRecordFixedSize)
        : bytes_(fixed + name.size() + 1) {
        common(detail::kAttrCommonRequested);
        put<uint32_t>(16, detail::kAttrFileRequested);
        put<int32_t>(28, int32_t(fixed - 28));
        put<uint32_t>(32, uint32_t(name.size() + 1));
        std::memcpy(bytes_.data() + fixed, name.data(), name.size());
        put<uint32_t>(0, uint32_t(bytes_.size()));
    }
    template <class T>
    RecordBuilder& put(size_t offset, T value) {
        std::memcpy(bytes_.data() + offset, &value, sizeof value);
        return *this;
    }
    RecordBuilder& common(uint32_t bits) { return put<uint32_t>(4, bits); }
    RecordBuilder& type(uint32_t object) { return put<uint32_t>(40, object); }
    RecordBuilder& folder(uint32_t mount_status = 0) {
        put<uint32_t>(12, detail::kAttrDirRequested).put<uint32_t>(16, 0);
        return type(detail::kObjectDirectory).put<uint32_t>(52, mount_status);
    }
    RecordBuilder& error(uint32_t code) { return put<uint32_t>(24, code); }
    RecordBuilder& truncate(size_t size) {
        bytes_.resize(size);
        return *this;
    }
    const std::vector<std::byte>& bytes() const { return bytes_; }
    DirEntry parse(ReclaimableMode mode = ReclaimableMode::Off) const {
        return detail::parse_bulk_record(bytes_, mode);
    }

  private:
    std::vector<std::byte> bytes_;
};

// Serves one hand-built batch, then the end.
std::vector<std::byte> crafted_batch;
int crafted_count = 0;
int crafted_list(int, const AttrList&, void* buffer, size_t size, uint64_t) {
    const int count = std::exchange(crafted_count, 0);
    std::memset(buffer, 0, size);
    std::memcpy(buffer, crafted_batch.data(), std::min(size, crafted_batch.size()));
    return count;
}

void craft(std::initializer_list<RecordBuilder> records, int count = -1) {
    crafted_batch.clear();
    for (const RecordBuilder& r : records) {
        crafted_batch.insert(crafted_batch.end(), r.bytes().begin(), r.bytes().end());
    }
    crafted_count = count < 0 ? int(records.size()) : count;
}

TEST(BulkRecords, FieldsKindsMountStatusAndMalformedRecords) {
    RecordBuilder file("report.txt", 72);
    file.type(detail::kObjectRegular)
        .put<uint32_t>(36, 0xFFFFFFFEu)  // a device widened with its sign
        .put<uint64_t>(44, 123456789012ull)
        .put<uint32_t>(52, 3)
        .put<uint64_t>(56, 8192)
        .put<uint64_t>(64, 4096)
        .put<uint32_t>(32, 999);  // the stored name length is not trusted
    const DirEntry e = file.parse(ReclaimableMode::Private);
    EXPECT_EQ(e.name, std::string_view("report.txt\0", 11));
    EXPECT_EQ(
        std::tuple(e.kind, e.device, e.file_id, e.link_count, e.allocated, e.reclaimable, e.status),
        std::tuple(EntryKind::File, ~uint64_t{1}, 123456789012ull, 3u, 8192u, 4096u,
                   kStatusOrdinary));
    EXPECT_EQ(file.parse(ReclaimableMode::Off).reclaimable, 0u);
    EXPECT_EQ(file.parse(ReclaimableMode::Allocated).reclaimable, 8192u);

    const auto without = [](uint32_t bit) {
        return RecordBuilder("x")
            .type(detail::kObjectDirectory)
            .common(detail::kAttrCommonRequested & ~bit);
    };
    // Fields that lie past the record's end: a name placed early must not
    // make the parser read beyond it (the sanitizer sees any such read).
    const auto early_name = [](size_t size) {
        return RecordBuilder("ab").put<int32_t>(28, -20).put<uint32_t>(8, 0x6261).truncate(size);
    };
    const struct {
        RecordBuilder record;
        EntryKind kind;
        uint8_t status;
    } rows[] = {
        {RecordBuilder("x").type(99), EntryKind::Other, kStatusOrdinary},
        // Without the object-type bit the type field means nothing.
        {without(detail::kAttrCommonObjectType), EntryKind::Other, kStatusOrdinary},
        {without(detail::kAttrCommonName), EntryKind::Other, kStatusSkip},
        {RecordBuilder("d").folder(0), EntryKind::Folder, kStatusOrdinary},
        {RecordBuilder("d").folder(detail::kMountStatusMountPoint), EntryKind::Folder,
         kStatusMountPoint},
        {RecordBuilder("d").folder(detail::kMountStatusTrigger), EntryKind::Folder,
         kStatusMountPoint},
        {RecordBuilder("d").folder(0x4), EntryKind::Folder, kStatusOrdinary},
        // A mount status the system did not return means nothing.
        {RecordBuilder("d").folder(1).put<uint32_t>(12, 0), EntryKind::Folder, kStatusOrdinary},
        {RecordBuilder("x").type(1).error(EACCES), EntryKind::Other, kStatusSkip},
        {RecordBuilder("d").folder().error(EACCES), EntryKind::Folder, kStatusFolderError},
        // The name must end with a NUL inside the record.
        {RecordBuilder("name").truncate(detail::kRecordFixedSize + 4), EntryKind::Other,
         kStatusSkip},
        {RecordBuilder("x").put<int32_t>(28, 1000), EntryKind::Other, kStatusSkip},
        {RecordBuilder("x").put<int32_t>(28, -29), EntryKind::Other, kStatusSkip},
        {RecordBuilder("x").put<int32_t>(28, INT32_MIN), EntryKind::Other, kStatusSkip},
        {early_name(0), EntryKind::Other, kStatusSkip},
        {early_name(8), EntryKind::Other, kStatusSkip},
        {early_name(40), EntryKind::Other, kStatusSkip},
        {early_name(63), EntryKind::Other, kStatusSkip},
        {early_name(70), EntryKind::Other, kStatusSkip},
    };
    TempDir dir;
    const Fd fd(dir.path());
    for (size_t k = 0; k < std::size(rows); ++k) {
        // Malformed records are skipped even when the fewest fields are asked for.
        const auto mode =
            rows[k].status == kStatusSkip ? ReclaimableMode::Private : ReclaimableMode::Off;
        const DirEntry parsed = rows[k].record.parse(mode);
        EXPECT_EQ(parsed.status, rows[k].status) << k;
        EXPECT_TRUE(parsed.status == kStatusSkip || parsed.kind == rows[k].kind) << k;
        // The reader drops what is skipped and hands a folder it cannot read
        // on as a folder, for the scan's own open to fail and say why.
        craft({rows[k].record});
        const auto listed = bulk(fd.get(), mode, crafted_list);
        ASSERT_TRUE(listed) << k;
        ASSERT_EQ(listed->size(), rows[k].status == kStatusSkip ? 0u : 1u) << k;
        EXPECT_TRUE(listed->empty() || listed->front().kind == rows[k].kind) << k;
    }
    // A count larger than the records present, or a zero length, stops at the
    // buffer's end instead of looping or reading past it.
    craft({RecordBuilder("one").type(1)}, 1000);
    EXPECT_EQ(names(*bulk(fd.get(), ReclaimableMode::Off, crafted_list)),
              std::vector<std::string>{"one"});
    craft({RecordBuilder("zero").type(1).put<uint32_t>(0, 0)}, 5);
    EXPECT_EQ(bulk(fd.get(), ReclaimableMode::Off, crafted_list), std::vector<Seen>{});
    craft({RecordBuilder("huge").type(1).put<uint32_t>(0, 0xFFFFFFFFu)}, 3);
    EXPECT_EQ(names(*bulk(fd.get(), ReclaimableMode::Off, crafted_list)),
              std::vector<std::string>{"huge"});
    EXPECT_EQ(RecordBuilder("d").folder().parse().link_count, 1u);  // folders count one link
    // Private sizes are read only when asked for, so a short record serves otherwise.
    RecordBuilder short_file("f");
    short_file.type(1).put<int32_t>(28, -20).put<uint32_t>(8, 'f').truncate(64);
    EXPECT_EQ(short_file.parse(ReclaimableMode::Off).status, kStatusOrdinary);
    EXPECT_EQ(short_file.parse(ReclaimableMode::Private).status, kStatusSkip);
}

// --- Modes and opening ---

TEST(DirReadMode, BulkOnlyForExactlyApfs) {
    for (const bool reclaimable : {false, true}) {
        const auto portable = reclaimable ? ReclaimableMode::Allocated : ReclaimableMode::Off;
        EXPECT_EQ(read_mode_for_type("apfs", reclaimable),
                  (ReadMode{true, reclaimable ? ReclaimableMode::Private : ReclaimableMode::Off}));
        for (std::string_view other : {std::string_view("APFS"), std::string_view("apfs\0", 5)}) {
            EXPECT_EQ(read_mode_for_type(other, reclaimable), (ReadMode{false, portable}));
        }
    }
    EXPECT_EQ(fs_type_name_of_fd(Fd(std::string("/proc")).get()), "proc");
    EXPECT_EQ(read_mode_of_fd(-1, false), std::unexpected(EBADF));
}

TEST(DirOpen, SubfoldersByNameNeverThroughALink) {
    TempDir dir;
    fs::create_directory(dir / "sub");
    test::write_file(dir / "file", 1);
    fs::create_directory_symlink("sub", dir / "link");
    fs::create_symlink("missing", dir / "dangling");
    Fd parent(dir.path());
    const Fd fd(open_subdir_at(parent.get(), std::string_view("sub\0", 4)).value_or(-1));
    EXPECT_EQ(stat_fd(fd.get()).value().file_id, test::lstat_of(dir / "sub").st_ino);
    EXPECT_EQ(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    for (const char* name : {"link", "dangling"}) {
        EXPECT_EQ(open_subdir_at(parent.get(), name), std::unexpected(ELOOP)) << name;
    }
    EXPECT_EQ(open_subdir_at(parent.get(), "file"), std::unexpected(ENOTDIR));
    EXPECT_EQ(open_subdir_at(parent.get(), std::string_view("s\0ub", 4)), std::unexpected(EINVAL));
}

}  // namespace
}  // namespace bramwex::core::sys
