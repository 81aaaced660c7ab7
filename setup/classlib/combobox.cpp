// Combo boxes.
#include "classlib/combobox.h"

#include "classlib/exception.h"

TComboBox::TComboBox(TComponent* owner) : TWinControl(owner)
{
    SetBounds(0, 0, 145, 21);
}

TComboBox::~TComboBox()
{
    DestroyHandle();
}

int TComboBox::WindowHeight() const
{
    // A drop-down list's window height includes the open list.
    return Height() + dropDownCount_ * (itemHeight_ + 2) + 2;
}

void TComboBox::ParentChanged()
{
    HWND hwnd = CreateChildWindow(L"COMBOBOX", WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, 0);
    if (!hwnd)
        return;
    for (const Item& item : items_)
        SendMessageW(hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.text.c_str()));
    SendMessageW(hwnd, CB_SETCURSEL, itemIndex_, 0);
}

void TComboBox::AddItem(const std::wstring& text, void* object)
{
    items_.push_back(Item{text, object});
    if (Handle())
        SendMessageW(Handle(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void TComboBox::ClearItems()
{
    items_.clear();
    itemIndex_ = -1;
    if (Handle())
        SendMessageW(Handle(), CB_RESETCONTENT, 0, 0);
}

int TComboBox::ItemIndex() const
{
    if (Handle())
        return static_cast<int>(SendMessageW(Handle(), CB_GETCURSEL, 0, 0));
    return itemIndex_;
}

void TComboBox::SetItemIndex(int index)
{
    if (index < -1 || index >= ItemCount())
        index = -1;
    itemIndex_ = index;
    if (Handle())
        SendMessageW(Handle(), CB_SETCURSEL, index, 0);
}

void TComboBox::SetDropDownCount(int count)
{
    dropDownCount_ = count > 0 ? count : 1;
    BoundsChanged();
}

void TComboBox::CommandNotify(WORD code)
{
    if (code != CBN_SELCHANGE)
        return;
    itemIndex_ = ItemIndex();
    if (OnChange)
        OnChange(this);
}
