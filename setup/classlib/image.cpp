// Images.
#include "classlib/image.h"

TImage::TImage(TComponent* owner) : TControl(owner)
{
    SetBounds(0, 0, 105, 105);
    picture_.OnChange = [this] { PictureChanged(); };
}

void TImage::SetAutoSize(bool on)
{
    autoSize_ = on;
    if (autoSize_)
        PictureChanged();
}

void TImage::SetMirrored(bool on)
{
    mirrored_ = on;
    Invalidate();
}

void TImage::PictureChanged()
{
    if (autoSize_ && !picture_.Empty())
        SetBounds(Left(), Top(), picture_.Width(), picture_.Height());
    Invalidate();
}

void TImage::Paint(TCanvas& canvas)
{
    if (picture_.Empty())
        return;
    bool keyed = Transparent() && picture_.IsBitmap();
    if (!keyed && !mirrored_) {
        canvas.Draw(0, 0, picture_);
        return;
    }
    TPicture shown = keyed ? picture_.WithColorKeyBottomLeft() : picture_;
    canvas.Draw(0, 0, mirrored_ ? shown.FlippedHorizontally() : shown);
}
