#pragma once
// The one header that kernel-side product code includes: the kernel's types and services, the
// kernel-mode driver framework and its USB objects.

#include "knt/nt_types.h"
#include "knt/nt_kernel.h"
#include "knt/wdf.h"
#include "knt/wdf_usb.h"
