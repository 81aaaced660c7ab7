// A windowless picture drawn at its top left, optionally mirrored.
#pragma once

#include "classlib/control.h"

class TImage : public TControl {
public:
    explicit TImage(TComponent* owner);

    // Loading into the picture repaints the image (and sizes it when AutoSize).
    TPicture* Picture() { return &picture_; }
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool on);
    // Drawn flipped left to right.
    bool Mirrored() const { return mirrored_; }
    void SetMirrored(bool on);

    // A transparent image leaves out the bottom-left colour of a bitmap
    // picture; PNG pictures always show through where their alpha is low.
    void Paint(TCanvas& canvas) override;

private:
    void PictureChanged();

    TPicture picture_;
    bool autoSize_ = false;
    bool mirrored_ = false;
};

// The image whose picture the step arrows flip.
using TJvSpecialImage = TImage;
