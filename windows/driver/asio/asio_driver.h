#pragma once
// The ASIO driver object: the class that hosts create through the class factory.

#include "com_base.h"

class AAsio {
  public:
    // Makes a driver object inside `outer` (or standing alone when null) and returns its
    // CUnknown part; null when it cannot be made, with *result left as it was.
    static CUnknown* WINAPI CreateInstance(LPUNKNOWN outer, HRESULT* result);
};
