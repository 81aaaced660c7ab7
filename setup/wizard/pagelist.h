// The wizard's page list: it builds the main form's content and switches pages.
// This is the start-up part the main form relies on; the frame, the message
// box and the pages join it with their own code.
#pragma once

#include "foundation/dorqobject.h"
#include "wizard/frame.h"

class clInstallPageList : public clDorqObjectList {
public:
    clInstallPageList() = default;
    ~clInstallPageList() override = default;

    // Sizes the form (500 by 400, white, borderless). False when the frame has
    // no form.
    virtual bool Init();
    // False while an installation runs, so that the main form refuses to close
    // under it. No installation can run yet.
    virtual bool CanClose() { return true; }

    SetupFrame frame;
};
