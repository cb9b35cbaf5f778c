#pragma once
// Shared between the stand-in's own source files.

#include <string>

namespace standin::win32::detail {

// The registry's connection belongs to one machine root: called when the root changes.
void registryRootChanged();

// Sets the root without creating or exporting anything (empty: choose it again from the
// environment at the next use).
void setMachineRootState(const std::string& root);
// The root when one has been chosen, else empty (never creates anything).
std::string chosenMachineRoot();

// Host-side helpers.
bool hostFileExists(const std::string& path);
bool hostDirectoryExists(const std::string& path);
std::string hostDirName(const std::string& path);
std::string hostBaseName(const std::string& path);
std::string canonicalHostPath(const std::string& path);  // empty when it does not exist
bool equalsIgnoreCase(const std::string& a, const std::string& b);
// The host path of the running program.
std::string mainProgramPath();

}  // namespace standin::win32::detail
