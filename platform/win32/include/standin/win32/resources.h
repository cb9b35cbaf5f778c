#pragma once
// The resource table of a module. The build writes one for each target that declares
// resources (vq36_add_resources in the top-level CMakeLists.txt); it registers itself while the
// module is loaded.

#include <cstddef>

namespace standin::win32 {

struct ResourceEntry {
    const char* type;  // a type name, or "#n" for a numbered type
    const char* name;  // a resource name, or "#n" for a numbered resource
    const unsigned char* data;
    std::size_t size;
};

// `anchor` is any address inside the module.
void registerModuleResources(const void* anchor, const ResourceEntry* entries, std::size_t count);
void unregisterModuleResources(const ResourceEntry* entries);

}  // namespace standin::win32
