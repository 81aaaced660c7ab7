// The pages before the installation: the welcome page (language, licence
// acceptance, Options, Install, Quit), the options page (install folder and
// desktop shortcut) and the licence page.
#pragma once

#include "classlib/combobox.h"
#include "classlib/label.h"
#include "classlib/memo.h"
#include "wizard/buttons.h"
#include "wizard/pagelist.h"

#include <string>

class clCustomPageInstallStart : public clCustomPage {
public:
    // OnClick of the link: the licence page.
    virtual void OpenLicence() {}
    // OnClick of Quit.
    virtual void ConfirmQuit() {}
    // OnClick of Install.
    virtual void StartInstall() {}
    // OnChange of the accept box: Install is enabled exactly while it is ticked.
    virtual void UpdateInstallButton();

    TTntLabel* languageLabel = nullptr;
    TclCheckBox* acceptBox = nullptr;
    TTntLabel* linkLabel = nullptr;
    TTntComboBox* languageCombo = nullptr;  // the form's, set before the page is added
};

class clPageInstallStart : public clCustomPageInstallStart {
public:
    bool Create() override;
    void Show() override;
    void Hide() override;
    void ApplyLanguage() override;
    void Arrange() override;
    void OpenLicence() override;
    void ConfirmQuit() override;
    void StartInstall() override;

    TImage* welcomePicture = nullptr;
};

class clCustomPageInstallOptions : public clCustomPage {
public:
    // The folder the installation uses, shown in the folder box; set once.
    void SetFolder(const std::string& folder);
    std::string Folder() const;

    TTntLabel* captionLabel = nullptr;
    TclStaticText* folderBox = nullptr;
};

class clPageInstallOptions : public clCustomPageInstallOptions {
public:
    bool Create() override;
    void Show() override;
    void Hide() override;
    void ApplyLanguage() override;
    void Arrange() override;

    TclCaptionCheckBox* desktopBox = nullptr;
};

class clCustomPageLisence : public clCustomPage {
public:
    void Show() override;
    void Hide() override;
    void Arrange() override;

    TTntMemo* licenceMemo = nullptr;
};

class clPageLisence : public clCustomPageLisence {
public:
    bool Create() override;
    void ApplyLanguage() override;
};

// The message text of id, empty when it is missing.
std::wstring PageText(int id);
// The licence text as the memo shows it: without the byte-order mark.
std::wstring LicenceDisplayText(const wchar_t* text);
