// Saved scans, picks and the cache folder in one include: the file format and
// its checks, the in-place StoredTree view, the cache files named by CacheKey,
// and the atomic write every saver uses.
#pragma once

#include "core/base/atomic_write.hpp"
#include "core/store/cache_dir.hpp"
#include "core/store/cache_key.hpp"
#include "core/store/cached_scan.hpp"
#include "core/store/check_scan_file.hpp"
#include "core/store/picks.hpp"
#include "core/store/scan_file.hpp"
#include "core/store/serialize_tree.hpp"
#include "core/store/stored_tree.hpp"
