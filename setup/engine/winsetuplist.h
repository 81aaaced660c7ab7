// The setup list: the items of an installation, the run loop and its progress figure.
#pragma once

#include "engine/setupitem.h"
#include "foundation/dorqobject.h"

#include <string>

class clWinSetupList : public clDorqObjectList {
public:
    clWinSetupList();
    ~clWinSetupList() override;

    // Called after every pass of the run; lets pending window messages be dispatched.
    virtual void StepHook();

    uint8_t reboot = 0;           // raised once a finished item asked for a restart
    uint8_t continueOnError = 0;  // a failing item is marked done and the run goes on
    uint8_t cancel = 1;           // asks the run to stop after the current step
    clSetupItem* currentItem = nullptr;
    std::string installDir;
    std::string productKey;
    // The pause after each pass in which an item waited (its step did not move).
    int32_t waitPauseMs = 50;
};

// Runs the items one step per pass: 0, SETUP_ERR_CANCELLED, or the first failing step's result.
int32_t RunSetupList(clWinSetupList* list);
// Completion in percent: the current steps of all items against their target steps.
float SetupListProgress(const clWinSetupList* list);
// The first item of the list that is a duplicate of item; null when none (or item is null).
clSetupItem* FindSameSetupItem(clWinSetupList* list, const clSetupItem* item);
// Appends item, owned by the list; a duplicate of an item already there is deleted instead.
void AddSetupItem(clWinSetupList* list, clSetupItem* item);
// The factories' ending: a null item (its allocation failed) gives SETUP_ERR_NO_MEMORY and
// adds nothing; any other is handed to AddSetupItem and gives 0, also when it was dropped.
int32_t AddNewSetupItem(clWinSetupList* list, clSetupItem* item);
