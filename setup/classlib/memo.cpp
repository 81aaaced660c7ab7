// Memos.
#include "classlib/memo.h"

namespace {

std::wstring WithCrLf(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); i++) {
        wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            out += L"\r\n";
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n')
                i++;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

TMemo::TMemo(TComponent* owner) : TWinControl(owner)
{
    SetBounds(0, 0, 185, 89);
}

TMemo::~TMemo()
{
    DestroyHandle();
}

void TMemo::ParentChanged()
{
    DWORD style = WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
    if (readOnly_)
        style |= ES_READONLY;
    if (scrollBars_ == ssVertical)
        style |= WS_VSCROLL;
    HWND hwnd = CreateChildWindow(L"EDIT", style, WS_EX_CLIENTEDGE);
    if (!hwnd)
        return;
    SendMessageW(hwnd, EM_SETLIMITTEXT, 0, 0);
    ShowText();
}

void TMemo::ShowText()
{
    if (Handle())
        SetWindowTextW(Handle(), text_.c_str());
}

void TMemo::Clear()
{
    text_.clear();
    ShowText();
}

void TMemo::AddText(const std::wstring& text)
{
    if (!text_.empty())
        text_ += L"\r\n";
    text_ += WithCrLf(text);
    ShowText();
}

void TMemo::SetReadOnly(bool on)
{
    readOnly_ = on;
    if (Handle())
        SendMessageW(Handle(), EM_SETREADONLY, on, 0);
}

void TMemo::SetScrollBars(TScrollStyle style)
{
    scrollBars_ = style;
    if (Handle())
        ShowScrollBar(Handle(), SB_VERT, style == ssVertical);
}
