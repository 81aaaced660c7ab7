// The wizard's page list: start-up.
#include "wizard/pagelist.h"

#include "classlib/form.h"

bool clInstallPageList::Init()
{
    TForm *form = frame.form;
    if (!form)
        return false;
    form->SetClientWidth(500);
    form->SetClientHeight(400);
    form->SetColor(0xFFFFFF);
    form->SetBorderStyle(bsNone);
    return true;
}
