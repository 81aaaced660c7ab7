// The wizard's own control base, images, boxes and drag area, and the loaders
// that every picture of the wizard goes through.
#pragma once

#include "classlib/image.h"
#include "classlib/shape.h"
#include "classlib/wincontrol.h"

#include <cstdint>

// How a picture id is loaded: a bitmap resource, or a PNG in a "BINRES"
// resource. Any other value loads a bitmap.
const uint8_t ImageKindBitmap = 1;
const uint8_t ImageKindPng = 2;

// Loads the PNG of "BINRES" resource id of the program's own module into the
// image's picture. False for id -1 or a resource that is missing or no PNG;
// the picture then stays as it was.
bool LoadPngResource(TImage* image, int id);
// Kind 2: LoadPngResource; otherwise the bitmap resource id. False as above.
bool LoadImageResource(TImage* image, int id, uint8_t kind);
// A visible, auto-sized, transparent image on parent showing resource id; it is
// returned even when the picture could not be loaded (it then shows nothing).
TImage* CreateResourceImage(TWinControl* parent, int id, uint8_t kind);

// The base of the composite controls: geometry, visibility, enabled state,
// cursor and click handler are reached through virtual operations, so that a
// control made of several library controls passes each change to all of them.
// The program places its own controls only through these.
class TclCustomControl : public TControl {
public:
    explicit TclCustomControl(TComponent* owner) : TControl(owner) {}

    virtual void SetParent(TWinControl* parent) { TControl::SetParent(parent); }
    virtual void SetAnchors(TAnchors anchors) { TControl::SetAnchors(anchors); }
    virtual void SetAlign(TAlign align) { TControl::SetAlign(align); }
    virtual bool GetVisible() { return Visible(); }
    virtual void SetVisible(bool visible) { TControl::SetVisible(visible); }
    virtual int GetTop() { return Top(); }
    virtual void SetTop(int top) { TControl::SetTop(top); }
    virtual int GetLeft() { return Left(); }
    virtual void SetLeft(int left) { TControl::SetLeft(left); }
    virtual int GetHeight() { return Height(); }
    virtual void SetHeight(int height) { TControl::SetHeight(height); }
    virtual int GetWidth() { return Width(); }
    virtual void SetWidth(int width) { TControl::SetWidth(width); }
    virtual bool GetEnabled() { return Enabled(); }
    virtual void SetEnabled(bool enabled) { TControl::SetEnabled(enabled); }
    virtual TCursor GetCursor() { return Cursor(); }
    virtual void SetCursor(TCursor cursor) { TControl::SetCursor(cursor); }
    virtual TNotifyEvent GetOnClick() { return OnClick; }
    virtual void SetOnClick(TNotifyEvent handler) { OnClick = std::move(handler); }
    // Brings each part to the front, in the descendant's order; the base has none.
    virtual void BringToFront() {}
};

// An image that sizes itself to its picture, with virtual accessors.
class TclImage : public TImage {
public:
    explicit TclImage(TComponent* owner);

    virtual void SetParent(TWinControl* parent) { TImage::SetParent(parent); }
    virtual void SetAnchors(TAnchors anchors) { TImage::SetAnchors(anchors); }
    virtual void SetVisible(bool visible) { TImage::SetVisible(visible); }
    virtual void SetTop(int top) { TImage::SetTop(top); }
    virtual void SetLeft(int left) { TImage::SetLeft(left); }
    virtual int GetWidth() { return Width(); }
    virtual void SetWidth(int width) { TImage::SetWidth(width); }
    virtual int GetHeight() { return Height(); }
    virtual void SetHeight(int height) { TImage::SetHeight(height); }
    virtual void SetEnabled(bool enabled) { TImage::SetEnabled(enabled); }
    virtual void SetAutoSize(bool on) { TImage::SetAutoSize(on); }
    int GetTop() { return Top(); }
    // Virtual: a caption check box answers with the left of its whole row.
    virtual int GetLeft() { return Left(); }
    bool GetEnabled() { return Enabled(); }
};

// An image showing one picture chosen by resource id.
class TclResImage : public TclImage {
public:
    explicit TclResImage(TComponent* owner) : TclImage(owner) {}

    // Shows the picture of id with the image kind. The id already shown loads
    // nothing; -1 loads nothing and leaves the previous picture on screen while
    // ImageId reads -1.
    void SetImage(int id);
    int ImageId() const { return imageId_; }
    uint8_t ImageKind() const { return imageKind_; }
    void SetImageKind(uint8_t kind) { imageKind_ = kind; }

private:
    int imageId_ = -1;
    uint8_t imageKind_ = ImageKindBitmap;
};

// A shape with virtual accessors (the frame line around a borderless form).
class TclCustomBox : public TShape {
public:
    explicit TclCustomBox(TComponent* owner) : TShape(owner) {}

    virtual void SetParent(TWinControl* parent) { TShape::SetParent(parent); }
    virtual void SetAnchors(TAnchors anchors) { TShape::SetAnchors(anchors); }
    virtual void SetVisible(bool visible) { TShape::SetVisible(visible); }
    virtual void SetTop(int top) { TShape::SetTop(top); }
    virtual void SetLeft(int left) { TShape::SetLeft(left); }
    virtual void SetHeight(int height) { TShape::SetHeight(height); }
    virtual void SetWidth(int width) { TShape::SetWidth(width); }
    virtual TNotifyEvent GetOnClick() { return OnClick; }
    virtual void SetOnClick(TNotifyEvent handler) { OnClick = std::move(handler); }
    virtual void BringToFront() { TShape::BringToFront(); }
};

// An invisible area (over the title strip of a borderless form): dragging it
// with the left button moves its parent window.
class TclFormMove : public TControl {
public:
    explicit TclFormMove(TComponent* owner);

    bool Dragging() const { return dragging_; }

private:
    void DragMouseDown(TMouseButton button, TShiftState shift, int x, int y);
    void DragMouseMove(TShiftState shift, int x, int y);
    void DragMouseUp(TMouseButton button, TShiftState shift, int x, int y);
    // Moves the parent by the pointer's offset from the press point, Top first.
    void MoveParent(int x, int y);

    bool dragging_ = false;
    int startX_ = 0;
    int startY_ = 0;
};
