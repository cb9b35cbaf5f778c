#pragma once
// The multimedia layer as installable drivers see it: DriverProc messages and answers, the MIDI
// driver messages (modMessage, midMessage), the open description, DriverCallback and
// DefDriverProc, with the platform's names and values.

#include "winmm/mmsystem.h"

extern "C" {

typedef struct HDRVR__* HDRVR;

// ---- DriverProc
// ----------------------------------------------------------------------------------
#define DRV_LOAD 0x0001
#define DRV_ENABLE 0x0002
#define DRV_OPEN 0x0003
#define DRV_CLOSE 0x0004
#define DRV_DISABLE 0x0005
#define DRV_FREE 0x0006
#define DRV_CONFIGURE 0x0007
#define DRV_QUERYCONFIGURE 0x0008
#define DRV_INSTALL 0x0009
#define DRV_REMOVE 0x000A
#define DRV_EXITSESSION 0x000B
#define DRV_POWER 0x000F
#define DRV_RESERVED 0x0800
#define DRV_USER 0x4000

#define DRVCNF_CANCEL 0x0000
#define DRVCNF_OK 0x0001
#define DRVCNF_RESTART 0x0002

typedef LRESULT(CALLBACK* DRIVERPROC)(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg, LPARAM lParam1,
                                      LPARAM lParam2);

// Default answers for the messages a driver does not handle: 1 for DRV_LOAD, DRV_FREE,
// DRV_ENABLE, DRV_DISABLE, DRV_OPEN and DRV_CLOSE, DRVCNF_OK for DRV_INSTALL and DRV_REMOVE,
// 0 for everything else.
LRESULT WINAPI DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1,
                             LPARAM lParam2);

// ---- MIDI driver messages
// ------------------------------------------------------------------------
#define MODM_GETNUMDEVS 1
#define MODM_GETDEVCAPS 2
#define MODM_OPEN 3
#define MODM_CLOSE 4
#define MODM_PREPARE 5
#define MODM_UNPREPARE 6
#define MODM_DATA 7
#define MODM_LONGDATA 8
#define MODM_RESET 9
#define MODM_GETVOLUME 10
#define MODM_SETVOLUME 11
#define MODM_CACHEPATCHES 12
#define MODM_CACHEDRUMPATCHES 13

#define MIDM_GETNUMDEVS 53
#define MIDM_GETDEVCAPS 54
#define MIDM_OPEN 55
#define MIDM_CLOSE 56
#define MIDM_PREPARE 57
#define MIDM_UNPREPARE 58
#define MIDM_ADDBUFFER 59
#define MIDM_START 60
#define MIDM_STOP 61
#define MIDM_RESET 62

typedef struct midiopenstrmid_tag {
    DWORD dwStreamID;
    UINT uDeviceID;
} MIDIOPENSTRMID;

// The second parameter of MODM_OPEN and MIDM_OPEN.
typedef struct midiopendesc_tag {
    HMIDI hMidi;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    DWORD_PTR dnDevNode;
    DWORD cIds;
    MIDIOPENSTRMID rgIds[1];
} MIDIOPENDESC, *LPMIDIOPENDESC;

typedef DWORD(APIENTRY* MIDIDRIVERMESSAGE)(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser,
                                           DWORD_PTR dwParam1, DWORD_PTR dwParam2);

// ---- DriverCallback
// ------------------------------------------------------------------------------ The kinds, as the
// upper word of an open's flags (CALLBACK_*) gives them.
#define DCB_NULL 0x0000
#define DCB_WINDOW 0x0001
#define DCB_TASK 0x0002
#define DCB_FUNCTION 0x0003
#define DCB_EVENT 0x0005
#define DCB_TYPEMASK 0x0007
#define DCB_NOSWITCH 0x0008

// Calls back the client of a driver: a function (called with hDevice, dwMsg, dwUser, dwParam1,
// dwParam2), an event (set), or a thread (dwMsg posted to the queue of the thread whose id is
// dwCallback, with hDevice as wParam and dwParam1 as lParam).
// TRUE when the callback was made; FALSE for DCB_NULL, an unknown kind or a bad target.
BOOL APIENTRY DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg,
                             DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);

}  // extern "C"
