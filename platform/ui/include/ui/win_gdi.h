#pragma once
// GDI: device contexts, fonts, brushes, text; icons; dialogs' keyboard handling.
//
// Device contexts draw with cairo on the surface of the window's top-level window (see the
// display in ui/standin_ui.h). Fonts come through fontconfig: "Arial", "MS Shell Dlg",
// "MS Shell Dlg 2", "Microsoft Sans Serif" and "Tahoma" resolve to Liberation Sans, whose
// advance widths match Arial's; text is anti-aliased with unhinted metrics. The screen has
// 96 pixels per inch.

#include "win32/windows.h"

extern "C" {

typedef struct HFONT__* HFONT;
typedef struct HPEN__* HPEN;
typedef struct HBITMAP__* HBITMAP;

#define RGB(r, g, b)                                                              \
    (static_cast<COLORREF>(                                                       \
        (static_cast<BYTE>(r) | (static_cast<WORD>(static_cast<BYTE>(g)) << 8)) | \
        (static_cast<DWORD>(static_cast<BYTE>(b)) << 16)))
#define GetRValue(rgb) (LOBYTE(rgb))
#define GetGValue(rgb) (LOBYTE((static_cast<WORD>(rgb)) >> 8))
#define GetBValue(rgb) (LOBYTE((rgb) >> 16))
#define CLR_INVALID 0xFFFFFFFF

// Stock objects.
#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define HOLLOW_BRUSH NULL_BRUSH
#define SYSTEM_FONT 13
#define DEFAULT_GUI_FONT 17
HGDIOBJ WINAPI GetStockObject(int i);

#define TRANSPARENT 1
#define OPAQUE 2

#define LF_FACESIZE 32
#define FW_NORMAL 400
#define FW_BOLD 700
#define DEFAULT_CHARSET 1
#define OUT_DEFAULT_PRECIS 0
#define CLIP_DEFAULT_PRECIS 0
#define DEFAULT_QUALITY 0
#define ANTIALIASED_QUALITY 4
#define DEFAULT_PITCH 0
#define FF_DONTCARE 0

typedef struct tagLOGFONTA {
    LONG lfHeight;  // < 0: character (em) height in pixels; > 0: cell height; 0: default
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    CHAR lfFaceName[LF_FACESIZE];
} LOGFONTA, *LPLOGFONTA;
typedef struct tagLOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
} LOGFONTW, *LPLOGFONTW;

HFONT WINAPI CreateFontIndirectA(const LOGFONTA* lplf);
HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lplf);
HBRUSH WINAPI CreateSolidBrush(COLORREF color);
// Stock objects are not deleted (TRUE all the same).
BOOL WINAPI DeleteObject(HGDIOBJ ho);
int WINAPI GetObjectA(HANDLE h, int c, LPVOID pv);

// The previous object of the kind, or NULL for an object that is not live.
HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h);
COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color);
COLORREF WINAPI GetTextColor(HDC hdc);
COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color);
COLORREF WINAPI GetBkColor(HDC hdc);
int WINAPI SetBkMode(HDC hdc, int mode);
int WINAPI GetBkMode(HDC hdc);

// Text of the selected font: advance width and the font's height (ascent + descent).
BOOL WINAPI GetTextExtentPoint32A(HDC hdc, LPCSTR lpString, int c, LPSIZE psizl);
BOOL WINAPI GetTextExtentPoint32W(HDC hdc, LPCWSTR lpString, int c, LPSIZE psizl);
// Draws with (x, y) the top-left corner of the text; an opaque background mode fills the text's
// box with the background colour first.
BOOL WINAPI TextOutA(HDC hdc, int x, int y, LPCSTR lpString, int c);
BOOL WINAPI TextOutW(HDC hdc, int x, int y, LPCWSTR lpString, int c);
int WINAPI FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr);

#define LOGPIXELSX 88
#define LOGPIXELSY 90
int WINAPI GetDeviceCaps(HDC hdc, int index);
int WINAPI MulDiv(int nNumber, int nNumerator, int nDenominator);

// ---- Icons --------------------------------------------------------------------------------------
// An icon resource here is an icon group (RT_GROUP_ICON) whose bytes are one PNG image.
#define IMAGE_BITMAP 0
#define IMAGE_ICON 1
#define LR_DEFAULTCOLOR 0x0000
#define LR_DEFAULTSIZE 0x0040
#define LR_SHARED 0x8000
HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName);
HICON WINAPI LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName);
HANDLE WINAPI LoadImageA(HINSTANCE hInst, LPCSTR name, UINT type, int cx, int cy, UINT fuLoad);
HANDLE WINAPI LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad);
BOOL WINAPI DestroyIcon(HICON hIcon);

// ---- Dialogs
// --------------------------------------------------------------------------------------
#define DS_MODALFRAME 0x80L
#define DS_SETFONT 0x40L
#define DS_CENTER 0x0800L
#define DM_GETDEFID (WM_USER + 0)
#define DLGC_WANTALLKEYS 0x0004

// Keyboard handling of a dialog: Escape becomes WM_COMMAND IDCANCEL, Enter WM_COMMAND IDOK (the
// default button's id); every other message of the dialog or its controls is translated and
// dispatched. TRUE when the message was the dialog's.
BOOL WINAPI IsDialogMessageA(HWND hDlg, LPMSG lpMsg);
BOOL WINAPI IsDialogMessageW(HWND hDlg, LPMSG lpMsg);
LRESULT WINAPI DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam);

// ---- Combo boxes
// ---------------------------------------------------------------------------------- The class
// "ComboBox". With CBS_DROPDOWNLIST its drop-down list is a popup window of the class "ComboLBox"
// under the face; the list asks the combo box for its colours with WM_CTLCOLORLISTBOX (which the
// combo box passes on to its parent when it does not handle it itself). A click on an item selects
// it (CBN_SELCHANGE), closes the list and sends CBN_SELENDOK and CBN_CLOSEUP; a click outside the
// list or Escape closes it with the selection it opened with (CBN_SELENDCANCEL, CBN_CLOSEUP). The
// height a combo box is moved or sized to is the extent of its drop-down list; the face keeps its
// own height (the list font's item height + 6). The list shows min(items, CB_SETMINVISIBLE's count
// (30 by default)) items, within that extent; with more items it has a vertical scroll bar, scrolls
// with the wheel, and opens scrolled to the selection. On the open list the arrow, page, Home and
// End keys change the selection (CBN_SELCHANGE each), Enter or F4 takes it.
#define CBS_SIMPLE 0x0001L
#define CBS_DROPDOWN 0x0002L
#define CBS_DROPDOWNLIST 0x0003L
#define CBS_HASSTRINGS 0x0200L

#define CB_ERR (-1)
#define CB_ERRSPACE (-2)
#define CB_GETCURSEL 0x0147
#define CB_ADDSTRING 0x0143
#define CB_DELETESTRING 0x0144
#define CB_GETCOUNT 0x0146
#define CB_GETLBTEXT 0x0148
#define CB_GETLBTEXTLEN 0x0149
#define CB_INSERTSTRING 0x014A
#define CB_RESETCONTENT 0x014B
#define CB_SETCURSEL 0x014E
#define CB_SHOWDROPDOWN 0x014F
#define CB_SETITEMHEIGHT 0x0153
#define CB_GETITEMHEIGHT 0x0154
#define CB_GETDROPPEDSTATE 0x0157
#define CB_SETMINVISIBLE 0x1701
#define CB_GETMINVISIBLE 0x1702

#define CBN_SELCHANGE 1
#define CBN_DBLCLK 2
#define CBN_SETFOCUS 3
#define CBN_KILLFOCUS 4
#define CBN_DROPDOWN 7
#define CBN_CLOSEUP 8
#define CBN_SELENDOK 9
#define CBN_SELENDCANCEL 10

}  // extern "C"
