// The wizard's frame and control factories: the title strip with its logo, the
// page title, the version label, the three buttons shared by all pages, the
// frame line, bands, drag area and centring of a borderless form.
#pragma once

#include "classlib/form.h"
#include "classlib/label.h"
#include "classlib/memo.h"
#include "classlib/progressbar.h"
#include "wizard/buttons.h"

#include <cstdint>
#include <string>

// The frame controls shared by every page; they live as long as the form.
struct SetupFrame {
    TForm* form = nullptr;             // owner and parent of every frame control
    TImage* titleStripLogo = nullptr;  // null without a strip
    int stripHeight = 0;               // 0: no title strip
    TLabel* versionLabel = nullptr;
    TTntLabel* titleLabel = nullptr;
    int titleMargin = 80;  // from the reading-side edge
    int titleWidth = 0;    // client width - title margin - 8
    TImage* centrePicture = nullptr;
    TclCaptionButton* leftButton = nullptr;
    TclCaptionButton* middleButton = nullptr;
    TclCaptionButton* rightButton = nullptr;
};

// What the message box is built from.
struct MessageBoxConfig {
    int32_t formColor;
    int32_t okTextId;
    int32_t cancelTextId;  // carried; no box shows a Cancel button
    int32_t yesTextId;
    int32_t noTextId;
    int32_t headerHeight;  // the title strip and the drag area over it
    int32_t extraWidth;    // added to the logo's width: the box's least width
};

// Control factories: each control is owned by and placed on owner; null when it
// cannot be made.
void SetCheckBoxImages(TclCheckBox* box);
TclCheckBox* CreateCheckBox(TWinControl* owner);
TclCaptionCheckBox* CreateCaptionCheckBox(TWinControl* owner);
// "Ver 2.04.02".
TLabel* CreateVersionLabel(TWinControl* owner);
// 100 x 24, enabled; hot caption and border purple.
TclCaptionButton* CreateCaptionButton(TWinControl* owner);
// As CreateCaptionButton, but it does not change under the pointer.
TclCaptionButton* CreateFlatCaptionButton(TWinControl* owner);
// The dark blue strip along the top and the logo on it; returns the logo.
TImage* CreateTitleStrip(TWinControl* parent);
TImage* CreateStartPicture(TWinControl* owner);
TImage* CreateHeaderPicture(TWinControl* owner);
TJvXPProgressBar* CreateProgressBar(TWinControl* parent);

// Form routines.
// A frame line of pen width along the client edges.
TclCustomBox* CreateFrameBox(TWinControl* parent, int penWidth);
TShape* CreateFilledRect(TWinControl* parent, int top, int left, int height, int width, TColor colour);
// Full-width bands behind everything: under the strip, and along the bottom.
TShape* CreateTopBand(TWinControl* parent, int top, int height, TColor colour);
TShape* CreateBottomBand(TWinControl* parent, int height, TColor colour);
// The area at 0,0 that moves the window when dragged.
TclFormMove* CreateFormMoveArea(TWinControl* parent, int width, int height);
// 8 pixels from the reading side's edge, anchored to it.
void AnchorToReadingSide(TWinControl* parent, TControl* control);
// Over the form (by its outer bounds), or over the screen without one.
void CenterControl(TControl* control, TForm* form);
void CenterOnMainForm(TControl* control);

// Setup frame routines.
void InitSetupFrame(SetupFrame* frame);
// Makes the frame's controls on its form; false at the first that cannot be made.
bool CreateSetupFrame(SetupFrame* frame);
// The reading direction (right to left for Hebrew and Arabic) and the font of
// the form, the title and the buttons; an empty name leaves the names alone.
void ApplyFrameLanguage(SetupFrame* frame, uint8_t charset, const std::string& fontName);
// The logo to the reading side and the buttons 10 pixels from the edges and
// from each other, mirrored for right-to-left reading.
void LayoutSetupButtons(SetupFrame* frame);
void SetTitleText(SetupFrame* frame, const wchar_t* text);
TTntMemo* CreateLicenceMemo(SetupFrame* frame);
