#pragma once
// The user-mode Win32 stand-in: the one header product code includes.
//
// It declares, with the platform's names and signatures, only the calls and types that the
// product uses. The declarations are split by area into the files below.

#include "win32/win_types.h"
#include "win32/win_errors.h"
#include "win32/win_base.h"
#include "win32/win_files.h"
#include "win32/win_modules.h"
#include "win32/win_process.h"
#include "win32/win_registry.h"
#include "win32/win_user.h"
#include "win32/win_messages.h"
#include "win32/win_threads.h"
#include "win32/win_devices.h"
#include "win32/win_com.h"
#include "win32/win_windows.h"
#include "win32/win_resources.h"
