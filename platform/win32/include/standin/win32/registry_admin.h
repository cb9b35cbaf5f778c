#pragma once
// Registry access for tools: what the platform's registry editor can see and the product's
// calls do not offer.

#include <string>
#include <vector>

#include "win32/windows.h"

namespace standin::win32 {

struct RegistryValue {
    std::string name;  // empty for the key's default value
    DWORD type;
    std::vector<BYTE> data;
};

// Every value of an open key, in name order (case-insensitive). Returns an error code as the
// registry calls do.
LONG listRegistryValues(HKEY key, std::vector<RegistryValue>* values);

// The host path of the current machine's registry store.
std::string registryStorePath();

}  // namespace standin::win32
