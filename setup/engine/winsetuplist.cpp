// The setup list: the items of an installation, the run loop and its progress figure.
#include "engine/winsetuplist.h"

#include "classlib/application.h"
#include "foundation/securityutil.h"

#include <windows.h>

namespace {

clSetupItem* ItemOf(clDorqObject* node)
{
    return static_cast<clSetupItem*>(node);
}

clSetupItem* NextItem(const clSetupItem* item)
{
    return ItemOf(item->next);
}

// Moves the run past a finished item, taking over its restart request.
void PassFinishedItem(clWinSetupList* list, clSetupItem* item)
{
    if (item->reboot)
        list->reboot = 1;
    list->currentItem = NextItem(item);
}

// Whether nothing is left to do from the current item on.
bool RestIsFinished(const clWinSetupList* list)
{
    for (clSetupItem* item = list->currentItem; item; item = NextItem(item))
        if (!item->IsFinished())
            return false;
    return true;
}

// How long the current item has been waiting in one step.
class WaitClock {
public:
    void Reset() { item_ = nullptr; }
    // Counts a pass in which item returned 0 but stayed in its step: 0 while the wait is
    // within the item's limit, else the item's wait error.
    int32_t WaitedPass(const clSetupItem* item)
    {
        DWORD now = GetTickCount();
        if (item_ != item || step_ != item->currentStep) {
            item_ = item;
            step_ = item->currentStep;
            since_ = now;
        }
        DWORD limit = item->waitLimitMs > 0 ? DWORD(item->waitLimitMs) : 0;
        if (now - since_ < limit)
            return 0;
        return item->waitError != 0 ? item->waitError : int32_t(WAIT_TIMEOUT);
    }

private:
    const clSetupItem* item_ = nullptr;
    int32_t step_ = 0;
    DWORD since_ = 0;
};

// One step of an unfinished item: 0, or the error that ends the run. *waiting tells
// whether the item stayed in its step (and is within its wait limit).
int32_t StepItem(clWinSetupList* list, clSetupItem* item, WaitClock& wait, bool* waiting)
{
    int32_t stepBefore = item->currentStep;
    int32_t result = item->ExecuteStep();
    *waiting = result == 0 && item->currentStep == stepBefore;
    if (*waiting)
        result = wait.WaitedPass(item);
    else
        wait.Reset();
    if (result == 0 || !list->continueOnError)
        return result;
    *waiting = false;
    item->MarkDone();
    if (item->reboot)
        list->reboot = 1;
    return 0;
}

// The cancel flag was found set after a pass. When all the work is done already, the
// cancel does not undo the success: the run ends as a complete one.
int32_t EndCancelledRun(clWinSetupList* list)
{
    if (!RestIsFinished(list))
        return SETUP_ERR_CANCELLED;
    while (list->currentItem)
        PassFinishedItem(list, list->currentItem);
    return 0;
}

}  // namespace

clWinSetupList::clWinSetupList()
{
    // A run needs the process token's privileges (services, files of the system).
    EnableProcessPrivileges();
}

clWinSetupList::~clWinSetupList() = default;

void clWinSetupList::StepHook()
{
    Application->ProcessMessages();
}

int32_t RunSetupList(clWinSetupList* list)
{
    if (!list)
        return SETUP_ERR_UNKNOWN_STEP;
    list->cancel = 0;
    list->currentItem = ItemOf(list->First());
    WaitClock wait;
    while (clSetupItem* item = list->currentItem) {
        bool waiting = false;
        if (item->IsFinished()) {
            PassFinishedItem(list, item);
        } else {
            int32_t result = StepItem(list, item, wait, &waiting);
            if (result != 0)
                return result;
        }
        list->StepHook();
        if (list->cancel)
            return EndCancelledRun(list);
        if (waiting)
            Sleep(list->waitPauseMs > 0 ? DWORD(list->waitPauseMs) : 0);
    }
    return 0;
}

float SetupListProgress(const clWinSetupList* list)
{
    if (!list)
        return 0.0f;
    int64_t target = 0, current = 0;
    for (clDorqObject* node = list->First(); node; node = node->next) {
        target += ItemOf(node)->targetStep;
        current += ItemOf(node)->currentStep;
    }
    if (target == 0)
        return 0.0f;
    return float(static_cast<long double>(current) * 100.0L / static_cast<long double>(target));
}

clSetupItem* FindSameSetupItem(clWinSetupList* list, const clSetupItem* item)
{
    if (!list || !item)
        return nullptr;
    for (clDorqObject* node = list->First(); node; node = node->next)
        if (ItemOf(node)->IsSame(item))
            return ItemOf(node);
    return nullptr;
}

void AddSetupItem(clWinSetupList* list, clSetupItem* item)
{
    if (!item)
        return;
    if (!list || FindSameSetupItem(list, item)) {
        delete item;
        return;
    }
    list->Append(item);
    item->owner = list;
}

int32_t AddNewSetupItem(clWinSetupList* list, clSetupItem* item)
{
    if (!item)
        return SETUP_ERR_NO_MEMORY;
    AddSetupItem(list, item);
    return 0;
}
