// The setup dialog's channel lists.

#include "combo_box_color_override.h"

BEGIN_MESSAGE_MAP(AComboBoxColorOverride, CComboBox)
ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

AComboBoxColorOverride::~AComboBoxColorOverride() = default;

void AComboBoxColorOverride::SetMinVisibleItems() {
    SendMessage(CB_SETMINVISIBLE, 16, 0);
}

HBRUSH AComboBoxColorOverride::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
    HBRUSH base = CComboBox::OnCtlColor(pDC, pWnd, nCtlColor);
    if (nCtlColor != CTLCOLOR_LISTBOX) return base;
    pDC->SetTextColor(RGB(255, 255, 255));
    pDC->SetBkColor(RGB(0, 0, 0));
    pDC->SetBkMode(TRANSPARENT);
    if (listFont != nullptr) pDC->SelectObject(listFont);
    return static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
}
