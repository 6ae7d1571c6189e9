// The order of a scan's found paths, and settling them into FolderContents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "compare/folder_contents.h"

namespace pairwick {
namespace detail {

// The indices of `found`, each distinct path once, in the order of their paths' bytes.
std::vector<std::uint32_t> sortedOrder(const FolderContents& found,
                                       const std::vector<std::uint32_t>& depths);

// Moves the found paths into `contents`, which then holds each distinct path once, in order.
void fillContents(FolderContents& found, const std::vector<std::uint32_t>& order, bool ordered,
                  FolderContents& contents);

// The number of distinct paths among `found`.
std::size_t distinctCount(const FolderContents& found, const std::vector<std::uint32_t>& depths);

// Moves what a scan found into `contents`, in order, each distinct path once.
void settleFound(FolderContents& found, std::vector<std::uint32_t>& depths,
                 FolderContents& contents);

}  // namespace detail
}  // namespace pairwick
