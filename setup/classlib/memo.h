// A multi-line UTF-16 text on a Windows edit control.
#pragma once

#include "classlib/wincontrol.h"

#include <string>

enum TScrollStyle { ssNone, ssVertical };

class TMemo : public TWinControl {
public:
    explicit TMemo(TComponent* owner);
    ~TMemo() override;

    bool IsWindowed() const override { return true; }

    const std::wstring& Text() const { return text_; }
    void Clear();
    // Adds text as the next line(s); its line ends (CR LF, LF or CR) become CR LF.
    void AddText(const std::wstring& text);

    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool on);
    TScrollStyle ScrollBars() const { return scrollBars_; }
    void SetScrollBars(TScrollStyle style);

protected:
    void ParentChanged() override;

private:
    void ShowText();

    std::wstring text_;
    bool readOnly_ = false;
    TScrollStyle scrollBars_ = ssNone;
};

using TTntMemo = TMemo;
