// Resources as the table cmake/KrvResources.cmake compiles into an executable.
#include "platform/posix/ResourceTable.h"

namespace platform {

namespace detail {
// Weak: the table krv_resources() generates for an executable replaces it at link time.
__attribute__((weak)) extern const TResourceTable KrvResourceTable = {nullptr, 0};
}  // namespace detail

std::span<const TResourceEntry> Resources() {
  // Read through a volatile pointer so the compiler never folds the weak default's contents.
  const TResourceTable* volatile table = &detail::KrvResourceTable;
  if (table->Entries == nullptr) return {};
  return {table->Entries, table->Count};
}

const TResourceEntry* FindResource(std::u16string_view type, std::u16string_view name) {
  for (const TResourceEntry& e : Resources())
    if (rtl::SameText(e.Type, type) && rtl::SameText(e.Name, name)) return &e;
  return nullptr;
}

}  // namespace platform
