#pragma once
// The library's built-in control panel: one modal dialog drawn entirely from PNG images and
// text, with three pages (0 "Preferences", 1 "PGM Inputs 1-4", 3 "MIDI Configuration"), a poll
// thread that keeps its view of the device current and runs firmware updates, and the
// process-wide state that the dialog's thread, the poll thread and the status monitor thread
// share without locks (whole bytes and 32-bit words, read as snapshots).
//
// One concern per file: setup_dialog.cpp (state, tables, input, device messages, start and
// close), setup_paint.cpp (painting), setup_poll_thread.cpp (the poll thread and its callbacks),
// gdiplus_bitmap_resource.cpp (the image holders), combo_box_color_override.cpp (the channel
// lists).

#include <atomic>
#include <cstdint>

#include "combo_box_color_override.h"
#include "control_exports.h"
#include "gdiplus_bitmap_resource.h"
#include "hidi_packet.h"
#include "ui/afx.h"
#include "win32/windows.h"

struct AudioDeviceInterfaceWrapper;

// ---- Resources -------------------------------------------------------------------------------
inline constexpr UINT kSetupDialogTemplateId = 101;
inline constexpr UINT kSetupDialogIconId = 115;
inline constexpr int kSetupImageCount = 26;
// The PNG resources the dialog loads, in the order of its `images` (225 and 226 do not exist).
inline constexpr UINT kSetupImageIds[kSetupImageCount] = {
    200, 201, 222, 225, 202, 203, 204, 205, 206, 207, 208, 209, 210,
    212, 213, 226, 214, 215, 216, 217, 218, 219, 220, 221, 223, 224};

// ---- Fixed layout (client pixels) ------------------------------------------------------------
inline constexpr int kSetupClientWidth = 669;  // the size of background 200
inline constexpr int kSetupClientHeight = 327;
inline constexpr RECT kPageButtonRect = {9, 7, 165, 43};
inline constexpr int kUpdateButtonLeft = 27;
inline constexpr int kUpdateButtonTop = 286;
inline constexpr UINT kOutPortComboId = 400;
inline constexpr UINT kInPortComboId = 401;
inline constexpr UINT_PTR kSliderApplyTimerId = 1;

// Pages.
inline constexpr std::int32_t kPagePreferences = 0;
inline constexpr std::int32_t kPagePgmInputs = 1;
inline constexpr std::int32_t kPageMidi = 3;

// ---- Tables ----------------------------------------------------------------------------------
// One slider. The track is fixed; value and isDragging change at run time (value also from the
// status monitor thread, for controls 34 and 35).
struct SetupSlider {
    std::int32_t page;
    std::int32_t index;
    float left, top, right, bottom;
    BYTE isHorizontal;
    std::int32_t minimum;
    std::int32_t maximum;
    std::atomic<std::int32_t> value;
    std::atomic<BYTE> isDragging;
};

// One radio button: selected when ControlMirror[control] equals value. hitRect is rewritten at
// every paint (all 0 until the button has been painted); only the dialog's thread touches it.
struct SetupRadioButton {
    float x, y;
    const wchar_t* label;
    UINT control;
    BYTE value;
    std::int32_t page;
    int hitRect[4];
};

inline constexpr int kSetupSliderCount = 3;
inline constexpr int kSetupRadioButtonCount = 13;
extern SetupSlider gSetupSliders[kSetupSliderCount];
extern SetupRadioButton gSetupRadioButtons[kSetupRadioButtonCount];
// Layout values filled at library load: the x of the label "USB-6 Record", and the top of the
// channel lists.
extern float gUsbRecordLabelX;
extern int gChannelListTop;

// Fills radio-button entries 3 to 12 and the two layout values; runs during the library's
// static initialisation, before the application object is constructed.
void InitSetupDialogLayout();

// ---- Process-wide state (one set per process; kept from one dialog to the next) --------------
class AAsioSetupDialog;
extern std::atomic<AAsioSetupDialog*> activeDialog;
extern std::atomic<BYTE> isConnected;
extern std::atomic<BYTE> isUpdating;
extern std::atomic<BYTE> stopPollThread;
extern std::atomic<BYTE> isNewerFirmwareAvailable;
extern std::atomic<std::int32_t> SetupDialogPage;
extern std::atomic<std::int32_t> searchLedIndex;
extern std::atomic<std::uint32_t> updateProgress;
extern std::atomic<std::uint32_t> allControlsRequestTick;
extern std::atomic<BYTE> repaintPending;
extern std::atomic<std::uint32_t> repaintPendingTick;
extern std::atomic<BYTE> controlPoint;
extern std::atomic<BYTE> ControlMirror[256];
extern std::atomic<HidiParser*> messageParser;

// A firmware version shared between the poll thread (writer) and painting (reader), field by
// field.
struct SharedVersion {
    std::atomic<std::uint32_t> major{0};
    std::atomic<std::uint32_t> minor{0};
    std::atomic<std::uint32_t> reserved{0};
    std::atomic<std::uint32_t> build{0};
    void store(const VersionRecord& v);
    VersionRecord load() const;
};
extern SharedVersion deviceFirmwareVersion;
extern SharedVersion embeddedFirmwareVersion;

// ---- The dialog ------------------------------------------------------------------------------
class AAsioSetupDialog : public CDialog {
    DECLARE_DYNAMIC(AAsioSetupDialog)

  public:
    explicit AAsioSetupDialog(CWnd* pParent = nullptr);
    ~AAsioSetupDialog() override;

    // Slider geometry: the thumb's centre, and its grab (and repaint) rectangle.
    static void GetSliderThumbCentre(int slider, float* x, float* y);
    static CRect GetSliderThumbRect(int slider);

    // The dialog's device-message callback (status monitor thread).
    static void CALLBACK OnDeviceHidiMessage(vq36::HidiInEntry* entry);

    // The open device; null until opened (by the constructor, or later by the poll thread).
    std::atomic<AudioDeviceInterfaceWrapper*> deviceHandle{nullptr};

  protected:
    BOOL OnInitDialog() override;
    void OnCancel() override;
    // Enter (the framework's OK path) closes the dialog the way OnCancel does.
    void OnOK() override;

    afx_msg void OnTimer(UINT_PTR nIDEvent);
    afx_msg void OnPaint();
    afx_msg void OnLButtonDown(UINT nFlags, CPoint point);
    afx_msg void OnMouseMove(UINT nFlags, CPoint point);
    afx_msg BOOL OnEraseBkgnd(CDC* pDC);
    afx_msg void OnMidiOutPortChannelCloseUp();
    afx_msg void OnMidiInPortChannelCloseUp();

  private:
    // The slider apply step (timer 1, and at once after a change of slider 1 or 2).
    void ApplySliders();
    // What OnCancel and OnOK share: stores the buffer length and stops the poll thread.
    void StoreSettingsAndStopPollThread();
    void CloseUpChannelList(AComboBoxColorOverride* combo, bool outPort);
    Gdiplus::Bitmap* Image(UINT id) const;

    // Painting (setup_paint.cpp).
    void PaintPage(Gdiplus::Graphics& g, const Gdiplus::Font& titleFont,
                   const Gdiplus::Font& labelFont, const Gdiplus::Font& smallFont);
    void PaintPreferences(Gdiplus::Graphics& g, const Gdiplus::Font& titleFont,
                          const Gdiplus::Font& labelFont, const Gdiplus::Font& smallFont);
    void PaintMidiConfiguration(Gdiplus::Graphics& g, const Gdiplus::Font& titleFont,
                                const Gdiplus::Font& labelFont, const Gdiplus::Font& smallFont);
    void DrawProgressLeds(Gdiplus::Graphics& g);

    AComboBoxColorOverride* spareCombos[4] = {};
    AComboBoxColorOverride* outPortCombo = nullptr;
    AComboBoxColorOverride* inPortCombo = nullptr;
    std::atomic<std::uint32_t> lastBufferSliderMoveTick{0};
    HANDLE pollThread = nullptr;
    CFont listFont;
    CGdiPlusBitmapResource images[kSetupImageCount];
    // Whether this dialog still owns deviceHandle when it goes (see the close path).
    bool ownsDeviceHandle = true;

    DECLARE_MESSAGE_MAP()
};

// The poll thread (argument: the dialog); returns 0.
DWORD WINAPI SetupDialogPollThread(LPVOID dialog);
// The dialog's firmware progress (poll thread) and port status (status monitor thread)
// callbacks.
void CALLBACK OnFirmwareUpdateProgress(BYTE* percent);
void CALLBACK OnUsbPortStatus(std::int32_t* status);

// Runs `use` with the dialog the poll thread serves, under the lock that a closing dialog takes
// to detach itself; false (and nothing run) when no dialog is served.
bool WithActiveDialog(void (*use)(AAsioSetupDialog* dialog, void* context), void* context);

// The hand-over between a closing dialog and its poll thread (setup_poll_thread.cpp).
// Called by the closing dialog after its wait: true when the thread has ended (the dialog keeps
// its device handle), false when the thread goes on (an update runs) and now owns the handle
// and its own thread handle; the dialog is no longer served either way.
bool DetachSetupDialogPollThread(AAsioSetupDialog* dialog, HANDLE thread);
// Waits for a poll thread that outlived its dialog (a new dialog, and the library's unload,
// wait for it before going on).
void WaitForDetachedSetupPollThread();
// The dialog's fixed waits (3000 and 5000 ms in the poll thread, 10000 ms when closing), as
// this process makes them (shortened only by the test setting of the firmware update's waits).
DWORD SetupDialogWait(DWORD ms);
