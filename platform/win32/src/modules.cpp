// Modules: LoadLibraryA, FreeLibrary, GetModuleHandleA, GetModuleFileNameA, GetProcAddress.
//
// A module is any shared object of the process (and the program itself); its HMODULE is the
// lowest address of its mapping. Look-ups scan the process's loaded objects (dl_iterate_phdr)
// at each call, so a module that came in without LoadLibraryA (linked at build time, or opened
// with plain dlopen) is found as well, with no registration.
//
// LoadLibraryA:
//  - a path ("c:\dir\x.dll", "z:\...", a host path "/dir/x.dll") is mapped and loaded from
//    there; a bare file name is first matched against the modules already loaded (as the
//    platform does), then searched in: the program's folder, c:\Windows\System32, and the host
//    folders listed in VQ36_MODULE_PATH (separated by ':'). ".dll" is appended to a name
//    without an extension; file names match without regard to case.
//  - the first LoadLibraryA of a module runs its DllMain(hinst, DLL_PROCESS_ATTACH, nullptr)
//    after the module's static initialisation; DllMain is the module's own exported
//    extern "C" function of that name (a module without one needs none). FALSE from it fails
//    the load (ERROR_DLL_INIT_FAILED) after a DLL_PROCESS_DETACH, as on the platform.
//  - each LoadLibraryA counts one reference; the FreeLibrary that drops the last runs
//    DllMain(hinst, DLL_PROCESS_DETACH, nullptr) before the module's static destruction and
//    unloads it. FreeLibrary of a module the stand-in did not load does nothing (such modules
//    are pinned, like those a platform program links at build time).
//  - a module's imports (the objects it was linked against) that have a DllMain of their own
//    are modules too, as on the platform: the first load that brings one in runs its
//    DLL_PROCESS_ATTACH before the importing module's, and every importing module holds one
//    reference on it until it is freed (its DLL_PROCESS_DETACH runs after the importer's).
//  - DllMain runs under the loader lock (a process-wide recursive lock): a DllMain may itself
//    load or look up modules, and no two DllMain calls run at once.
//  - DLL_THREAD_ATTACH and DLL_THREAD_DETACH are not delivered. Modules still loaded when the
//    process exits get no DLL_PROCESS_DETACH: unlike the platform, the host does not stop the
//    process's other threads before exit, so no module's shut-down could run safely then.

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "standin/win32/machine.h"
#include "standin/win32/modules.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace standin::win32 {
namespace {

using detail::canonicalHostPath;
using detail::equalsIgnoreCase;
using detail::hostBaseName;
using detail::hostDirName;
using detail::hostFileExists;

struct LoadedObject {
    std::uintptr_t base = 0;  // lowest mapped address: the HMODULE
    std::uintptr_t end = 0;
    std::string path;  // host path as the loader knows it
};

std::vector<LoadedObject> scanLoadedObjects() {
    std::vector<LoadedObject> objects;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* out = static_cast<std::vector<LoadedObject>*>(data);
            std::uintptr_t low = UINTPTR_MAX, high = 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD) continue;
                std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
                low = std::min(low, start);
                high = std::max(high, start + ph.p_memsz);
            }
            if (high == 0) return 0;
            const long page = sysconf(_SC_PAGESIZE);
            LoadedObject object;
            object.base = low & ~static_cast<std::uintptr_t>(page - 1);
            object.end = high;
            // The first object is the program itself, whose name the loader leaves empty.
            const bool mainProgram = out->empty();
            object.path = mainProgram ? detail::mainProgramPath()
                                      : std::string(info->dlpi_name ? info->dlpi_name : "");
            if (mainProgram || !object.path.empty()) out->push_back(std::move(object));
            return 0;
        },
        &objects);
    return objects;
}

bool findByBase(std::uintptr_t base, LoadedObject* out) {
    for (LoadedObject& o : scanLoadedObjects()) {
        if (o.base == base) {
            *out = std::move(o);
            return true;
        }
    }
    return false;
}

bool isMainProgram(const LoadedObject& o) {
    std::vector<LoadedObject> all = scanLoadedObjects();
    return !all.empty() && all.front().base == o.base;
}

HMODULE asModule(std::uintptr_t base) {
    return reinterpret_cast<HMODULE>(base);
}

// A file name with ".dll" added when it has no extension; a trailing dot means "no extension".
std::string withDefaultExtension(std::string name) {
    std::size_t slash = name.find_last_of("\\/");
    std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return name + ".dll";
    if (dot == name.size() - 1) name.pop_back();
    return name;
}

// The file of that name in a host folder, matched without regard to case.
std::string findInFolder(const std::string& folder, const std::string& fileName) {
    std::string host;
    if (!toHostPath(("z:" + folder + "/" + fileName).c_str(), &host)) return {};
    return hostFileExists(host) ? host : std::string();
}

// A loaded module's reference count and entry point, for the modules LoadLibraryA loaded.
struct Reference {
    void* dlHandle = nullptr;
    long count = 0;
    BOOL(WINAPI* dllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;
    std::vector<std::uintptr_t> imports;  // imported modules this one holds a reference on
};

std::recursive_mutex& loaderLock() {
    static auto* m = new std::recursive_mutex();
    return *m;
}
std::map<std::uintptr_t, Reference>& references() {
    static auto* r = new std::map<std::uintptr_t, Reference>();
    return *r;
}

thread_local std::string tLoaderMessage;

// The address of a symbol that the module itself defines (not one of its dependencies).
void* ownSymbol(const LoadedObject& module, const char* name) {
    void* handle = isMainProgram(module) ? dlopen(nullptr, RTLD_LAZY)
                                         : dlopen(module.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return nullptr;
    void* symbol = dlsym(handle, name);
    dlclose(handle);
    auto address = reinterpret_cast<std::uintptr_t>(symbol);
    if (symbol == nullptr || address < module.base || address >= module.end) return nullptr;
    return symbol;
}

// The file names a loaded object was linked against (its DT_NEEDED entries).
std::vector<std::string> importNames(const LoadedObject& module) {
    std::vector<std::string> names;
    void* handle = dlopen(module.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return names;
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_ld != nullptr) {
        std::uintptr_t strtab = 0;
        for (const ElfW(Dyn)* d = map->l_ld; d->d_tag != DT_NULL; ++d) {
            if (d->d_tag == DT_STRTAB) strtab = d->d_un.d_ptr;
        }
        // The loader may or may not have relocated the dynamic section in place.
        if (strtab != 0 && strtab < map->l_addr) strtab += map->l_addr;
        for (const ElfW(Dyn)* d = map->l_ld; strtab != 0 && d->d_tag != DT_NULL; ++d) {
            if (d->d_tag == DT_NEEDED)
                names.emplace_back(reinterpret_cast<const char*>(strtab + d->d_un.d_val));
        }
    }
    dlclose(handle);
    return names;
}

void releaseModule(std::uintptr_t base);

// Takes a reference on each import of `module` that has a DllMain, attaching those that are
// new (their own imports first). False when an import's DllMain failed its attach.
bool attachImports(const LoadedObject& module, std::vector<std::uintptr_t>* held) {
    const std::vector<LoadedObject> loaded = scanLoadedObjects();
    for (const std::string& name : importNames(module)) {
        const LoadedObject* import = nullptr;
        for (std::size_t i = 1; i < loaded.size(); ++i) {  // never the program itself
            if (hostBaseName(loaded[i].path) == name) import = &loaded[i];
        }
        if (import == nullptr || import->base == module.base) continue;
        auto it = references().find(import->base);
        if (it != references().end()) {
            ++it->second.count;
            held->push_back(import->base);
            continue;
        }
        auto dllMain = reinterpret_cast<BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID)>(
            ownSymbol(*import, "DllMain"));
        if (dllMain == nullptr) continue;  // a plain shared object, not a module
        Reference ref;
        ref.dlHandle = dlopen(import->path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (ref.dlHandle == nullptr) continue;
        ref.count = 1;
        ref.dllMain = dllMain;
        if (!attachImports(*import, &ref.imports)) {
            for (std::uintptr_t b : ref.imports) releaseModule(b);
            dlclose(ref.dlHandle);
            return false;
        }
        references()[import->base] = ref;
        if (!dllMain(asModule(import->base), DLL_PROCESS_ATTACH, nullptr)) {
            dllMain(asModule(import->base), DLL_PROCESS_DETACH, nullptr);
            std::vector<std::uintptr_t> imports = ref.imports;
            references().erase(import->base);
            dlclose(ref.dlHandle);
            for (std::uintptr_t b : imports) releaseModule(b);
            return false;
        }
        held->push_back(import->base);
    }
    return true;
}

// Drops one reference; the last runs the detach, unloads and releases the module's imports.
void releaseModule(std::uintptr_t base) {
    auto it = references().find(base);
    if (it == references().end() || --it->second.count > 0) return;
    Reference ref = it->second;
    if (ref.dllMain != nullptr) ref.dllMain(asModule(base), DLL_PROCESS_DETACH, nullptr);
    references().erase(it);
    dlclose(ref.dlHandle);
    for (std::uintptr_t b : ref.imports) releaseModule(b);
}

bool isElfFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    unsigned char magic[4] = {};
    bool elf = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic,
                                                              "\x7f"
                                                              "ELF",
                                                              4) == 0;
    std::fclose(f);
    return elf;
}

// Where LoadLibraryA finds a module; empty when nowhere.
std::string locateModule(const char* name) {
    const std::string requested(name);
    if (requested.find_first_of("\\/") != std::string::npos) {
        std::string host;
        if (!toHostPath(requested.c_str(), &host)) return {};
        if (hostFileExists(host)) return host;
        std::string withExtension = withDefaultExtension(requested);
        if (withExtension != requested && toHostPath(withExtension.c_str(), &host) &&
            hostFileExists(host)) {
            return host;
        }
        return {};
    }
    const std::string fileName = withDefaultExtension(requested);
    for (const LoadedObject& o : scanLoadedObjects()) {
        if (equalsIgnoreCase(hostBaseName(o.path), fileName)) return o.path;
    }
    std::vector<std::string> folders;
    folders.push_back(hostDirName(detail::mainProgramPath()));
    folders.push_back(machineRoot() + "/drive_c/Windows/System32");
    if (const char* extra = std::getenv("VQ36_MODULE_PATH")) {
        std::string list(extra);
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            if (end > start) folders.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const std::string& folder : folders) {
        std::string found = findInFolder(folder, fileName);
        if (!found.empty()) return found;
    }
    return {};
}

}  // namespace

HMODULE moduleFromAddress(const void* address) {
    auto a = reinterpret_cast<std::uintptr_t>(address);
    for (const LoadedObject& o : scanLoadedObjects()) {
        if (a >= o.base && a < o.end) return asModule(o.base);
    }
    return nullptr;
}

std::string lastLoaderMessage() {
    return tLoaderMessage;
}

}  // namespace standin::win32

using namespace standin::win32;

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard lock(loaderLock());
    const std::string located = locateModule(lpLibFileName);
    const std::string path = located.empty() ? std::string() : detail::canonicalHostPath(located);
    if (path.empty()) {
        tLoaderMessage = std::string("module not found: ") + lpLibFileName;
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* message = dlerror();
        tLoaderMessage = message ? message : "dlopen failed";
        SetLastError(isElfFile(path) ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    LoadedObject module;
    bool found = false;
    for (LoadedObject& o : scanLoadedObjects()) {
        if (!o.path.empty() && canonicalHostPath(o.path) == path) {
            module = std::move(o);
            found = true;
            break;
        }
    }
    if (!found) {
        dlclose(handle);
        tLoaderMessage = "loaded object not found in the process: " + path;
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    Reference& ref = references()[module.base];
    if (ref.count > 0) {
        dlclose(handle);  // the first load's handle keeps the module
        ++ref.count;
        return asModule(module.base);
    }
    ref.dlHandle = handle;
    ref.count = 1;
    ref.dllMain =
        reinterpret_cast<BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID)>(ownSymbol(module, "DllMain"));
    std::vector<std::uintptr_t> imports;
    if (!attachImports(module, &imports)) {
        references().erase(module.base);
        dlclose(handle);
        for (std::uintptr_t b : imports) releaseModule(b);
        tLoaderMessage = "an imported module's DllMain failed the process attach: " + path;
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    references()[module.base].imports = imports;
    BOOL(WINAPI * dllMain)(HINSTANCE, DWORD, LPVOID) = references()[module.base].dllMain;
    if (dllMain != nullptr && !dllMain(asModule(module.base), DLL_PROCESS_ATTACH, nullptr)) {
        dllMain(asModule(module.base), DLL_PROCESS_DETACH, nullptr);
        references().erase(module.base);
        dlclose(handle);
        for (std::uintptr_t b : imports) releaseModule(b);
        tLoaderMessage = "DllMain failed the process attach: " + path;
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    return asModule(module.base);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    std::lock_guard lock(loaderLock());
    const auto base = reinterpret_cast<std::uintptr_t>(hLibModule);
    auto it = references().find(base);
    if (it == references().end()) {
        LoadedObject module;
        if (hLibModule != nullptr && findByBase(base, &module)) return TRUE;  // pinned
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    releaseModule(base);
    return TRUE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    std::vector<LoadedObject> objects = scanLoadedObjects();
    if (lpModuleName == nullptr) {
        if (!objects.empty()) return asModule(objects.front().base);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const std::string name(lpModuleName);
    if (name.find_first_of("\\/") != std::string::npos) {
        std::string host;
        std::string canonical;
        if (toHostPath(name.c_str(), &host)) canonical = canonicalHostPath(host);
        if (canonical.empty() && toHostPath(withDefaultExtension(name).c_str(), &host)) {
            canonical = canonicalHostPath(host);
        }
        if (!canonical.empty()) {
            for (const LoadedObject& o : objects) {
                if (canonicalHostPath(o.path) == canonical) return asModule(o.base);
            }
        }
    } else {
        const std::string fileName = withDefaultExtension(name);
        for (const LoadedObject& o : objects) {
            if (equalsIgnoreCase(hostBaseName(o.path), fileName)) return asModule(o.base);
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    LoadedObject module;
    std::vector<LoadedObject> objects = scanLoadedObjects();
    if (hModule == nullptr) {
        if (objects.empty()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        module = objects.front();
    } else if (!findByBase(reinterpret_cast<std::uintptr_t>(hModule), &module)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const std::string windows = toWindowsPath(module.path);
    if (windows.size() + 1 > nSize) {
        // Truncated and terminated; the result is the buffer's size.
        std::memcpy(lpFilename, windows.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, windows.c_str(), windows.size() + 1);
    return static_cast<DWORD>(windows.size());
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    LoadedObject module;
    if (hModule == nullptr || !findByBase(reinterpret_cast<std::uintptr_t>(hModule), &module)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Exports by ordinal (a number in the low word) do not exist here.
    if ((reinterpret_cast<std::uintptr_t>(lpProcName) >> 16) == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* symbol = ownSymbol(module, lpProcName);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
    LoadedObject module;
    if (hLibModule == nullptr ||
        !findByBase(reinterpret_cast<std::uintptr_t>(hLibModule), &module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
