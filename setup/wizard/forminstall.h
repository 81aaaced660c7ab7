// The wizard's main form and the globals of the program entry.
#pragma once

#include "classlib/combobox.h"
#include "classlib/form.h"

#include <cstdint>

class clInstallPageList;

class TFormInstall : public TForm {
public:
    // Builds the form as its description says, then the page list, and runs
    // the page list's start-up; a failed start-up ends the application.
    explicit TFormInstall(TComponent* owner);

    // Refused while an installation runs (asked by Close, WM_CLOSE and the end
    // of the Windows session).
    bool CloseQuery() override;

    // OnDestroy: deletes the page list.
    void FormDestroy(TObject* sender);

    // The language box; the welcome page moves it.
    TTntComboBox* ComboLang = nullptr;

private:
    void ApplyFormDescription();
};

// The title of the application, also what a second instance looks for.
extern const char ApplicationTitle[];
// Shown when the start-up runs out of memory before any message file exists.
extern const wchar_t AllocatedMemoryFailText[];

// The main form: set by Application->CreateForm once the form is built, never to
// a form whose construction failed.
extern TFormInstall* FormInstall;
// The wizard's page list: null until the form's constructor stores it and
// again after FormDestroy. The form owns it.
extern clInstallPageList* PageList;
// Allocates the page list the form's constructor stores (null when memory is
// short). Setup keeps the plain allocation; a test sets its own to make the
// allocation fail.
extern clInstallPageList* (*NewPageList)();
// The process exit code: 0 after a completed installation (InstallCompleted), else 1.
int SetupExitCode();
