// The own control base, images, boxes, drag area and picture loaders.
#include "wizard/customcontrol.h"

#include "classlib/exception.h"
#include "classlib/resourcestream.h"

#include <new>

bool LoadPngResource(TImage* image, int id)
{
    if (id == -1 || !image)
        return false;
    // A picture that is missing or broken is skipped: the wizard goes on without it.
    try {
        TResourceStream stream(GetModuleHandleW(nullptr), id, ResourceTypeBinRes);
        TPicture png;
        png.LoadPng(stream.Memory(), stream.Size());
        image->Picture()->Assign(png);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

bool LoadImageResource(TImage* image, int id, uint8_t kind)
{
    if (kind == ImageKindPng)
        return LoadPngResource(image, id);
    if (id == -1 || !image)
        return false;
    try {
        // The program's own module: a null module would mean the system's bitmaps.
        TPicture bitmap;
        bitmap.LoadBitmapResource(GetModuleHandleW(nullptr), id);
        image->Picture()->Assign(bitmap);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

TImage* CreateResourceImage(TWinControl* parent, int id, uint8_t kind)
{
    TImage* image = new (std::nothrow) TImage(parent);
    if (!image)
        return nullptr;
    image->SetParent(parent);
    image->SetVisible(true);
    image->SetAutoSize(true);
    image->SetTransparent(true);
    LoadImageResource(image, id, kind);
    return image;
}

TclImage::TclImage(TComponent* owner) : TImage(owner)
{
    TImage::SetAutoSize(true);
}

void TclResImage::SetImage(int id)
{
    if (id == imageId_)
        return;
    imageId_ = id;
    LoadImageResource(this, id, imageKind_);
}

TclFormMove::TclFormMove(TComponent* owner) : TControl(owner)
{
    SetAnchors(akLeft | akTop | akRight);
    SetCursor(crSizeAll);
    OnMouseDown = [this](TObject*, TMouseButton button, TShiftState shift, int x, int y) {
        DragMouseDown(button, shift, x, y);
    };
    OnMouseMove = [this](TObject*, TShiftState shift, int x, int y) { DragMouseMove(shift, x, y); };
    OnMouseUp = [this](TObject*, TMouseButton button, TShiftState shift, int x, int y) {
        DragMouseUp(button, shift, x, y);
    };
}

void TclFormMove::DragMouseDown(TMouseButton, TShiftState shift, int x, int y)
{
    if (!(shift & ssLeft))
        return;
    dragging_ = true;
    startX_ = x;
    startY_ = y;
}

void TclFormMove::DragMouseMove(TShiftState shift, int x, int y)
{
    if ((shift & ssLeft) && dragging_)
        MoveParent(x, y);
}

void TclFormMove::DragMouseUp(TMouseButton, TShiftState shift, int x, int y)
{
    if ((shift & ssLeft) || !dragging_)
        return;  // another button was released while the left one is held
    dragging_ = false;
    MoveParent(x, y);
}

void TclFormMove::MoveParent(int x, int y)
{
    TWinControl* parent = Parent();
    if (!parent)
        return;
    // The area moves with its parent, so the press point stays the reference.
    parent->SetTop(parent->Top() + (y - startY_));
    parent->SetLeft(parent->Left() + (x - startX_));
}
