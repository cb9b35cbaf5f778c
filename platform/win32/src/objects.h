#pragma once
// Kernel objects that a wait can be satisfied by: events and threads.

#include "standin/win32/handles.h"

namespace standin::win32::detail {

class Waitable : public KernelObject {
  public:
    using KernelObject::KernelObject;
    // A descriptor that is readable while the object is signalled.
    virtual int waitFd() const = 0;
    // True when a satisfied wait takes the signal away (an automatic-reset event).
    virtual bool consumedByWait() const = 0;
};

}  // namespace standin::win32::detail
