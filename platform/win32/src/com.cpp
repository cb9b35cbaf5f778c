// COM basics: task memory, class ids as text, ANSI/wide conversion, and the client side of
// in-process servers (class registrations, server modules, class objects).

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "standin/win32/com_host.h"
#include "win32/windows.h"

namespace standin::win32 {
namespace {

std::atomic<long> gTaskMemoryBlocks{0};

// ---- Code page 1252 --------------------------------------------------------------------------

// The characters of bytes 0x80 to 0x9F; the five bytes that the code page leaves undefined stand
// for the control characters of the same value, as the platform maps them.
constexpr char16_t kUpperControlRange[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t wideFromAnsi(unsigned char c) {
    if (c >= 0x80 && c <= 0x9F) return static_cast<wchar_t>(kUpperControlRange[c - 0x80]);
    return static_cast<wchar_t>(c);
}

// False when the character has no byte in the code page.
bool ansiFromWide(wchar_t w, unsigned char* out) {
    const auto u = static_cast<std::uint32_t>(w);
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
        *out = static_cast<unsigned char>(u);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kUpperControlRange[i] == u) {
            *out = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

bool servedCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == 1252;
}

// ---- Class ids -------------------------------------------------------------------------------

// The braced upper-case form into 39 characters with the terminating zero.
template <class Char>
void formatClassId(REFCLSID id, Char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    unsigned char bytes[16];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(id.Data1 >> (24 - 8 * i));
    for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<unsigned char>(id.Data2 >> (8 - 8 * i));
    for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<unsigned char>(id.Data3 >> (8 - 8 * i));
    for (int i = 0; i < 8; ++i) bytes[8 + i] = id.Data4[i];
    int at = 0;
    out[at++] = '{';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out[at++] = '-';
        out[at++] = static_cast<Char>(kDigits[bytes[i] >> 4]);
        out[at++] = static_cast<Char>(kDigits[bytes[i] & 0xF]);
    }
    out[at++] = '}';
    out[at] = 0;
}

int hexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool parseClassId(LPCOLESTR text, CLSID* out) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text[0] != L'{') return false;
    unsigned char bytes[16];
    int at = 1;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            if (text[at++] != L'-') return false;
        }
        const int high = hexValue(text[at]);
        const int low = high < 0 ? -1 : hexValue(text[at + 1]);
        if (low < 0) return false;
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
        at += 2;
    }
    if (text[at] != L'}' || text[at + 1] != 0) return false;
    out->Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 |
                 static_cast<std::uint32_t>(bytes[1]) << 16 |
                 static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
    out->Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    out->Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(out->Data4, bytes + 8, 8);
    return true;
}

// ---- Server modules --------------------------------------------------------------------------

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

struct ServerModule {
    HMODULE module;
    CanUnloadNowFunction canUnloadNow;  // null: the module stays
};

// Guards the server list and the count of initialised threads. Calls into a server that can
// lead to its unloading (class objects, creation, the unload question) run under it, so that
// no module is unloaded while this layer is still inside it. Recursive: a server may use COM
// from its DllMain or its objects' constructors.
std::recursive_mutex& comLock() {
    static auto* m = new std::recursive_mutex();
    return *m;
}
std::vector<ServerModule>& servers() {
    static auto* s = new std::vector<ServerModule>();
    return *s;
}
long gInitializedThreads = 0;  // under comLock
thread_local long tInitializeCount = 0;

// Unloads the server at `index` when it says it may go. Called with comLock held.
bool unloadIfUnused(std::size_t index) {
    ServerModule server = servers()[index];
    if (server.canUnloadNow == nullptr || server.canUnloadNow() != S_OK) return false;
    servers().erase(servers().begin() + static_cast<std::ptrdiff_t>(index));
    FreeLibrary(server.module);
    return true;
}

void unloadUnusedServers() {
    std::lock_guard lock(comLock());
    for (std::size_t i = servers().size(); i-- > 0;) unloadIfUnused(i);
}

std::size_t findServer(HMODULE module) {
    for (std::size_t i = 0; i < servers().size(); ++i) {
        if (servers()[i].module == module) return i;
    }
    return SIZE_MAX;
}

// The module named by the class's InprocServer32 key; false when the class is not registered
// as an in-process server.
bool registeredServerPath(REFCLSID clsid, std::string* path) {
    char keyPath[64];
    char text[39];
    formatClassId(clsid, text);
    std::snprintf(keyPath, sizeof keyPath, "CLSID\\%s\\InprocServer32", text);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    bool ok = RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
              type == REG_SZ;
    std::vector<BYTE> data;
    try {
        data.assign(size + 1, 0);
    } catch (const std::bad_alloc&) {
        RegCloseKey(key);
        throw;
    }
    if (ok) {
        DWORD read = size;
        ok = RegQueryValueExA(key, nullptr, nullptr, &type, data.data(), &read) == ERROR_SUCCESS &&
             type == REG_SZ && read <= size;
    }
    RegCloseKey(key);
    if (!ok) return false;
    // Stored with or without its terminating zero.
    *path = std::string(reinterpret_cast<const char*>(data.data()));
    return !path->empty();
}

// The class object of a registered in-process server, with the server module kept loaded.
// Called with comLock held.
HRESULT getClassObjectLocked(REFCLSID clsid, DWORD context, REFIID riid, LPVOID* ppv,
                             HMODULE* serverModule) {
    *ppv = nullptr;
    if (tInitializeCount == 0) return CO_E_NOTINITIALIZED;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    std::string path;
    if (!registeredServerPath(clsid, &path)) return REGDB_E_CLASSNOTREG;

    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    std::size_t index = findServer(module);
    if (index != SIZE_MAX) {
        FreeLibrary(module);  // this layer already holds its one reference
    } else {
        auto canUnloadNow =
            reinterpret_cast<CanUnloadNowFunction>(GetProcAddress(module, "DllCanUnloadNow"));
        try {
            servers().push_back({module, canUnloadNow});
        } catch (const std::bad_alloc&) {
            FreeLibrary(module);
            return E_OUTOFMEMORY;
        }
        index = servers().size() - 1;
    }
    auto getClassObject =
        reinterpret_cast<GetClassObjectFunction>(GetProcAddress(module, "DllGetClassObject"));
    if (getClassObject == nullptr) {
        servers().erase(servers().begin() + static_cast<std::ptrdiff_t>(index));
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    HRESULT hr = getClassObject(clsid, riid, ppv);
    if (FAILED(hr)) {
        *ppv = nullptr;
        unloadIfUnused(index);
        return hr;
    }
    *serverModule = module;
    return hr;
}

}  // namespace

ULONG releaseInprocObject(IUnknown* object) {
    if (object == nullptr) return 0;
    ULONG count = object->Release();
    CoFreeUnusedLibraries();
    return count;
}

std::size_t loadedInprocServers() {
    std::lock_guard lock(comLock());
    return servers().size();
}

long liveTaskMemoryBlocks() {
    return gTaskMemoryBlocks.load();
}

}  // namespace standin::win32

using namespace standin::win32;

LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb) {
    void* block = std::malloc(cb == 0 ? 1 : cb);
    if (block != nullptr) ++gTaskMemoryBlocks;
    return block;
}

void STDAPICALLTYPE CoTaskMemFree(LPVOID pv) {
    if (pv == nullptr) return;
    --gTaskMemoryBlocks;
    std::free(pv);
}

HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (lplpsz == nullptr) return E_INVALIDARG;
    *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
    if (*lplpsz == nullptr) return E_OUTOFMEMORY;
    formatClassId(rclsid, *lplpsz);
    return S_OK;
}

HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (pclsid == nullptr) return E_INVALIDARG;
    *pclsid = CLSID_NULL;
    if (lpsz == nullptr) return S_OK;
    CLSID parsed;
    if (!parseClassId(lpsz, &parsed)) return CO_E_CLASSSTRING;
    *pclsid = parsed;
    return S_OK;
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
    if (!servedCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    std::size_t length = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[length] != 0) ++length;
        ++length;  // the terminating zero too
    } else {
        length = static_cast<std::size_t>(cchWideChar);
    }
    if (length > INT32_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char defaultChar = lpDefaultChar != nullptr ? *lpDefaultChar : '?';
    bool usedDefault = false;
    if (cbMultiByte != 0 && length > static_cast<std::size_t>(cbMultiByte)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char byte = 0;
        if (!ansiFromWide(lpWideCharStr[i], &byte)) {
            byte = static_cast<unsigned char>(defaultChar);
            usedDefault = true;
        }
        if (cbMultiByte != 0) lpMultiByteStr[i] = static_cast<char>(byte);
    }
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    return static_cast<int>(length);
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    if (!servedCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    std::size_t length =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    if (length > INT32_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cchWideChar == 0) return static_cast<int>(length);
    if (length > static_cast<std::size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (std::size_t i = 0; i < length; ++i) {
        lpWideCharStr[i] = wideFromAnsi(static_cast<unsigned char>(lpMultiByteStr[i]));
    }
    return static_cast<int>(length);
}

HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved) {
    if (pvReserved != nullptr) return E_INVALIDARG;
    if (tInitializeCount++ > 0) return S_FALSE;
    std::lock_guard lock(comLock());
    ++gInitializedThreads;
    return S_OK;
}

void STDAPICALLTYPE CoUninitialize() {
    if (tInitializeCount == 0 || --tInitializeCount > 0) return;
    std::lock_guard lock(comLock());
    if (--gInitializedThreads == 0) unloadUnusedServers();
}

HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID /*pvReserved*/,
                                        REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    try {
        std::lock_guard lock(comLock());
        HMODULE module = nullptr;
        return getClassObjectLocked(rclsid, dwClsContext, riid, ppv, &module);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                        REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        std::lock_guard lock(comLock());
        HMODULE module = nullptr;
        IClassFactory* factory = nullptr;
        HRESULT hr = getClassObjectLocked(rclsid, dwClsContext, IID_IClassFactory,
                                          reinterpret_cast<void**>(&factory), &module);
        if (FAILED(hr)) return hr;
        hr = factory->CreateInstance(pUnkOuter, riid, ppv);
        factory->Release();
        if (FAILED(hr)) {
            *ppv = nullptr;
            const std::size_t index = findServer(module);
            if (index != SIZE_MAX) unloadIfUnused(index);
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void STDAPICALLTYPE CoFreeUnusedLibraries() {
    unloadUnusedServers();
}
