// The table of resources that cmake/KrvResources.cmake compiles into an executable: the source it
// writes defines detail::KrvResourceTable, and an executable without resources links the empty
// default.
#pragma once

#include <cstddef>

#include "platform/Resources.h"

namespace platform {

struct TResourceTable {
  const TResourceEntry* Entries;
  size_t Count;
};

namespace detail {
extern const TResourceTable KrvResourceTable;
}  // namespace detail

}  // namespace platform
