// The wizard's main form.
#include "wizard/forminstall.h"

#include "classlib/application.h"
#include "engine/installlist.h"
#include "wizard/pagelist.h"

#include <new>

const char ApplicationTitle[] = "Brimvault Setup";
const wchar_t AllocatedMemoryFailText[] = L"Allocated memory fail !";

TFormInstall* FormInstall = nullptr;
clInstallPageList* PageList = nullptr;

static clInstallPageList* AllocatePageList()
{
    return new (std::nothrow) clInstallPageList();
}

clInstallPageList* (*NewPageList)() = AllocatePageList;

int SetupExitCode()
{
    return InstallCompleted ? 0 : 1;
}

TFormInstall::TFormInstall(TComponent* owner) : TForm(owner)
{
    // FormInstall is left to CreateForm, which sets it once this constructor has
    // succeeded: the page list reaches the form through its frame.
    ApplyFormDescription();

    PageList = NewPageList();
    if (!PageList) {
        // No message file exists yet: the fixed text, in the system's box.
        MessageBoxW(Application->Handle(), AllocatedMemoryFailText, nullptr, MB_ICONERROR);
        Application->Terminate();
        return;
    }
    PageList->frame.form = this;
    if (!PageList->Init())
        Application->Terminate();  // Init has shown its own message
}

void TFormInstall::ApplyFormDescription()
{
    SetBorderStyle(bsNone);
    SetClientWidth(258);
    SetClientHeight(111);
    SetColor(clWhite);
    Font()->SetCharset(ANSI_CHARSET);
    Font()->SetColor(clWindowText);
    Font()->SetHeight(-12);
    Font()->SetName("MS Sans Serif");
    SetPosition(poScreenCenter);
    SetCaption(Application->Title());
    OnDestroy = [this](TObject* sender) { FormDestroy(sender); };

    ComboLang = new TTntComboBox(this);
    ComboLang->SetParent(this);
    ComboLang->SetBounds(16, 24, 169, 21);
    ComboLang->SetCursor(crHandPoint);
    ComboLang->SetItemHeight(13);
    ComboLang->SetParentFont(false);
    ComboLang->Font()->SetCharset(DEFAULT_CHARSET);
    ComboLang->Font()->SetColor(clWindowText);
    ComboLang->Font()->SetHeight(-12);
    ComboLang->Font()->SetName("MS Sans Serif");
}

bool TFormInstall::CloseQuery()
{
    if (PageList && !PageList->CanClose())
        return false;
    return TForm::CloseQuery();
}

void TFormInstall::FormDestroy(TObject*)
{
    if (PageList) {
        delete PageList;
        PageList = nullptr;
    }
}
