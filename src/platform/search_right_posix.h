// Whether a folder's status alone settles the process's right to search it
// (search_right_posix.cpp), so that a walk need not ask the file system for each folder. Included
// by *_posix.cpp only.
#pragma once

#include <cstdint>

namespace pairwick::platform {

enum class SearchRight : unsigned char {
  granted,  // whoever the file system takes the process for, the mode lets it search
  refused,  // no one but a holder of a privilege that overrides the mode may search
  unknown,  // only the file system can tell (an access control list, or root, may decide)
};

// The right of a process of effective user `user` to search a folder of mode `mode` (as stat gives
// it) owned by `owner`, as far as the mode can tell. Only the owner's class is immune to access
// control lists, whose entries for named users and groups the mode does not show. Root searches
// every folder of a local file system, but a file server may take it for an unprivileged user
// (NFS with root squashed) and give it only what the mode gives everyone.
SearchRight searchRight(std::uint32_t mode, std::uint32_t owner, std::uint32_t user);

}  // namespace pairwick::platform
