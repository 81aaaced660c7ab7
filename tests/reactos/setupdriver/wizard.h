// Setup's wizard as a user drives it: its process, its windows, clicks at the
// positions the pages place their controls, and the colours that tell which
// buttons show.
#pragma once
#include <windows.h>

// Client positions of the wizard's controls (the form is 500 by 400).
const POINT AcceptBoxPoint = {36, 268};     // the licence box, at 30, 262
const POINT InstallButtonPoint = {330, 380}; // the middle frame button, 280..380 by 368..392
// A point inside the left frame button (10..110), clear of its caption: the
// button shows on the welcome page only.
const POINT LeftButtonProbe = {14, 371};
// A point inside the 200-pixel right button that offers the restart
// (284..484), clear of its caption; the 100-pixel "Done" (384..484) leaves it
// to the bottom band.
const POINT RestartButtonProbe = {300, 380};

class SetupProcess {
public:
    SetupProcess();
    ~SetupProcess();
    bool Start(const char* commandLine);
    // The wizard's main form once it shows, or NULL after the time given.
    HWND WaitForMainForm(DWORD milliseconds);
    // Another form of the process: the wizard's message box.
    HWND MessageBoxForm();
    HWND MainForm() const { return mainForm; }
    // Closes the main form; the exit code, or -1 when it does not end in time.
    long CloseAndWait(DWORD milliseconds);
    bool HasEnded();

private:
    HWND FindForm(bool mainOne);
    PROCESS_INFORMATION process;
    HWND mainForm;
};

// A left click at a client point of the form, with SendInput.
void ClickAt(HWND form, POINT point);
// The screen's colour at a client point of the form.
COLORREF ColourAt(HWND form, POINT point);
bool IsWhite(COLORREF colour);
// Asks the host for a screenshot named name and gives it time to take it.
void Shot(const char* name);
