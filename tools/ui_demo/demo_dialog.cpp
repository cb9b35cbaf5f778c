// The demonstration dialog.

#include "demo_dialog.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "ui/afx.h"

using namespace Gdiplus;

namespace vqdemo {
namespace {

std::mutex gEventsMu;
std::vector<std::string> gEvents;

void record(const std::string& e) {
    std::lock_guard lock(gEventsMu);
    gEvents.push_back(e);
}

// A PNG resource of this library, held as a bitmap over locked moveable memory.
class ResourceImage {
  public:
    ResourceImage(int id) {
        HMODULE module = AfxGetResourceHandle();
        HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(id), "PNG");
        DWORD size = res ? SizeofResource(module, res) : 0;
        const void* bytes = res ? LockResource(LoadResource(module, res)) : nullptr;
        if (bytes == nullptr || size == 0) return;
        memory_ = GlobalAlloc(GMEM_MOVEABLE, size);
        void* p = memory_ ? GlobalLock(memory_) : nullptr;
        if (p == nullptr) return;
        std::memcpy(p, bytes, size);
        IStream* stream = nullptr;
        if (CreateStreamOnHGlobal(memory_, FALSE, &stream) != S_OK) return;
        bitmap_.reset(Bitmap::FromStream(stream));
        stream->Release();
        if (bitmap_->GetLastStatus() != Ok) bitmap_.reset();
    }
    ~ResourceImage() {
        bitmap_.reset();
        if (memory_) {
            GlobalUnlock(memory_);
            GlobalFree(memory_);
        }
    }
    Bitmap* get() const { return bitmap_.get(); }

  private:
    HGLOBAL memory_ = nullptr;
    std::unique_ptr<Bitmap> bitmap_;
};

class CDemoChannelList : public CComboBox {
  public:
    CFont* listFont = nullptr;

  protected:
    afx_msg HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
        HBRUSH base = CComboBox::OnCtlColor(pDC, pWnd, nCtlColor);
        if (nCtlColor != CTLCOLOR_LISTBOX) return base;
        record("ctlcolor listbox");
        pDC->SetTextColor(RGB(255, 255, 255));
        pDC->SetBkColor(RGB(0, 0, 0));
        pDC->SetBkMode(TRANSPARENT);
        if (listFont) pDC->SelectObject(listFont);
        return static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CDemoChannelList, CComboBox)
ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

class CDemoDialog : public CDialog {
    DECLARE_DYNAMIC(CDemoDialog)

  public:
    CDemoDialog()
        : CDialog(kTemplateId, nullptr), background_(kBackgroundId), overlay_(kOverlayId) {}

  protected:
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        record("init");
        SetWindowText(L"VQ36 UI Demo");
        SetIcon(LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(kIconId)), FALSE);
        listFont_.CreatePointFont(80, "Arial");
        CRect window, client;
        GetWindowRect(&window);
        GetClientRect(&client);
        SetWindowPos(nullptr, 0, 0, kClientWidth + window.Width() - client.Width(),
                     kClientHeight + window.Height() - client.Height(),
                     SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
        list_.listFont = &listFont_;
        list_.Create(WS_CHILD | CBS_DROPDOWNLIST, kChannelFace, this, kChannelListId);
        list_.SetFont(&listFont_);
        list_.SetMinVisibleItems(16);
        CRect face;
        list_.GetClientRect(&face);
        list_.MoveWindow(kChannelFace.left, kChannelFace.bottom - face.Height(), 64, 999);
        list_.AddString("off");
        for (int i = 1; i <= 16; ++i) {
            list_.AddString(std::to_string(i).c_str());
            if (CDC* dc = list_.GetDC()) {
                dc->SelectObject(&listFont_);
                list_.SetItemHeight(0, static_cast<UINT>(dc->GetTextExtent("Mg").cy));
                list_.ReleaseDC(dc);
            }
        }
        record("itemheight " + std::to_string(list_.GetItemHeight(0)));
        SetTimer(1, 100);
        return TRUE;
    }

    void OnOK() override {
        record("ok");
        KillTimer(1);
        CDialog::OnOK();
    }
    void OnCancel() override {
        record("cancel");
        KillTimer(1);
        CDialog::OnCancel();
    }

    afx_msg void OnTimer(UINT_PTR id) {
        if (id == 1) record("timer");
        CDialog::OnTimer(id);
    }
    afx_msg BOOL OnEraseBkgnd(CDC*) {
        record("erase");
        return TRUE;
    }
    afx_msg void OnLButtonDown(UINT flags, CPoint point) {
        record("click " + std::to_string(point.x) + " " + std::to_string(point.y) + " " +
               std::to_string(flags));
        marker_ = point;
        if (PtInRect(&kChannelFace, point)) list_.SendMessage(CB_SHOWDROPDOWN, TRUE, 0);
        Invalidate(TRUE);
    }
    afx_msg void OnMouseMove(UINT, CPoint) {}
    afx_msg void OnChannelSelChange() { record("selchange " + std::to_string(list_.GetCurSel())); }
    afx_msg void OnChannelSelEndOk() { record("selendok"); }
    afx_msg void OnChannelSelEndCancel() { record("selendcancel"); }
    afx_msg void OnChannelCloseUp() {
        channel_ = list_.GetCurSel();
        record("closeup " + std::to_string(channel_));
        Invalidate(TRUE);
    }
    afx_msg void OnPaint() {
        record("paint");
        CPaintDC dc(this);
        Graphics window(dc.m_hDC);
        Bitmap back(kClientWidth, kClientHeight, PixelFormat32bppARGB);
        Graphics g(&back);
        g.SetSmoothingMode(SmoothingModeAntiAlias);
        g.SetTextRenderingHint(TextRenderingHintAntiAliasGridFit);
        g.SetCompositingQuality(CompositingQualityHighQuality);
        if (background_.get()) g.DrawImage(background_.get(), 0, 0);
        FontFamily family(L"Arial");
        Font title(&family, 11, FontStyleRegular, UnitPoint);
        Font small(&family, 8, FontStyleRegular, UnitPoint);
        SolidBrush white(Color(0xFFFFFFFF));
        SolidBrush black(Color(0xFF000000));
        SolidBrush red(Color(0xFFE03020));
        RectF box;
        g.MeasureString(L"VQ36 UI Demo", -1, &title, RectF(0, 0, 0, 0), nullptr, &box);
        g.DrawString(L"VQ36 UI Demo", -1, &title,
                     RectF(160 - box.Width / 2, 24 - box.Height / 2, 0, 0), nullptr, &white);
        g.FillRectangle(&black, kChannelFace.left, kChannelFace.top,
                        kChannelFace.right - kChannelFace.left,
                        kChannelFace.bottom - kChannelFace.top);
        std::wstring channel = channel_ <= 0 ? L"off" : std::to_wstring(channel_);
        g.MeasureString(channel.c_str(), -1, &small, RectF(0, 0, 0, 0), nullptr, &box);
        g.DrawString(channel.c_str(), -1, &small,
                     RectF(232 - box.Width / 2, 50 - box.Height / 2, 0, 0), nullptr, &white);
        if (!list_.GetDroppedState()) list_.SetCurSel(channel_ < 0 ? 0 : channel_);
        if (marker_.x >= 0) g.FillRectangle(&red, marker_.x - 3, marker_.y - 3, 7, 7);
        if (overlay_.get()) g.DrawImage(overlay_.get(), 0, 0);
        window.DrawImage(&back, 0, 0);
    }

  private:
    ResourceImage background_;
    ResourceImage overlay_;
    CDemoChannelList list_;
    CFont listFont_;
    CPoint marker_{-1, -1};
    int channel_ = 0;

    DECLARE_MESSAGE_MAP()
};

IMPLEMENT_DYNAMIC(CDemoDialog, CDialog)

BEGIN_MESSAGE_MAP(CDemoDialog, CDialog)
ON_WM_TIMER()
ON_WM_PAINT()
ON_WM_LBUTTONDOWN()
ON_WM_MOUSEMOVE()
ON_WM_ERASEBKGND()
ON_CBN_SELCHANGE(kChannelListId, OnChannelSelChange)
ON_CONTROL(CBN_SELENDOK, kChannelListId, OnChannelSelEndOk)
ON_CONTROL(CBN_SELENDCANCEL, kChannelListId, OnChannelSelEndCancel)
ON_CBN_CLOSEUP(kChannelListId, OnChannelCloseUp)
END_MESSAGE_MAP()

}  // namespace

INT_PTR runDemoDialog() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    ULONG_PTR token = 0;
    GdiplusStartupInput input;
    if (GdiplusStartup(&token, &input, nullptr) != Ok) return -1;
    INT_PTR result;
    {
        CDemoDialog dialog;
        result = dialog.DoModal();
    }
    GdiplusShutdown(token);
    return result;
}

std::vector<std::string> takeDemoEvents() {
    std::lock_guard lock(gEventsMu);
    std::vector<std::string> out;
    out.swap(gEvents);
    return out;
}

HMODULE demoModule() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return AfxGetResourceHandle();
}

}  // namespace vqdemo
