#pragma once
// VexaAsioVq36.dll loaded for one command of the front door, as a program that drives the
// device loads it: LoadLibraryA, and its exports found by name with GetProcAddress. The library
// is the given path; else VexaAsioVq36.dll where the module loader finds it; else the one this
// build makes. Problems are told on `err` with the command's name in front.

#include <cstdio>
#include <string>

#include "standin/win32/testing.h"
#include "win32/windows.h"

#ifndef VQ36_DEFAULT_ASIO_DLL
#define VQ36_DEFAULT_ASIO_DLL ""
#endif

namespace vq36tools {

class AsioLibrary {
  public:
    AsioLibrary(const char* command, std::FILE* err) : command_(command), err_(err) {}
    ~AsioLibrary() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    AsioLibrary(const AsioLibrary&) = delete;
    AsioLibrary& operator=(const AsioLibrary&) = delete;

    bool load(const std::string& explicitPath) {
        std::string tried = explicitPath.empty() ? "VexaAsioVq36.dll" : explicitPath;
        module_ = LoadLibraryA(tried.c_str());
        if (module_ == nullptr && explicitPath.empty() && VQ36_DEFAULT_ASIO_DLL[0] != '\0') {
            tried = VQ36_DEFAULT_ASIO_DLL;
            module_ = LoadLibraryA(tried.c_str());
        }
        if (module_ == nullptr) {
            std::fprintf(err_, "%s: cannot load %s (%s)\n", command_, tried.c_str(),
                         standin::win32::lastLoaderMessage().c_str());
        }
        return module_ != nullptr;
    }

    template <class F>
    bool resolve(const char* name, F* function) {
        FARPROC p = GetProcAddress(module_, name);
        if (p == nullptr) {
            std::fprintf(err_, "%s: the library does not export %s\n", command_, name);
            return false;
        }
        *function = reinterpret_cast<F>(p);
        return true;
    }

  private:
    const char* command_;
    std::FILE* err_;
    HMODULE module_ = nullptr;
};

}  // namespace vq36tools
