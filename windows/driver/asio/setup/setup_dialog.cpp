// The setup dialog: its process-wide state, the slider and radio-button tables, input, the
// device's control messages, start and close.

#include "setup_dialog.h"

#include <cstdio>
#include <cstdlib>

#include "device_link.h"
#include "library.h"

// ---- Process-wide state ------------------------------------------------------------------------
std::atomic<AAsioSetupDialog*> activeDialog{nullptr};
std::atomic<BYTE> isConnected{0};
std::atomic<BYTE> isUpdating{0};
std::atomic<BYTE> stopPollThread{0};
std::atomic<BYTE> isNewerFirmwareAvailable{0};
std::atomic<std::int32_t> SetupDialogPage{kPagePreferences};
std::atomic<std::int32_t> searchLedIndex{0};
std::atomic<std::uint32_t> updateProgress{0};
SharedVersion deviceFirmwareVersion;
SharedVersion embeddedFirmwareVersion;
std::atomic<std::uint32_t> allControlsRequestTick{0};
std::atomic<BYTE> repaintPending{0};
std::atomic<std::uint32_t> repaintPendingTick{0};
std::atomic<BYTE> controlPoint{2};
std::atomic<BYTE> ControlMirror[256];
std::atomic<HidiParser*> messageParser{nullptr};

void SharedVersion::store(const VersionRecord& v) {
    major.store(v.major, std::memory_order_relaxed);
    minor.store(v.minor, std::memory_order_relaxed);
    reserved.store(v.reserved, std::memory_order_relaxed);
    build.store(v.build, std::memory_order_relaxed);
}

VersionRecord SharedVersion::load() const {
    return {major.load(std::memory_order_relaxed), minor.load(std::memory_order_relaxed),
            reserved.load(std::memory_order_relaxed), build.load(std::memory_order_relaxed)};
}

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

BYTE Mirror(UINT control) {
    return ControlMirror[control & 0xFF].load(relaxed);
}

bool AnySliderDragging() {
    for (const SetupSlider& s : gSetupSliders)
        if (s.isDragging.load(relaxed) != 0) return true;
    return false;
}

// comboRect of channel list i: 64 pixels wide around its centre, 20 high from the list top.
CRect ComboRect(int i) {
    const int cx = 283 + 163 * i;
    return CRect(cx - 32, gChannelListTop, cx + 32, gChannelListTop + 20);
}

}  // namespace

// ---- Tables ----------------------------------------------------------------------------------
SetupSlider gSetupSliders[kSetupSliderCount] = {
    {0, 0, 552, 97, 610, 273, 0, 0, 50, 0, 0},    // "Buffer Size"
    {0, 1, 18, 110, 78, 211, 0, 0, 127, 0, 0},    // "Headphone Tone" "Low", control 35
    {0, 2, 100, 110, 160, 211, 0, 0, 127, 0, 0},  // "Headphone Tone" "High", control 34
};

SetupRadioButton gSetupRadioButtons[kSetupRadioButtonCount] = {
    {198, 89, L"Main Mix", 33, 1, 0, {0, 0, 0, 0}},
    {198, 114, L"Mic 1", 33, 2, 0, {0, 0, 0, 0}},
    {274, 114, L"Mic 2", 33, 3, 0, {0, 0, 0, 0}},
};

float gUsbRecordLabelX = 0;
int gChannelListTop = 0;

void InitSetupDialogLayout() {
    struct Entry {
        float x, y;
        const wchar_t* label;
        UINT control;
        BYTE value;
        std::int32_t page;
    };
    static constexpr Entry kEntries[] = {
        {364, 89, L"On", 36, 1, 0},     {438, 89, L"Off", 36, 0, 0},
        {36, 171, L"High", 22, 96, 1},  {36, 195, L"Low", 22, 32, 1},
        {204, 171, L"High", 25, 96, 1}, {204, 195, L"Low", 25, 32, 1},
        {370, 171, L"High", 28, 96, 1}, {370, 195, L"Low", 28, 32, 1},
        {531, 171, L"High", 31, 96, 1}, {531, 195, L"Low", 31, 32, 1},
    };
    int i = 3;
    for (const Entry& e : kEntries) {
        gSetupRadioButtons[i++] = {e.x, e.y, e.label, e.control, e.value, e.page, {0, 0, 0, 0}};
    }
    gUsbRecordLabelX = 210;
    constexpr int kLabelRow = 68;
    gChannelListTop = kLabelRow + 14;
}

// ---- The dialog ------------------------------------------------------------------------------
IMPLEMENT_DYNAMIC(AAsioSetupDialog, CDialog)

BEGIN_MESSAGE_MAP(AAsioSetupDialog, CDialog)
ON_WM_TIMER()
ON_WM_PAINT()
ON_WM_LBUTTONDOWN()
ON_WM_MOUSEMOVE()
ON_WM_ERASEBKGND()
ON_CBN_CLOSEUP(kOutPortComboId, OnMidiOutPortChannelCloseUp)
ON_CBN_CLOSEUP(kInPortComboId, OnMidiInPortChannelCloseUp)
END_MESSAGE_MAP()

AAsioSetupDialog::AAsioSetupDialog(CWnd* pParent) : CDialog(kSetupDialogTemplateId, pParent) {
    const HMODULE module = AfxGetResourceHandle();
    for (int i = 0; i < kSetupImageCount; ++i) images[i].Load(kSetupImageIds[i], "PNG", module);
    if (deviceHandle.load() == nullptr) deviceHandle.store(RH_open());
    for (auto*& combo : spareCombos) combo = new AComboBoxColorOverride;
    outPortCombo = new AComboBoxColorOverride;
    inPortCombo = new AComboBoxColorOverride;
    lastBufferSliderMoveTick.store(0, relaxed);
}

AAsioSetupDialog::~AAsioSetupDialog() {
    for (auto*& combo : spareCombos) {
        delete combo;
        combo = nullptr;
    }
    delete outPortCombo;
    delete inPortCombo;
    outPortCombo = inPortCombo = nullptr;
    listFont.DeleteObject();
    for (auto& image : images) image.Release();
    // Choice: the dialog closes the device handle it opened. Left open, every dialog of a
    // process would add one handle to the link's list (which holds 512) and keep the status
    // monitor running for nobody. A poll thread that outlived the dialog (an update was still
    // running when the user closed it) owns the handle instead and closes it when it ends.
    if (ownsDeviceHandle) {
        if (AudioDeviceInterfaceWrapper* w = deviceHandle.exchange(nullptr)) VQ36_close(w);
    }
    if (pollThread != nullptr) CloseHandle(pollThread);
}

Gdiplus::Bitmap* AAsioSetupDialog::Image(UINT id) const {
    for (int i = 0; i < kSetupImageCount; ++i)
        if (kSetupImageIds[i] == id) return images[i];
    return nullptr;
}

void AAsioSetupDialog::GetSliderThumbCentre(int slider, float* x, float* y) {
    const SetupSlider& s = gSetupSliders[slider];
    const float fraction = static_cast<float>(s.value.load(relaxed) - s.minimum) /
                           static_cast<float>(s.maximum - s.minimum);
    if (s.isHorizontal == 0) {
        *x = (s.left + s.right) * 0.5f;
        *y = s.bottom - (s.bottom - s.top) * fraction;
    } else {
        *x = s.left + (s.right - s.left) * fraction;
        *y = (s.top + s.bottom) * 0.5f;
    }
}

CRect AAsioSetupDialog::GetSliderThumbRect(int slider) {
    const SetupSlider& s = gSetupSliders[slider];
    if (s.isHorizontal == 0) {
        return CRect(static_cast<int>(s.left), static_cast<int>(s.top - 32),
                     static_cast<int>(s.right), static_cast<int>(s.bottom + 32));
    }
    return CRect(static_cast<int>(s.left - 32), static_cast<int>(s.top),
                 static_cast<int>(s.right + 32), static_cast<int>(s.bottom));
}

// ---- Input -------------------------------------------------------------------------------------
void AAsioSetupDialog::ApplySliders() {
    AudioDeviceInterfaceWrapper* w = deviceHandle.load();
    std::int32_t ms = gSetupSliders[0].value.load(relaxed);
    if (ms < 1) ms = 1;
    if (static_cast<DWORD>(ms) != getBufferSizeMillisecs()) RH_set_buffer_millisecs(w, ms);
    const struct {
        int slider;
        UINT control;
    } tones[] = {{1, 35}, {2, 34}};
    for (const auto& t : tones) {
        const BYTE v = static_cast<BYTE>(gSetupSliders[t.slider].value.load(relaxed));
        if (v != Mirror(t.control)) {
            VQ36_send_control_change(w, static_cast<std::int32_t>(t.control), v);
            ControlMirror[t.control].store(v, relaxed);
        }
    }
    KillTimer(kSliderApplyTimerId);
}

void AAsioSetupDialog::OnMouseMove(UINT nFlags, CPoint point) {
    if (isConnected.load(relaxed) == 0 || isUpdating.load(relaxed) == 1) return;
    if ((nFlags & MK_LBUTTON) == 0) {
        for (SetupSlider& s : gSetupSliders) s.isDragging.store(0, relaxed);
    }
    for (int i = 0; i < kSetupSliderCount; ++i) {
        SetupSlider& s = gSetupSliders[i];
        if (s.isDragging.load(relaxed) == 0) continue;
        const std::int32_t old = s.value.load(relaxed);
        const std::int32_t span = s.maximum - s.minimum;
        std::int32_t value = old;
        if (s.isHorizontal == 0) {
            const float p = static_cast<float>(point.y);
            if (s.top - 50 < p && p < s.bottom + 50) {
                value =
                    s.maximum - static_cast<std::int32_t>((p - s.top) * span / (s.bottom - s.top));
            }
        } else {
            const float p = static_cast<float>(point.x);
            if (s.left - 50 < p && p < s.right + 50) {
                value =
                    s.minimum + static_cast<std::int32_t>((p - s.left) * span / (s.right - s.left));
            }
        }
        if (value < s.minimum) value = s.minimum;
        if (value > s.maximum) value = s.maximum;
        // The buffer length has no 0 ms: near the bottom the slider rests at 0, which means 1 ms.
        if (i == 0 && old < 2 && value < 2) value = 0;
        if (value == old) continue;
        s.value.store(value, relaxed);
        if (i == 0) {
            const DWORD now = GetTickCount();
            const auto sinceLast =
                static_cast<std::int32_t>(now - lastBufferSliderMoveTick.load(relaxed));
            if (std::abs(sinceLast) > 100) SetTimer(kSliderApplyTimerId, 100);
            lastBufferSliderMoveTick.store(now, relaxed);
        } else {
            ApplySliders();
        }
        CRect thumb = GetSliderThumbRect(i);
        InvalidateRect(&thumb, FALSE);
    }
}

void AAsioSetupDialog::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent == kSliderApplyTimerId) ApplySliders();
    Default();
}

void AAsioSetupDialog::OnLButtonDown(UINT nFlags, CPoint point) {
    if (isConnected.load(relaxed) != 0) {
        if (SetupDialogPage.load(relaxed) == kPageMidi) {
            AComboBoxColorOverride* combos[2] = {outPortCombo, inPortCombo};
            for (int i = 0; i < 2; ++i) {
                if (ComboRect(i).PtInRect(point) && combos[i]->GetSafeHwnd() != nullptr)
                    combos[i]->SendMessage(CB_SHOWDROPDOWN, TRUE, 0);
            }
        }
        if (isUpdating.load(relaxed) == 1) {
            SetupDialogPage.store(kPagePreferences, relaxed);
        } else {
            const std::int32_t page = SetupDialogPage.load(relaxed);
            for (int i = 0; i < kSetupSliderCount; ++i) {
                if (gSetupSliders[i].page != page || !GetSliderThumbRect(i).PtInRect(point))
                    continue;
                gSetupSliders[i].isDragging.store(1, relaxed);
                OnMouseMove(nFlags, point);
            }
            if (PtInRect(&kPageButtonRect, point)) {
                SetupDialogPage.store(page == kPagePreferences ? kPagePgmInputs
                                      : page == kPagePgmInputs ? kPageMidi
                                                               : kPagePreferences,
                                      relaxed);
            }
        }
        const std::int32_t page = SetupDialogPage.load(relaxed);
        AudioDeviceInterfaceWrapper* w = deviceHandle.load();
        for (SetupRadioButton& b : gSetupRadioButtons) {
            if (b.page != page) continue;
            const CRect hit(b.hitRect[0], b.hitRect[1], b.hitRect[2], b.hitRect[3]);
            if (!hit.PtInRect(point)) continue;
            // Sent even when the button is selected already: a click always reaches the device.
            VQ36_send_control_change(w, static_cast<std::int32_t>(b.control), b.value);
            ControlMirror[b.control].store(b.value, relaxed);
            InvalidateRect(&hit, TRUE);
            DebugLog(2, "Clicked on radio button %d", static_cast<int>(b.control));
        }
        if (page == kPagePreferences && isUpdating.load(relaxed) == 0 &&
            isNewerFirmwareAvailable.load(relaxed) == 1) {
            Gdiplus::Bitmap* button = Image(216);
            const int width = button ? static_cast<int>(button->GetWidth()) : 103;
            const int height = button ? static_cast<int>(button->GetHeight()) : 23;
            const CRect rect(kUpdateButtonLeft, kUpdateButtonTop, kUpdateButtonLeft + width,
                             kUpdateButtonTop + height);
            if (rect.PtInRect(point)) {
                isUpdating.store(1, relaxed);
                updateProgress.store(0, relaxed);
                DebugLog(2, "Starting firmware update");
            }
        }
    }
    Invalidate(TRUE);
}

void AAsioSetupDialog::CloseUpChannelList(AComboBoxColorOverride* combo, bool outPort) {
    AudioDeviceInterfaceWrapper* w = deviceHandle.load();
    MidiChannelPair pair{};
    if (VQ36_get_midi_channels(w, &pair) != 0) return;
    (outPort ? pair.midiOutChannel : pair.midiInChannel) = combo->GetCurSel();
    VQ36_set_midi_channels(w, &pair);
    Invalidate(TRUE);
}

void AAsioSetupDialog::OnMidiOutPortChannelCloseUp() {
    CloseUpChannelList(outPortCombo, true);
}

void AAsioSetupDialog::OnMidiInPortChannelCloseUp() {
    CloseUpChannelList(inPortCombo, false);
}

// ---- The device's control messages (status monitor thread) ----------------------------------
void CALLBACK AAsioSetupDialog::OnDeviceHidiMessage(vq36::HidiInEntry* entry) {
    // Nothing changes under a held slider.
    if (AnySliderDragging() || activeDialog.load() == nullptr || entry == nullptr) return;
    HidiParser* parser = messageParser.load(std::memory_order_acquire);
    if (parser == nullptr) {
        // The parser lives in the library's own storage, so it goes with the library when a host
        // unloads it; only the status monitor thread gets here, so it is made once.
        static HidiParser parserStorage;
        parser = &parserStorage;
        messageParser.store(parser, std::memory_order_release);
    }
    parser->attach(reinterpret_cast<HidiPacket*>(entry->data));
    bool handled = false;
    for (DWORD status = parser->nextStatus(); status != kHidiNoStatus;
         status = parser->nextStatus()) {
        if (status == kHidiControlChange) {
            DWORD controller = 0;
            BYTE value = 0;
            if (parser->extractControlChange(&controller, &value) != 0) {
                DebugLog(1, "Unexpected error parsing control change");
                break;
            }
            if (controller == 22 || controller == 25 || controller == 28 || controller == 31) {
                DebugLog(2, "Filter resonance: %02x", value);
                if (value > 64) {
                    value = 96;
                    DebugLog(2, "High");
                } else {
                    value = 32;
                    DebugLog(2, "Low");
                }
            }
            ControlMirror[controller & 0xFF].store(value, relaxed);
            allControlsRequestTick.store(0, relaxed);
            if (controller == 35) gSetupSliders[1].value.store(value, relaxed);
            if (controller == 34) gSetupSliders[2].value.store(value, relaxed);
            handled = true;
        } else if (status == kHidiNoteOn || status == kHidiNoteOff) {
            DWORD note = 0;
            const bool on = status == kHidiNoteOn;
            if ((on ? parser->extractNoteOn(&note) : parser->extractNoteOff(&note)) != 0) {
                DebugLog(1, on ? "Unexpected error parsing note on"
                               : "Unexpected error parsing note off");
                break;
            }
            handled = true;
        } else if (status == kHidiSysEx) {
            DWORD command = 0;
            BYTE value = 0;
            if (parser->extractSysEx(&command, &value) != 0) {
                DebugLog(1, "Unexpected error parsing sysex");
                break;
            }
            if (command == kHidiSysExControlPoint) {
                controlPoint.store(value & 1, relaxed);
                DebugLog(2, "Current control point: %d", value & 1);
                handled = true;
            } else {
                DebugLog(2, "Unknown sysex cmd: %02x, %02x", static_cast<unsigned>(command), value);
            }
        } else {
            parser->skip();
        }
    }
    if (handled) {
        if (repaintPending.load(relaxed) == 0) repaintPendingTick.store(GetTickCount(), relaxed);
        repaintPending.store(1, relaxed);
    }
}

// ---- Start and close ---------------------------------------------------------------------------
BOOL AAsioSetupDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    SetWindowText("VQ36 Audio Driver Control Panel");
    SetIcon(LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(kSetupDialogIconId)), FALSE);

    listFont.CreatePointFont(80, "Arial");

    Gdiplus::Bitmap* background = Image(200);
    const int width = background ? static_cast<int>(background->GetWidth()) : kSetupClientWidth;
    const int height = background ? static_cast<int>(background->GetHeight()) : kSetupClientHeight;
    CRect window, client;
    GetWindowRect(&window);
    GetClientRect(&client);
    SetWindowPos(nullptr, 0, 0, width + window.Width() - client.Width(),
                 height + window.Height() - client.Height(),
                 SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);

    // A poll thread of an earlier dialog that outlived it (its update was still running) ends
    // before this dialog's starts: the two would share the process-wide state.
    WaitForDetachedSetupPollThread();
    stopPollThread.store(0);
    pollThread = CreateThread(nullptr, 0, SetupDialogPollThread, this, 0, nullptr);

    AComboBoxColorOverride* combos[2] = {outPortCombo, inPortCombo};
    for (int i = 0; i < 2; ++i) {
        AComboBoxColorOverride* combo = combos[i];
        const CRect rect = ComboRect(i);
        combo->SetListFont(&listFont);
        combo->Create(WS_CHILD | CBS_DROPDOWNLIST, rect, this, kOutPortComboId + i);
        combo->SetMinVisibleItems();
        CRect face;
        combo->GetClientRect(&face);
        combo->MoveWindow(rect.left, rect.bottom - face.Height(), 64, 999);
        combo->AddString("off");
        for (int channel = 1; channel <= 16; ++channel) {
            char number[4];
            std::snprintf(number, sizeof number, "%d", channel);
            combo->AddString(number);
            CDC* dc = combo->GetDC();
            if (dc == nullptr) {
                DebugLog(1, "Failed to retrieve combo box dc");
                continue;
            }
            combo->SetItemHeight(0, static_cast<UINT>(dc->GetTextExtent("Mg").cy));
            combo->ReleaseDC(dc);
        }
    }

    const DWORD ms = getBufferSizeMillisecs();
    gSetupSliders[0].value.store(ms == 1 ? 0 : static_cast<std::int32_t>(ms), relaxed);
    return TRUE;
}

void AAsioSetupDialog::StoreSettingsAndStopPollThread() {
    setBufferSizeMillisecs(static_cast<DWORD>(gSetupSliders[0].value.load(relaxed)));
    stopPollThread.store(1);
    if (pollThread == nullptr) return;
    WaitForSingleObject(pollThread, SetupDialogWait(10000));
    // Choice: a poll thread still running after the wait (a firmware update, or the boot
    // loader's wait, outlasts it) is not cut short. It stops serving this dialog at once (the
    // hand-over is made under the lock its uses of the dialog take, so it never touches the
    // dialog object after this), finishes its update on the device handle, which it now owns
    // and closes, and ends; a new dialog and the library's unload wait for it.
    if (!DetachSetupDialogPollThread(this, pollThread)) {
        ownsDeviceHandle = false;
        pollThread = nullptr;  // the thread handle went with it
    }
}

void AAsioSetupDialog::OnCancel() {
    StoreSettingsAndStopPollThread();
    CDialog::OnCancel();
}

// Choice: Enter ends the dialog as the close button does (the buffer length stored, the poll
// thread stopped before the dialog object can go), with the framework's OK result.
void AAsioSetupDialog::OnOK() {
    StoreSettingsAndStopPollThread();
    CDialog::OnOK();
}
