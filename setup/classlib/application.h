// The application object: the hidden "TApplication" window that carries the
// title, the main form, the message loop and the display of exceptions.
#pragma once

#include "classlib/component.h"
#include "classlib/exception.h"
#include "classlib/types.h"

#include <string>

class TForm;

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    // Makes the hidden application window.
    void Initialize();

    // The title: the text of the hidden window (so that another process can
    // find a running instance) and the caption of exception boxes.
    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title);

    // The hidden window of class "TApplication"; made on first use.
    HWND Handle();

    // Constructs a form of class T owned by the application and stores it in
    // reference. The first form made becomes the main form, but only once its
    // constructor has returned. An exception of the constructor passes, with
    // reference left null.
    template <class T>
    void CreateForm(T*& reference)
    {
        reference = nullptr;
        T* form = new T(this);
        reference = form;
        if (!mainForm_)
            SetMainForm(form);
    }
    TForm* MainForm() const { return mainForm_; }

    // Shows the main form and dispatches messages until Terminate, the main
    // form's Close or a WM_QUIT ends the loop.
    void Run();
    // Ends the message loop at once (a later Run returns at once, too).
    void Terminate();
    bool Terminated() const { return terminated_; }
    // Dispatches every pending message; a WM_QUIT among them ends the loops
    // (Terminated becomes true and the quit message stays posted).
    void ProcessMessages();
    // Waits for one message and dispatches it.
    void HandleMessage();

    // Shows the exception's message in the system's message box with the
    // error icon and the title as caption.
    void ShowException(const Exception& exception);

    TBiDiMode BiDiMode() const { return bidiMode_; }
    void SetBiDiMode(TBiDiMode mode);

    // The window that owns system message boxes: the main form while it is
    // shown, else the hidden application window.
    HWND DialogOwner();

private:
    friend class TForm;
    void SetMainForm(TForm* form);
    void DispatchOne(MSG& message);

    HWND handle_ = nullptr;
    std::string title_;
    TForm* mainForm_ = nullptr;
    bool terminated_ = false;
    TBiDiMode bidiMode_ = bdLeftToRight;
};

// The application of this process.
extern TApplication* Application;
