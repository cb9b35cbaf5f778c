#pragma once
// User-interface odds and ends: message boxes and ANSI lower-casing.

#include "win32/win_types.h"

extern "C" {

#define MB_OK 0x00000000L
#define IDOK 1

// Never blocks: the box is printed on standard error, or recorded for tests when recording is
// on (standin/win32/testing.h). The answer is the box's first button (IDOK for MB_OK).
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// Lower-cases a string in place (code page 1252), or, when the high word of the argument is
// zero, one character passed in the low byte, returned the same way.
LPSTR WINAPI CharLowerA(LPSTR lpsz);

}  // extern "C"
