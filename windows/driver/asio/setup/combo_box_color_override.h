#pragma once
// The setup dialog's channel lists: combo boxes whose windows are never shown (the dialog paints
// their faces) and whose drop-down lists, the only standard controls the user sees, are white
// text on black in the dialog's list font.

#include "ui/afx.h"

class AComboBoxColorOverride : public CComboBox {
  public:
    AComboBoxColorOverride() = default;
    ~AComboBoxColorOverride() override;

    // The font of the drop-down list (not owned).
    void SetListFont(CFont* font) { listFont = font; }
    // At least 16 items are shown when the list drops down.
    void SetMinVisibleItems();

  protected:
    afx_msg HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);

  private:
    CFont* listFont = nullptr;

    DECLARE_MESSAGE_MAP()
};
