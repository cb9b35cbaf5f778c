// The driver object's creation in a build without the driver object: nothing can be made, which
// the class factory reports as for a failed allocation (E_OUTOFMEMORY). This file is alone in
// defining it, so that a program can bring its own.

#include "asio_driver.h"

CUnknown* WINAPI AAsio::CreateInstance(LPUNKNOWN /*outer*/, HRESULT* /*result*/) {
    return nullptr;
}
