// The pages of the installation itself: the progress page runs the product's
// install list with a progress bar and Cancel, after asking before it replaces
// a newer installed version; the final page ends the program with Done, or
// restarts Windows when an installed item asked for it.
#pragma once

#include "classlib/label.h"
#include "classlib/progressbar.h"
#include "engine/installlist.h"
#include "wizard/pagelist.h"

#include <cstdint>

class clCustomPageInstallProgress : public clCustomPage, public InstallProgressView {
public:
    bool Create() override { return CreateProgressControls(); }
    // The installation run: only Cancel visible, the list built and run, then
    // the final page after success or the welcome page after a failure (with
    // its message) or a cancel (without one).
    void Show() override;

    virtual bool CreateProgressControls() { return false; }
    // Builds the running list: 0 or the first builder's error.
    virtual int32_t FillInstallList();
    // The product's records after a successful run.
    virtual void AfterInstall();

    // "n%" and the bar at percent; lets pending window messages be dispatched.
    void SetProgress(int percent) override;
    // Asks the running list to stop after its current step; nothing without one.
    void CancelClick();
    // The text of message id, else the system's text of the Win32 code id; 0
    // shows nothing.
    void ShowInstallError(int id);

    TJvXPProgressBar* progressBar = nullptr;
    TLabel* percentLabel = nullptr;
    clInstallList* runningList = nullptr;  // set only while a run is in progress
};

class clPageInstallProgress : public clCustomPageInstallProgress {
public:
    bool CreateProgressControls() override;
    // Asks first when a newer version is installed; No leads back to the
    // welcome page.
    void Show() override;
    void Hide() override;
    void ApplyLanguage() override;
    int32_t FillInstallList() override;
    void AfterInstall() override;

    // The replace question for the installed version code; true for Yes.
    bool ConfirmReplace(int32_t installed);
};

class clCustomPageInstallFinal : public clCustomPage {
public:
    // "Done": closes the program.
    virtual void FinishSetup();
    // "Reboot Now": asks Windows to restart, then closes the program. A refused
    // restart is shown and the page stays, so that the user knows to restart.
    virtual void RebootNow();

    uint8_t reboot = 0;  // set by the progress page before it shows this page
};

class clPageInstallFinal : public clCustomPageInstallFinal {
public:
    void Show() override;
    void ApplyLanguage() override;
    void Arrange() override;
};

// The test seam over the running install list: called by the progress page after each
// step of the list, once the progress is shown and pending messages are dispatched. Null
// in Setup; the wizard's tests set it to act between the steps of a real run.
extern void (*ProgressStepHook)(clInstallList* list);

// Asks Windows to restart (a planned restart for an installation): 0, or the
// Win32 error that refused it. The test build of Setup records the request
// instead.
uint32_t RequestRestart();

// Shown when the catalogue holds no replace question (a build without message
// files): the installation never replaces a newer version without asking.
extern const wchar_t ReplaceQuestionFallback[];
