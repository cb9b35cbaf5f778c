// Module resources, global memory blocks and streams over them.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "standin/win32/modules.h"
#include "standin/win32/resources.h"
#include "standin/win32/text.h"
#include "win32/windows.h"

namespace standin::win32 {
namespace {

struct Table {
    HMODULE module;
    const ResourceEntry* entries;
    std::size_t count;
};

struct Resources {
    std::mutex mu;
    std::vector<Table> tables;
};

Resources& resources() {
    static auto* r = new Resources();  // modules may unregister during static destruction
    return *r;
}

std::string keyOf(const char* nameOrId) {
    if (IS_INTRESOURCE(nameOrId))
        return std::string("#").append(std::to_string(reinterpret_cast<ULONG_PTR>(nameOrId)));
    std::string s = nameOrId;
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool sameKey(const std::string& key, const char* entry) {
    std::string e = entry;
    for (char& c : e) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key == e;
}

}  // namespace

void registerModuleResources(const void* anchor, const ResourceEntry* entries, std::size_t count) {
    HMODULE module = moduleFromAddress(anchor);
    std::lock_guard lock(resources().mu);
    resources().tables.push_back({module, entries, count});
}

void unregisterModuleResources(const ResourceEntry* entries) {
    std::lock_guard lock(resources().mu);
    std::erase_if(resources().tables, [&](const Table& t) { return t.entries == entries; });
}

}  // namespace standin::win32

using namespace standin::win32;

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
    if (lpName == nullptr || lpType == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (hModule == nullptr) hModule = GetModuleHandleA(nullptr);
    const std::string name = keyOf(lpName);
    const std::string type = keyOf(lpType);
    bool typeSeen = false;
    std::lock_guard lock(resources().mu);
    for (const Table& t : resources().tables) {
        if (t.module != hModule) continue;
        for (std::size_t i = 0; i < t.count; ++i) {
            if (!sameKey(type, t.entries[i].type)) continue;
            typeSeen = true;
            if (sameKey(name, t.entries[i].name)) {
                return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(&t.entries[i]));
            }
        }
    }
    SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    auto conv = [](LPCWSTR s, std::string& keep) -> LPCSTR {
        if (IS_INTRESOURCE(s)) return reinterpret_cast<LPCSTR>(s);
        keep = toUtf8(s);
        return keep.c_str();
    };
    std::string n, t;
    return FindResourceA(hModule, conv(lpName, n), conv(lpType, t));
}

namespace {

// Only handles FindResource handed out are accepted.
const ResourceEntry* entryOf(HRSRC h) {
    std::lock_guard lock(resources().mu);
    for (const Table& t : resources().tables) {
        auto* e = reinterpret_cast<const ResourceEntry*>(h);
        if (e >= t.entries && e < t.entries + t.count) return e;
    }
    return nullptr;
}

}  // namespace

HGLOBAL WINAPI LoadResource(HMODULE /*hModule*/, HRSRC hResInfo) {
    const ResourceEntry* e = entryOf(hResInfo);
    if (e == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return const_cast<unsigned char*>(e->data);
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
    return hResData;
}

DWORD WINAPI SizeofResource(HMODULE /*hModule*/, HRSRC hResInfo) {
    const ResourceEntry* e = entryOf(hResInfo);
    if (e == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    return static_cast<DWORD>(e->size);
}

BOOL WINAPI FreeResource(HGLOBAL /*hResData*/) {
    return FALSE;
}

// ---- Global memory ------------------------------------------------------------------------------
namespace {

struct Block {
    unsigned char* data = nullptr;
    std::size_t size = 0;
    bool moveable = false;
    int locks = 0;
};

struct Blocks {
    std::mutex mu;
    std::map<HGLOBAL, Block> live;  // by handle (fixed blocks: by address)
    std::uintptr_t nextHandle = 0x51000;
};

Blocks& blocks() {
    static auto* b = new Blocks();
    return *b;
}

Block* blockLocked(HGLOBAL h) {
    auto it = blocks().live.find(h);
    return it == blocks().live.end() ? nullptr : &it->second;
}

}  // namespace

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    if (uFlags & ~static_cast<UINT>(GMEM_MOVEABLE | GMEM_ZEROINIT)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* data = static_cast<unsigned char*>(std::malloc(std::max<SIZE_T>(dwBytes, 1)));
    if (data == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (uFlags & GMEM_ZEROINIT) std::memset(data, 0, dwBytes);
    Block b{data, dwBytes, (uFlags & GMEM_MOVEABLE) != 0, 0};
    std::lock_guard lock(blocks().mu);
    HGLOBAL h = data;
    if (b.moveable) {
        h = reinterpret_cast<HGLOBAL>(blocks().nextHandle);
        blocks().nextHandle += 8;
    }
    blocks().live[h] = b;
    return h;
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
    std::lock_guard lock(blocks().mu);
    Block* b = blockLocked(hMem);
    if (b == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (b->moveable) ++b->locks;
    return b->data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
    std::lock_guard lock(blocks().mu);
    Block* b = blockLocked(hMem);
    if (b == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!b->moveable || b->locks == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    if (--b->locks == 0) {
        SetLastError(ERROR_SUCCESS);
        return FALSE;
    }
    return TRUE;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
    std::lock_guard lock(blocks().mu);
    Block* b = blockLocked(hMem);
    if (b == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    std::free(b->data);
    blocks().live.erase(hMem);
    return nullptr;
}

SIZE_T WINAPI GlobalSize(HGLOBAL hMem) {
    std::lock_guard lock(blocks().mu);
    Block* b = blockLocked(hMem);
    if (b == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return b->size;
}

HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT /*uFlags*/) {
    std::lock_guard lock(blocks().mu);
    Block* b = blockLocked(hMem);
    if (b == nullptr || !b->moveable) {
        SetLastError(b ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto* data = static_cast<unsigned char*>(std::realloc(b->data, std::max<SIZE_T>(dwBytes, 1)));
    if (data == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (dwBytes > b->size) std::memset(data + b->size, 0, dwBytes - b->size);
    b->data = data;
    b->size = dwBytes;
    return hMem;
}

// ---- Streams ------------------------------------------------------------------------------------
namespace {

class HGlobalStream final : public IStream {
  public:
    HGlobalStream(HGLOBAL mem, bool deleteOnRelease)
        : mem_(mem), deleteOnRelease_(deleteOnRelease) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStream) ||
            IsEqualIID(riid, IID_ISequentialStream)) {
            *ppv = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs_;
        if (n == 0) {
            if (deleteOnRelease_) GlobalFree(mem_);
            delete this;
        }
        return n;
    }

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pv == nullptr) return STG_E_INVALIDPOINTER;
        std::lock_guard lock(mu_);
        SIZE_T size = GlobalSize(mem_);
        auto* data = static_cast<unsigned char*>(GlobalLock(mem_));
        if (data == nullptr) return E_FAIL;
        ULONG n = pos_ >= size ? 0 : static_cast<ULONG>(std::min<ULONGLONG>(cb, size - pos_));
        std::memcpy(pv, data + pos_, n);
        GlobalUnlock(mem_);
        pos_ += n;
        if (pcbRead) *pcbRead = n;
        return n < cb ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pv == nullptr) return STG_E_INVALIDPOINTER;
        std::lock_guard lock(mu_);
        if (pos_ + cb > GlobalSize(mem_) &&
            GlobalReAlloc(mem_, pos_ + cb, GMEM_MOVEABLE) == nullptr)
            return STG_E_MEDIUMFULL;
        auto* data = static_cast<unsigned char*>(GlobalLock(mem_));
        if (data == nullptr) return E_FAIL;
        std::memcpy(data + pos_, pv, cb);
        GlobalUnlock(mem_);
        pos_ += cb;
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* newPos) override {
        std::lock_guard lock(mu_);
        LONGLONG base = origin == STREAM_SEEK_SET   ? 0
                        : origin == STREAM_SEEK_CUR ? static_cast<LONGLONG>(pos_)
                        : origin == STREAM_SEEK_END ? static_cast<LONGLONG>(GlobalSize(mem_))
                                                    : -1;
        if (base < 0) return STG_E_INVALIDFUNCTION;
        LONGLONG target = base + move.QuadPart;
        if (target < 0) return STG_E_INVALIDFUNCTION;
        pos_ = static_cast<ULONGLONG>(target);
        if (newPos) newPos->QuadPart = pos_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
        std::lock_guard lock(mu_);
        return GlobalReAlloc(mem_, static_cast<SIZE_T>(size.QuadPart), GMEM_MOVEABLE)
                   ? S_OK
                   : STG_E_MEDIUMFULL;
    }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD) override {
        if (st == nullptr) return STG_E_INVALIDPOINTER;
        *st = STATSTG{};
        st->type = STGTY_STREAM;
        st->cbSize.QuadPart = GlobalSize(mem_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

    HGLOBAL memory() const { return mem_; }

  private:
    ~HGlobalStream() = default;
    std::mutex mu_;
    std::atomic<ULONG> refs_{1};
    HGLOBAL mem_;
    bool deleteOnRelease_;
    ULONGLONG pos_ = 0;
};

}  // namespace

HRESULT WINAPI CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm) {
    if (ppstm == nullptr) return E_INVALIDARG;
    *ppstm = nullptr;
    if (hGlobal == nullptr) {
        hGlobal = GlobalAlloc(GMEM_MOVEABLE, 0);
        if (hGlobal == nullptr) return E_OUTOFMEMORY;
    } else {
        std::lock_guard lock(blocks().mu);
        Block* b = blockLocked(hGlobal);
        if (b == nullptr || !b->moveable) return E_INVALIDARG;
    }
    *ppstm = new HGlobalStream(hGlobal, fDeleteOnRelease != FALSE);
    return S_OK;
}

HRESULT WINAPI GetHGlobalFromStream(LPSTREAM pstm, HGLOBAL* phglobal) {
    auto* s = dynamic_cast<HGlobalStream*>(pstm);
    if (s == nullptr || phglobal == nullptr) return E_INVALIDARG;
    *phglobal = s->memory();
    return S_OK;
}
