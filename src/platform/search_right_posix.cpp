// The right to search a folder, from its mode and owner.
#include "platform/search_right_posix.h"

#include <sys/stat.h>

namespace pairwick::platform {

SearchRight searchRight(std::uint32_t mode, std::uint32_t owner, std::uint32_t user) {
  // Whatever identity a server gives root, it falls in one of the three classes.
  constexpr std::uint32_t everyone = S_IXUSR | S_IXGRP | S_IXOTH;
  if (user == 0) return (mode & everyone) == everyone ? SearchRight::granted : SearchRight::unknown;
  // The owner's entry of an access control list is the mode's owner class itself.
  if (user == owner) return (mode & S_IXUSR) != 0 ? SearchRight::granted : SearchRight::refused;
  // With an access control list the group class bits are its mask, which bounds every named
  // entry and the owning group's; only the other class is left.
  if ((mode & (S_IXGRP | S_IXOTH)) == 0) return SearchRight::refused;
  return SearchRight::unknown;
}

}  // namespace pairwick::platform
