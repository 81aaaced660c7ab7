// The wizard's pages and page lists: a page builds its controls once and shows,
// hides, labels and places them; the page list switches pages under a busy
// guard, and the installer's list builds the form's frame, the step row and the
// five pages at start-up.
#pragma once

#include "foundation/dorqobject.h"
#include "wizard/frame.h"
#include "wizard/stepindicator.h"

#include <memory>

class clCustomPage : public clDorqObject {
public:
    // Builds the page's controls, hidden; false when one cannot be made.
    virtual bool Create() { return true; }
    // Shows the page's controls and binds the frame buttons.
    virtual void Show() {}
    // Hides the page's controls and unbinds its handlers.
    virtual void Hide() {}
    // Texts, fonts and sizes for the current language.
    virtual void ApplyLanguage() {}
    // Places the controls for the reading direction.
    virtual void Arrange() {}

    int step = 0;  // the step lit while the page is shown; 0 hides the row
};

class clCustomPageList : public clDorqObjectList {
public:
    virtual bool CreatePages() { return true; }
    virtual bool Init() { return CreatePages(); }
    // The current page's texts, then its places.
    virtual void ApplyLanguage();
    // Makes page current: the old one hidden, the new one labelled, placed and
    // shown. True at once for the current page; false while another switch
    // runs. The busy flag is taken before anything that could dispatch a
    // message and is cleared on every way out, also by an exception.
    virtual bool ShowPage(clCustomPage* page);

    // Appends page (owned) and builds it; a page whose Create fails stays in
    // the list and gives false. A built page is hidden and placed.
    bool AddPage(clCustomPage* page);

    clCustomPage* currentPage = nullptr;
    // 1 while ShowPage switches pages. A page's Show that switches pages itself
    // clears it just before its own ShowPage.
    uint8_t busy = 0;

protected:
    // Called by ShowPage inside its guard, before the old page is hidden.
    virtual void PageChanging(clCustomPage* page) {}
};

class clCustomInstallPageList : public clCustomPageList {
public:
    // Detects the OS, turns off the critical-error boxes, enables the process
    // token's privileges and prepares the frame record.
    clCustomInstallPageList();

    // Catalogue, message box, system check, frame and pages, the language, then
    // the welcome page. False after showing why (nothing with no form).
    bool Init() override;
    // Init's first two steps: false shows nothing, Init then says why.
    virtual bool CreateCatalogue();
    virtual bool SetupMessageBox();
    virtual bool CheckSystem() { return false; }
    virtual bool CreateFrame() { return false; }

    SetupFrame frame;
};

class clInstallPageList : public clCustomInstallPageList {
public:
    ~clInstallPageList() override;

    bool CreatePages() override;
    // The frame line, then the form's size and colour, then the base start-up.
    bool Init() override;
    void ApplyLanguage() override;
    bool CheckSystem() override;
    bool CreateFrame() override;
    // False while a switch runs, and so while an installation runs inside the
    // switch to the progress page: the main form refuses to close under it.
    virtual bool CanClose() { return busy == 0; }

    std::unique_ptr<StepIndicators> steps;
    TImage* headerPicture = nullptr;

protected:
    void PageChanging(clCustomPage* page) override;
};

class clPageInstallStart;
class clPageInstallOptions;
class clPageLisence;
class clPageInstallProgress;
class clPageInstallFinal;

// The five pages, set by CreatePages.
extern clPageInstallStart* WelcomePage;
extern clPageInstallOptions* OptionsPage;
extern clPageLisence* LicencePage;
extern clPageInstallProgress* ProgressPage;
extern clPageInstallFinal* FinalPage;

// Shown when the catalogue holds no text of message 20011 (a build without
// message files).
extern const wchar_t MemoryFailedFallbackText[];
// As ShowMemoryError, with the fixed text when the message is missing.
void ShowMemoryErrorOrFallback();
