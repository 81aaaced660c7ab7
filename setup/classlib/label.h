// A windowless UTF-16 text, sized to its text when AutoSize is on.
#pragma once

#include "classlib/control.h"

#include <string>

enum TTextLayout { tlTop, tlCenter, tlBottom };

class TLabel : public TControl {
public:
    explicit TLabel(TComponent* owner);

    const std::wstring& Caption() const { return caption_; }
    void SetCaption(const std::wstring& caption);
    // Width and height follow the text; with WordWrap only the height does,
    // wrapping at the current width.
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool on);
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool on);
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment alignment);
    TTextLayout Layout() const { return layout_; }
    void SetLayout(TTextLayout layout);

    void Paint(TCanvas& canvas) override;

protected:
    void FontChanged() override;
    void BiDiModeChanged() override;

private:
    void AdjustBounds();
    TTextFlags Flags() const;

    std::wstring caption_;
    bool autoSize_ = true;
    bool wordWrap_ = false;
    TAlignment alignment_ = taLeftJustify;
    TTextLayout layout_ = tlTop;
};

using TTntLabel = TLabel;
