#include "progressBarFU.h"

#include "control_ids.h"
#include "wide_text.h"
#include "window_support.h"

#include <commctrl.h>
#include <stdexcept>
#include <uxtheme.h>

namespace pupdate::win {

namespace {

constexpr int kClientWidth = 434;
constexpr int kClientHeight = 55;
constexpr int kFontPixels = 12;

BOOL CALLBACK repaintWindow(HWND window, LPARAM) {
    if (::IsWindowVisible(window)) {
        ::RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ERASENOW | RDW_ALLCHILDREN);
    }
    return TRUE;
}

} // namespace

void answerWaitingCalls() {
    MSG message;
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
}

TprogressBarF::TprogressBarF() {
    registerDialogClass(L"TprogressBarF");
    m_window = ::CreateDialogParamW(resourceModule(), MAKEINTRESOURCEW(IDD_TprogressBarF), nullptr,
                                    dialogProcedure, 0);
    if (m_window == nullptr) {
        throw std::runtime_error("无法创建进度窗口");
    }
}

TprogressBarF::~TprogressBarF() {
    ::DestroyWindow(m_window);
}

HWND TprogressBarF::label() const {
    return ::GetDlgItem(m_window, Label1);
}

HWND TprogressBarF::bar() const {
    return ::GetDlgItem(m_window, probar);
}

INT_PTR CALLBACK TprogressBarF::dialogProcedure(HWND window, UINT message, WPARAM, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        setFontOfControls(window, chineseFont(kFontPixels));
        placeControl(window, Label1, 2, 9, 429, 12);
        placeControl(window, probar, 12, 30, 412, 14);
        // The classic bar: a themed one glides to a new position on timer messages, which
        // the thread does not take while the engine works; the classic one is drawn at
        // the position at once.
        ::SetWindowTheme(::GetDlgItem(window, probar), L"", L"");
        ::SendDlgItemMessageW(window, probar, PBM_SETRANGE32, 0, 0);
        sizeAndCentre(window, kClientWidth, kClientHeight);
        return FALSE;
    }
    case WM_PAINT: {
        // Panel1: a raised bevel around the whole client area.
        PAINTSTRUCT paint;
        const HDC device = ::BeginPaint(window, &paint);
        RECT client;
        ::GetClientRect(window, &client);
        ::DrawEdge(device, &client, BDR_RAISEDINNER, BF_RECT);
        ::EndPaint(window, &paint);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

void TprogressBarF::FormShow() {
    ::PostMessageW(m_window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
}

void TprogressBarF::show() {
    ::ShowWindow(m_window, SW_SHOW);
    FormShow();
    // Painted before the engine goes on: nothing else paints it while the engine works.
    ::RedrawWindow(m_window, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_ERASENOW);
    answerWaitingCalls();
}

void TprogressBarF::hide() {
    if (!::IsWindowVisible(m_window)) {
        return;
    }
    ::ShowWindow(m_window, SW_HIDE);
    // The windows of this thread that it covered are not painted by anybody else while
    // the engine blocks the thread.
    ::EnumThreadWindows(::GetCurrentThreadId(), repaintWindow, 0);
    answerWaitingCalls();
}

ProgressWindow::ProgressWindow() : m_form(std::make_unique<TprogressBarF>()) {
    RECT bar;
    ::GetClientRect(m_form->bar(), &bar);
    m_pacing.setBarWidth(bar.right - bar.left);
    m_form->show();
}

ProgressWindow::~ProgressWindow() {
    // Released without being closed (the commit window): it goes the same way.
    close();
}

void ProgressWindow::setText(const std::string& text) {
    ::SetWindowTextW(m_form->label(), wide(text).c_str());
    m_pacing.windowChanged();
}

void ProgressWindow::setMaximum(std::int64_t maximum) {
    m_pacing.setMaximum(maximum);
    // A range of 0..0 is drawn as an empty bar, as nothing done.
    const std::int64_t top = m_pacing.maximum();
    ::SendMessageW(m_form->bar(), PBM_SETRANGE32, 0, top > 0 ? m_pacing.toBarUnits(top) : 1);
    tellBarPosition();
}

void ProgressWindow::setPosition(std::int64_t position) {
    // The bar itself is told when it is painted, not after every statement.
    m_pacing.setPosition(position);
}

void ProgressWindow::tellBarPosition() {
    ::SendMessageW(m_form->bar(), PBM_SETPOS,
                   static_cast<WPARAM>(m_pacing.toBarUnits(m_pacing.position())), 0);
}

void ProgressWindow::setBarVisible(bool visible) {
    ::ShowWindow(m_form->bar(), visible ? SW_SHOWNA : SW_HIDE);
    m_pacing.windowChanged();
}

void ProgressWindow::repaint() {
    // Called after every statement: the test for "nothing to draw" must cost nothing.
    if (m_pacing.idle() || !::IsWindowVisible(m_form->handle())) {
        return;
    }
    const BarPacing::Paint paint = m_pacing.takePaint();
    if (paint == BarPacing::Paint::None) {
        return;
    }
    tellBarPosition();
    if (paint == BarPacing::Paint::Window) {
        ::RedrawWindow(m_form->handle(), nullptr, nullptr,
                       RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_ERASENOW);
    } else {
        ::UpdateWindow(m_form->bar());
    }
    answerWaitingCalls();
}

void ProgressWindow::close() {
    // A hidden window is not painted; its bar still holds the last position.
    tellBarPosition();
    m_form->hide();
}

} // namespace pupdate::win
