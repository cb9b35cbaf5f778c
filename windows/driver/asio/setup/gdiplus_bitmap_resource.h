#pragma once
// The setup dialog's image holders: a GDI+ bitmap, and one made from a PNG resource of a module
// (the bitmap reads from a stream over moveable global memory that holds the PNG's bytes and
// stays locked while the bitmap lives).

#include "ui/afx.h"
#include "win32/windows.h"

class CGdiPlusBitmap {
  public:
    CGdiPlusBitmap() = default;
    virtual ~CGdiPlusBitmap();
    CGdiPlusBitmap(const CGdiPlusBitmap&) = delete;
    CGdiPlusBitmap& operator=(const CGdiPlusBitmap&) = delete;

    // The bitmap; null when the holder is empty.
    Gdiplus::Bitmap* m_pBitmap = nullptr;
    operator Gdiplus::Bitmap*() const { return m_pBitmap; }

  protected:
    void Empty();
};

class CGdiPlusBitmapResource : public CGdiPlusBitmap {
  public:
    CGdiPlusBitmapResource() = default;
    ~CGdiPlusBitmapResource() override;

    // Loads resource `id` of type `type` from `module`; false (and the holder empty) when it is
    // missing, empty, cannot be copied into memory or is not an image.
    bool Load(UINT id, LPCSTR type, HMODULE module);
    // Releases the bitmap and the memory under it.
    void Release();

  protected:
    HGLOBAL m_hBuffer = nullptr;
};
