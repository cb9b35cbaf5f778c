#pragma once
// The machine this process belongs to: its root folder and the mapping between Windows paths
// and host paths.
//
// The root is one host folder, chosen by the environment variable VQ36_MACHINE_ROOT; without
// it, $HOME/.local/share/vq36/machine (or /tmp/vq36-machine-<uid> without a home). Below it:
//   drive_c/...         the c: drive (other letters likewise: drive_d/ ...)
//   registry.sqlite3    the machine's registry
//
// Windows paths map as follows (drive letters case-insensitive, '\' and '/' both separators):
//   c:\dir\file         <root>/drive_c/dir/file
//   \dir\file           the same (the root of the current drive, always c: here)
//   z:\dir\file         /dir/file: drive z: is the host's own file system, as a way to name
//                       files outside the machine (build outputs)
//   /dir/file           a host path, taken as it is
//   dir\file            relative to the process's current folder
// "." and ".." are resolved by name and never climb above a drive's root. The file system of
// the platform ignores case: every component that exists under another case on the host is
// found under that case. UNC paths (\\server\share) are not supported.

#include <string>

namespace standin::win32 {

// The current machine root (an absolute, canonical host path). Created when missing.
std::string machineRoot();

// Points this process at another machine root: creates the folder (and its drive_c), makes it
// canonical, exports it in VQ36_MACHINE_ROOT so that programs this process starts use it too,
// and closes this process's connection to the previous machine's registry. Handles of keys of
// the previous registry stay valid as handles but refer to keys that no longer exist.
void setMachineRoot(const std::string& hostFolder);

// Maps a Windows path to a host path. False for a null, empty or unsupported path.
bool toHostPath(const char* windowsPath, std::string* hostPath);

// Maps a host path back to a Windows path: "c:\..." below the root's drive folders, else
// "z:\..." (absolute, with the real case of existing components).
std::string toWindowsPath(const std::string& hostPath);

// Lower-cases one character of code page 1252 (as CharLowerA does).
char lowerAnsi(char c);
std::string lowerAnsi(std::string s);

}  // namespace standin::win32
