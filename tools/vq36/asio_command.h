#pragma once
// `vq36 asio`: an ASIO host on the machine, as audio programs are one.
//
//   vq36 asio list                 the registered ASIO drivers: name, class id, server module
//   vq36 asio stream [options]     creates a driver through COM and streams (see `vq36 asio help`)
//   vq36 asio panel [options]      the driver's built-in setup dialog (see panel_command.h)
//
// `vq36 regsvr`: registers or unregisters an in-process server as the platform's regsvr32 does.
//
//   vq36 regsvr [/u] [--dll PATH]  calls DllRegisterServer (DllUnregisterServer with /u) of
//                                  PATH, else of the VexaAsioVq36.dll this build makes

#include <cstdio>
#include <string>
#include <vector>

#include "win32/windows.h"

namespace vq36tools {

// Runs one command (the words after "asio" or "regsvr"); returns the process exit code.
int runAsioCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int runRegsvrCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// Loads the in-process server at `path` and calls its DllRegisterServer (DllUnregisterServer
// with `unregister`); the entry's result. When the library does not load or lacks the entry,
// *problem says so (it stays empty otherwise).
HRESULT callRegistration(const std::string& path, bool unregister, std::string* problem);

}  // namespace vq36tools
