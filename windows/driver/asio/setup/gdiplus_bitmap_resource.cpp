// The setup dialog's image holders.

#include "gdiplus_bitmap_resource.h"

#include <cstring>

CGdiPlusBitmap::~CGdiPlusBitmap() {
    Empty();
}

void CGdiPlusBitmap::Empty() {
    delete m_pBitmap;
    m_pBitmap = nullptr;
}

CGdiPlusBitmapResource::~CGdiPlusBitmapResource() {
    Release();
}

void CGdiPlusBitmapResource::Release() {
    Empty();
    if (m_hBuffer != nullptr) {
        GlobalUnlock(m_hBuffer);
        GlobalFree(m_hBuffer);
        m_hBuffer = nullptr;
    }
}

bool CGdiPlusBitmapResource::Load(UINT id, LPCSTR type, HMODULE module) {
    Release();

    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), type);
    if (resource == nullptr) return false;
    const DWORD size = SizeofResource(module, resource);
    if (size == 0) return false;
    const void* bytes = LockResource(LoadResource(module, resource));
    if (bytes == nullptr) return false;

    m_hBuffer = GlobalAlloc(GMEM_MOVEABLE, size);
    if (m_hBuffer == nullptr) return false;
    void* buffer = GlobalLock(m_hBuffer);
    if (buffer == nullptr) {
        GlobalFree(m_hBuffer);
        m_hBuffer = nullptr;
        return false;
    }
    std::memcpy(buffer, bytes, size);

    // The stream leaves the memory to the holder when it is released.
    IStream* stream = nullptr;
    if (CreateStreamOnHGlobal(m_hBuffer, FALSE, &stream) != S_OK || stream == nullptr) {
        GlobalUnlock(m_hBuffer);
        GlobalFree(m_hBuffer);
        m_hBuffer = nullptr;
        return false;
    }
    m_pBitmap = Gdiplus::Bitmap::FromStream(stream, FALSE);
    stream->Release();  // the bitmap holds its own reference
    if (m_pBitmap != nullptr && m_pBitmap->GetLastStatus() == Gdiplus::Ok) return true;
    Release();
    return false;
}
