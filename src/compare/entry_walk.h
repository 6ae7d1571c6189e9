// The walk of one folder tree that hands each entry's relative path on, in the order of visiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "codec/text_types.h"

namespace pairwick {
namespace detail {

constexpr std::uint32_t kNotInTree = 0xFFFFFFFF;

// Called for each entry with its relative path (`pathStr`), its full path as enumerated, and its
// depth when the entry's path is its folder's path, '/' and its name, all the way up (kNotInTree
// otherwise: links, and paths that the rule made different).
using EntrySink = std::function<void(
    const NarrowText& pathStr, const std::filesystem::path::string_type&, std::uint32_t treeDepth)>;

// Called with each entry's depth before anything else is done for it.
using DepthHook = std::function<void(std::size_t depth)>;

// Walks folderPath and hands every entry's relative path to `sink`, in the order of visiting.
// Throws what ends a scan: a failed walk, an entry or base that cannot be resolved, a relative
// path without a narrow form.
void walkEntries(const NarrowText& basePath, const NarrowText& folderPath, const EntrySink& sink,
                 const DepthHook& beforeEntry = nullptr);

}  // namespace detail
}  // namespace pairwick
