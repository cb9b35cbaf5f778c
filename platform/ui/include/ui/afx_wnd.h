#pragma once
// The UI framework's windows: points and rectangles, GDI object and device-context wrappers,
// CWnd with message maps, CDialog with its modal loop, and CComboBox. Included by ui/afx.h.
//
// - A CWnd is attached to its window while the window is created (through the thread's
//   creation hook), so it sees WM_NCCREATE and WM_CREATE; its window procedure looks the
//   message up in the object's message maps and passes what they do not handle to the window's
//   own procedure (DefWindowProc of the CWnd, or Default() with the current message).
// - CDialog(id, parent) takes its template (resource type RT_DIALOG) from the resource module of
//   the current module state (AfxGetResourceHandle). A template here is text, one setting a
//   line: "size <width> <height>" in dialog units, "caption <text>", "style <names>" (popup,
//   caption, sysmenu, minimizebox, modalframe, visible, child, border, or a 0x number), and
//   "font <points> <face>". Dialog units are turned into pixels with the font's base units as on
//   the platform (x: average character width / 4, y: character height / 8).
// - DoModal creates the dialog disabled-owner style (the parent is disabled while it runs),
//   sends WM_INITDIALOG (OnInitDialog), shows it centred on its parent or the screen, and runs
//   a modal loop on the calling thread until EndDialog; it returns the result, or -1 when the
//   template is missing or the window could not be made.

#include <string>

class AFX_API CPoint : public tagPOINT {
  public:
    CPoint() : tagPOINT{0, 0} {}
    CPoint(int x0, int y0) : tagPOINT{x0, y0} {}
    CPoint(POINT p) : tagPOINT(p) {}
    bool operator==(const CPoint& o) const { return x == o.x && y == o.y; }
};

class AFX_API CSize : public tagSIZE {
  public:
    CSize() : tagSIZE{0, 0} {}
    CSize(int cx0, int cy0) : tagSIZE{cx0, cy0} {}
    CSize(SIZE s) : tagSIZE(s) {}
};

class AFX_API CRect : public tagRECT {
  public:
    CRect() : tagRECT{0, 0, 0, 0} {}
    CRect(int l, int t, int r, int b) : tagRECT{l, t, r, b} {}
    CRect(const RECT& r) : tagRECT(r) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    BOOL PtInRect(POINT p) const { return ::PtInRect(this, p); }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

// ---- GDI objects --------------------------------------------------------------------------------
class AFX_API CGdiObject : public CObject {
  public:
    CGdiObject() = default;
    ~CGdiObject() override;  // deletes the object it owns
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;
    HGDIOBJ m_hObject = nullptr;
    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    operator HGDIOBJ() const { return m_hObject; }
    BOOL Attach(HGDIOBJ hObject);
    HGDIOBJ Detach();
    BOOL DeleteObject();
};

class AFX_API CFont : public CGdiObject {
  public:
    CFont() = default;
    ~CFont() override;  // defined in the framework, which keeps the class's one vtable
    // nPointSize in tenths of a point, at 96 pixels per inch (80: 8 points, 11 pixels).
    BOOL CreatePointFont(int nPointSize, LPCSTR lpszFaceName, CDC* pDC = nullptr);
    BOOL CreateFontIndirect(const LOGFONTA* lpLogFont);
    operator HFONT() const { return static_cast<HFONT>(m_hObject); }
    static CFont* FromHandle(HFONT hFont);  // a temporary object, valid during the message
};

class AFX_API CBrush : public CGdiObject {
  public:
    CBrush() = default;
    explicit CBrush(COLORREF crColor);
    BOOL CreateSolidBrush(COLORREF crColor);
    operator HBRUSH() const { return static_cast<HBRUSH>(m_hObject); }
};

// ---- Device contexts
// ------------------------------------------------------------------------------
class AFX_API CDC : public CObject {
  public:
    CDC() = default;
    ~CDC() override;  // defined in the framework, which keeps the class's one vtable
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;
    HDC m_hDC = nullptr;
    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }
    // A temporary object for a handle, valid until the current message has been handled.
    static CDC* FromHandle(HDC hDC);
    BOOL Attach(HDC hDC);
    HDC Detach();

    COLORREF SetTextColor(COLORREF crColor);
    COLORREF SetBkColor(COLORREF crColor);
    int SetBkMode(int nBkMode);
    CFont* SelectObject(CFont* pFont);
    CBrush* SelectObject(CBrush* pBrush);
    HGDIOBJ SelectObject(HGDIOBJ hObject);
    CGdiObject* SelectStockObject(int nIndex);
    CSize GetTextExtent(LPCSTR lpszString, int nCount) const;
    CSize GetTextExtent(LPCSTR lpszString) const;
    CSize GetTextExtent(const std::string& str) const;
    BOOL TextOut(int x, int y, LPCSTR lpszString, int nCount);
    void FillSolidRect(LPCRECT lpRect, COLORREF clr);
    void FillRect(LPCRECT lpRect, CBrush* pBrush);
    int GetDeviceCaps(int nIndex) const;
};

class AFX_API CPaintDC : public CDC {
  public:
    explicit CPaintDC(CWnd* pWnd);  // BeginPaint
    ~CPaintDC() override;           // EndPaint
    PAINTSTRUCT m_ps;

  protected:
    HWND m_hWnd;
};

class AFX_API CClientDC : public CDC {
  public:
    explicit CClientDC(CWnd* pWnd);  // GetDC
    ~CClientDC() override;           // ReleaseDC

  protected:
    HWND m_hWnd;
};

// ---- Windows
// ----------------------------------------------------------------------------------------
class AFX_API CWnd : public CCmdTarget {
    DECLARE_DYNAMIC(CWnd)

  public:
    CWnd();
    ~CWnd() override;  // destroys a window it still has

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return GetSafeHwnd(); }

    // The permanent object attached to a window, or a temporary one (valid during the message).
    static CWnd* FromHandle(HWND hWnd);
    static CWnd* FromHandlePermanent(HWND hWnd);
    BOOL Attach(HWND hWndNew);
    HWND Detach();
    // Attaches to an existing window and routes its messages through this object.
    BOOL SubclassWindow(HWND hWnd);

    virtual BOOL Create(LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle,
                        const RECT& rect, CWnd* pParentWnd, UINT nID, LPVOID lpParam = nullptr);
    BOOL CreateEx(DWORD dwExStyle, LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle,
                  int x, int y, int nWidth, int nHeight, HWND hWndParent, HMENU nIDorHMenu,
                  LPVOID lpParam = nullptr);
    virtual BOOL DestroyWindow();

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    void Invalidate(BOOL bErase = TRUE);
    void InvalidateRect(LPCRECT lpRect, BOOL bErase = TRUE);
    void UpdateWindow();
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse,
                      void(CALLBACK* lpfnTimer)(HWND, UINT, UINT_PTR, DWORD) = nullptr);
    BOOL KillTimer(UINT_PTR uIDEvent);
    void GetClientRect(LPRECT lpRect) const;
    void GetWindowRect(LPRECT lpRect) const;
    BOOL SetWindowPos(const CWnd* pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags);
    void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE);
    void MoveWindow(LPCRECT lpRect, BOOL bRepaint = TRUE);
    void SetWindowText(LPCSTR lpszString);
    void SetWindowText(LPCWSTR lpszString);
    int GetWindowText(LPSTR lpszStringBuf, int nMaxCount) const;
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    HICON GetIcon(BOOL bBigIcon) const;
    CDC* GetDC();
    int ReleaseDC(CDC* pDC);
    CWnd* GetParent() const;
    CWnd* GetDlgItem(int nID) const;
    int GetDlgCtrlID() const;
    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;
    BOOL EnableWindow(BOOL bEnable = TRUE);
    void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
    CFont* GetFont() const;
    CWnd* SetFocus();
    CWnd* SetCapture();
    void ClientToScreen(LPPOINT lpPoint) const;
    void ScreenToClient(LPPOINT lpPoint) const;
    // The message being handled by this thread (as retrieved or sent).
    static const MSG* GetCurrentMessage();

    // The window procedure of every framework window.
    static LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

  protected:
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The default processing of the current message.
    LRESULT Default();
    // Called after the window's last message; the object may delete itself here.
    virtual void PostNcDestroy();

    // Handlers the maps can name; each does the default processing.
    afx_msg void OnTimer(UINT_PTR nIDEvent);
    afx_msg void OnPaint();
    afx_msg void OnClose();
    afx_msg void OnDestroy();
    afx_msg void OnLButtonDown(UINT nFlags, CPoint point);
    afx_msg void OnLButtonUp(UINT nFlags, CPoint point);
    afx_msg void OnMouseMove(UINT nFlags, CPoint point);
    afx_msg BOOL OnEraseBkgnd(CDC* pDC);
    afx_msg HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);

    WNDPROC m_pfnSuper = nullptr;  // the window's own procedure

    DECLARE_MESSAGE_MAP()
};

class AFX_API CDialog : public CWnd {
    DECLARE_DYNAMIC(CDialog)

  public:
    CDialog();
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    explicit CDialog(LPCSTR lpszTemplateName, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    virtual INT_PTR DoModal();
    // A modeless dialog from the template (shown when the template's style is visible).
    BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    virtual BOOL OnInitDialog();  // TRUE
    // Ends the modal loop with the result (or destroys a modeless dialog).
    void EndDialog(int nResult);

  protected:
    virtual void OnOK();      // EndDialog(IDOK)
    virtual void OnCancel();  // EndDialog(IDCANCEL)

    LPCSTR m_lpszTemplateName = nullptr;
    UINT m_nIDHelp = 0;
    CWnd* m_pParentWnd = nullptr;

  private:
    BOOL CreateFromTemplate(CWnd* pParentWnd, bool modal);
    std::string m_templateName;  // named templates
    int m_nModalResult = -1;
    bool m_bInModalLoop = false;

    DECLARE_MESSAGE_MAP()
};

class AFX_API CComboBox : public CWnd {
    DECLARE_DYNAMIC(CComboBox)

  public:
    CComboBox() = default;
    ~CComboBox() override;
    virtual BOOL Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID);
    int AddString(LPCSTR lpszString);
    int InsertString(int nIndex, LPCSTR lpszString);
    int DeleteString(UINT nIndex);
    void ResetContent();
    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int nSelect);
    int GetLBText(int nIndex, LPSTR lpszText) const;
    BOOL GetDroppedState() const;
    void ShowDropDown(BOOL bShowIt = TRUE);
    int SetItemHeight(int nIndex, UINT cyItemHeight);
    int GetItemHeight(int nIndex) const;
    BOOL SetMinVisibleItems(int iMinVisible);
};
