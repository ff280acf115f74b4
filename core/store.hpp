// Saved scans, picks and the cache folder in one include: the file format and
// its checks, the in-place StoredTree view, the cache files named by CacheKey,
// and the atomic write every saver uses.
#pragma once

#include "core/atomic_write.hpp"
#include "core/cache_dir.hpp"
#include "core/cache_key.hpp"
#include "core/cached_scan.hpp"
#include "core/check_scan_file.hpp"
#include "core/picks.hpp"
#include "core/scan_file.hpp"
#include "core/serialize_tree.hpp"
#include "core/stored_tree.hpp"
