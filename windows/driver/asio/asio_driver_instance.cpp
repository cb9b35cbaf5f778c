// The driver object's creation for the class factory. This file is alone in defining it, so
// that a program can bring its own (the COM server's tests make test objects with it).

#include <new>

#include "asio_driver.h"

CUnknown* WINAPI AAsio::CreateInstance(LPUNKNOWN outer, HRESULT* result) {
    auto* object = new (std::nothrow) AAsio(outer, result);
    if (object != nullptr && object->playbackBuffers == nullptr) {
        delete object;  // its output halves could not be allocated
        object = nullptr;
    }
    if (object == nullptr && result != nullptr) *result = E_OUTOFMEMORY;
    return object;
}
