#pragma once
// Message queues: one per thread, made at the thread's first message call.
//
// A thread gets its queue the first time it calls one of the functions below (a PeekMessage
// with PM_NOREMOVE is the usual way to make it before other threads post to it); a post to a
// thread that has none yet fails with ERROR_INVALID_THREAD_ID. The queue ends with its thread,
// and messages still in it are dropped. At most 10000 posted messages wait in one queue; a
// further post fails with ERROR_NOT_ENOUGH_QUOTA and nothing already queued is lost.
//
// A thread retrieves, in this order: messages sent to it from other threads (delivered to their
// window procedures inside GetMessage and PeekMessage, never returned), posted messages in the
// order of posting, input messages, WM_QUIT once PostQuitMessage was called and the posted and
// input messages are gone, WM_PAINT for its invalid windows, and WM_TIMER for its due timers.
// WM_QUIT is returned whatever the filter.

#include "win32/win_types.h"

extern "C" {

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;  // tick count (GetTickCount) when the message was posted or made
    POINT pt;    // cursor position in screen coordinates when it was posted
    DWORD lPrivate;
} MSG, *PMSG, *LPMSG;

#define WM_NULL 0x0000
#define WM_QUIT 0x0012
#define WM_USER 0x0400
#define WM_APP 0x8000

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

// Posts to the queue of the thread with the given id (a thread of this process).
BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);

// Posts to the queue of the thread that owns the window; a null window posts a thread message
// (hwnd null) to the calling thread. A window that does not exist: ERROR_INVALID_WINDOW_HANDLE.
BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// Waits for a message. hWnd null: any message of the thread; (HWND)-1: only thread messages;
// a window: only that window's messages. wMsgFilterMin and wMsgFilterMax both 0: all messages,
// else those in the range. Returns 0 for WM_QUIT, -1 (ERROR_INVALID_WINDOW_HANDLE) for a window
// that does not exist or belongs to another thread, else non-zero.
BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);

// As GetMessage without waiting: FALSE when no message is there. PM_REMOVE takes the message
// out of the queue; PM_NOREMOVE leaves it (a WM_PAINT is left as long as the window is invalid,
// a WM_TIMER until it is retrieved with PM_REMOVE).
BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg);
BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg);

// Makes the calling thread's queue return WM_QUIT with the exit code as wParam once the posted
// and input messages ahead of it have been retrieved.
VOID WINAPI PostQuitMessage(int nExitCode);

// Keyboard translation (WM_CHAR for character keys) and delivery of a retrieved message to its
// window procedure. A thread message (hwnd null) is not delivered: DispatchMessage returns 0.
BOOL WINAPI TranslateMessage(const MSG* lpMsg);
LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);
LRESULT WINAPI DispatchMessageW(const MSG* lpMsg);

}  // extern "C"
