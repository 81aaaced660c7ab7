// The wizard's own message box: a light grey stay-on-top form with the title
// strip and logo, an icon, the text and one or two caption buttons. One box per
// process, built once and laid out anew for every message; before it exists
// (or when it could not be built) the system's message box stands in.
#pragma once

#include "wizard/frame.h"

#include <cstdint>

class tclMsgDialog {
public:
    tclMsgDialog() = default;
    tclMsgDialog(const tclMsgDialog&) = delete;
    tclMsgDialog& operator=(const tclMsgDialog&) = delete;
    // Frees nothing: the controls belong to the form, the form to the application.
    virtual ~tclMsgDialog() = default;

    // The title strip with its logo and the drag area over it.
    virtual bool BuildHeader();
    // The logo to the reading side.
    virtual void PlaceHeader();
    virtual void OnYes();
    virtual void OnNo();

    bool Build(const MessageBoxConfig& config);
    // One message: text, icon and buttons, size and places.
    void SetMessageBoxText(const wchar_t* text);
    void PrepareQuestion();
    void PrepareError();
    void LayoutMessageBox();
    void PlaceMessageBoxControls();
    int MessageBoxClientWidth();
    // Places the text beside the icon and returns the buttons' top.
    int MessageBoxButtonTop();

    uint8_t answer = 0;  // 1 Yes, 0 No
    TForm* form = nullptr;
    TImage* header = nullptr;
    TImage* icon = nullptr;
    TTntLabel* textLabel = nullptr;
    TclCaptionButton* firstButton = nullptr;   // Yes, or OK
    TclCaptionButton* secondButton = nullptr;  // No; hidden with OK
    TclFormMove* dragArea = nullptr;
    MessageBoxConfig config = {};
};

// The box, once CreateMessageBox has built it; never freed.
extern tclMsgDialog* MessageBoxInstance;

// Builds the one box; false when one exists already (nothing changes) or when
// building fails (no box is kept).
bool CreateMessageBox(const MessageBoxConfig* config);
// True when the user answers Yes; a null text shows nothing and is No.
bool AskYesNo(const wchar_t* text);
// The text with the error icon and OK; a null text shows nothing.
void ShowErrorText(const wchar_t* text);
// The system's text for a Win32 error code, as an error; nothing without one.
void ShowSystemError(int error);

// The system's message box, which stands in while the own box does not exist.
// Tests put a fake here.
extern int (*SystemMessageBox)(HWND owner, const wchar_t* text, UINT type);

// The product's name, put into messages for their "%s".
extern const wchar_t ProductName[];

// "Memory allocation failed." (message 20011) as an error.
void ShowMemoryError();
// Message id with the product name for its "%s", in the wide scratch buffer
// (copy it at once); null when the message is missing.
const wchar_t* ProductMsg(int id);
// Builds the wizard's message box: light grey, OK, Cancel, Yes and No by message
// id, an 18-pixel header, 8 pixels beyond the logo at the least.
bool SetupMsgDialog();
