#include "core/sys/linux_inotify_pending.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bramwex::core::sys::detail {
namespace {

constexpr EventFlags kFile = kEventItemModified | kEventItemIsFile;
constexpr EventFlags kDir = kEventItemModified | kEventItemIsDir;
constexpr EventFlags kFolded = kDir | kEventMustScanSubDirs;

std::vector<FsEvent> events(PendingEvents& pending) {
    return pending.take();
}

TEST(PendingEvents, CoalescesByPathAndPastTheBoundFoldsChangesIntoTheirFolders) {
    PendingEvents pending("/r", 2);
    pending.add("/r/a/f", kFile, 1);
    pending.add("/r/a/f", kEventItemRemoved | kEventItemIsFile, 2);
    pending.add("/r/a/b", kDir, 3);
    // Past the bound: a path already gathered keeps its entry; a file is
    // covered by its folder's listing; a folder is not, so its parent asks
    // for its whole subtree.
    pending.add("/r/a/b", kEventItemCreated | kEventItemIsDir, 4);
    pending.add("/r/x/g", kFile, 5);
    pending.add("/r/a/b/c/d", kDir, 6);
    pending.add("/r/a/f2", kFile, 7);
    pending.add("/r/a/b/e", kDir, 8);
    EXPECT_EQ(events(pending), (std::vector<FsEvent>{
                                   {"/r/a/f", kFile | kEventItemRemoved, 1},
                                   {"/r/a/b", kFolded | kEventItemCreated, 3},
                                   {"/r/x", kDir, 5},
                                   {"/r/a/b/c", kFolded, 6},
                                   {"/r/a", kDir, 7},
                               }));
    EXPECT_TRUE(pending.empty());
}

TEST(PendingEvents, NeverFoldsTheRootAwayNorAsksForItsWholeSubtree) {
    for (const std::string root : {"/r", "/"}) {
        SCOPED_TRACE(root);
        const std::string top = root == "/" ? "" : root;
        PendingEvents pending(root, 0);
        pending.add(root, kEventItemMetadata | kEventItemIsDir, 1);
        pending.add(top + "/sub", kDir, 2);    // the root's own folders keep their entries
        pending.add(top + "/file", kFile, 3);  // into the root
        pending.add(top + "/sub/x", kDir, 4);  // into sub, which asks for its subtree
        pending.add(top + "/sub/y", kEventMustScanSubDirs | kEventUserDropped, 5);
        EXPECT_EQ(events(pending),
                  (std::vector<FsEvent>{
                      {root, kEventItemMetadata | kDir, 1},
                      {top + "/sub", kFolded, 2},
                      {top + "/sub/y", kEventMustScanSubDirs | kEventUserDropped, 5},
                  }));
    }
    // Outside the root nothing folds.
    PendingEvents pending("/r", 0);
    pending.add("/elsewhere/x", kDir, 1);
    EXPECT_EQ(events(pending), (std::vector<FsEvent>{{"/elsewhere/x", kDir, 1}}));
}

}  // namespace
}  // namespace bramwex::core::sys::detail
