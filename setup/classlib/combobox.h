// A drop-down list of UTF-16 items, each with an object pointer, on a Windows
// combo box.
#pragma once

#include "classlib/wincontrol.h"

#include <string>
#include <vector>

enum TComboBoxStyle { csDropDownList };

class TComboBox : public TWinControl {
public:
    explicit TComboBox(TComponent* owner);
    ~TComboBox() override;

    bool IsWindowed() const override { return true; }

    void AddItem(const std::wstring& text, void* object);
    void ClearItems();
    int ItemCount() const { return static_cast<int>(items_.size()); }
    const std::wstring& ItemText(int index) const { return items_[index].text; }
    void* ItemObject(int index) const { return items_[index].object; }

    // The selected item, -1 for none.
    int ItemIndex() const;
    void SetItemIndex(int index);

    TComboBoxStyle Style() const { return csDropDownList; }
    int ItemHeight() const { return itemHeight_; }
    void SetItemHeight(int height) { itemHeight_ = height; }
    // Items shown in the open list before it scrolls.
    int DropDownCount() const { return dropDownCount_; }
    void SetDropDownCount(int count);

    // Called when the user selects an item (not when the program does).
    TNotifyEvent OnChange;

    void CommandNotify(WORD code) override;

protected:
    void ParentChanged() override;
    int WindowHeight() const override;

private:
    struct Item {
        std::wstring text;
        void* object;
    };

    std::vector<Item> items_;
    int itemIndex_ = -1;
    int itemHeight_ = 13;
    int dropDownCount_ = 8;
};

// The names the wizard uses for the Unicode-capable controls.
using TTntComboBox = TComboBox;
