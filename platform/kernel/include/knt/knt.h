#pragma once
// The one header that kernel-side product code includes: the kernel's types and services and
// the kernel-mode driver framework.

#include "knt/nt_types.h"
#include "knt/nt_kernel.h"
#include "knt/wdf.h"
