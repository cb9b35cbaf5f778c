#pragma once
// `vq36 reg`: reads and writes values of the machine's registry.
//
//   reg query <key> [<value>]                 one value, or every value and subkey of a key
//   reg set <key> <value> dword|sz <data>     writes a value, creating the key when needed
//
// <key> starts with its root: HKCU or HKEY_CURRENT_USER, HKLM or HKEY_LOCAL_MACHINE, HKCR or
// HKEY_CLASSES_ROOT, then the subkeys separated by '\'. <value> "(default)" (or "") is the
// key's default value. A dword is decimal or 0x-hexadecimal. The machine is the one that
// VQ36_MACHINE_ROOT names.

#include <cstdio>
#include <string>
#include <vector>

namespace vq36tools {

// Runs one command (the words after "reg"); returns the process exit code (0 on success).
int runRegCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace vq36tools
