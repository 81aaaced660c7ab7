// The setup list's run loop, progress figure and duplicate rule over scripted items.
#include "engine/winsetuplist.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

// An item that plays a script, one word per step: "+n" moves the current step on by n,
// "w" waits (returns 0 and stays), "W" waits for ever, "eN" fails with N. When the script
// runs out the item moves on by one.
class ScriptedItem : public clSetupItem {
public:
    ScriptedItem(char name, int32_t target, const std::string& script, std::string* log, char key = 0)
        : name_(name), key_(key), log_(log)
    {
        typeCode = 99;
        targetStep = target;
        std::istringstream words(script);
        std::string word;
        while (words >> word)
            script_.push_back(word);
    }

    // Items with the same non-zero key are duplicates.
    bool IsSame(const clSetupItem* other) const override
    {
        return other && other->typeCode == typeCode && key_ != 0 &&
               static_cast<const ScriptedItem*>(other)->key_ == key_;
    }

    int32_t ExecuteStep() override
    {
        std::string word = next_ < script_.size() ? script_[next_] : "+1";
        if (word != "W")
            next_++;
        *log_ += name_;
        if (word[0] == 'e') {
            *log_ += "!";
            return std::stoi(word.substr(1));
        }
        if (word == "w" || word == "W")
            return 0;
        currentStep += std::stoi(word.substr(1));
        return 0;
    }

private:
    char name_;
    char key_;
    std::string* log_;
    std::vector<std::string> script_;
    size_t next_ = 0;
};

// A list whose hook records the progress and can press Cancel at a given hook call.
class RecordingList : public clWinSetupList {
public:
    void StepHook() override
    {
        hooks++;
        progress.push_back(SetupListProgress(this));
        if (hooks == cancelAtHook)
            cancel = 1;
    }

    int hooks = 0;
    int cancelAtHook = 0;
    std::vector<float> progress;
};

struct ItemSpec {
    int32_t target;
    const char* script;
    uint8_t reboot;
    int32_t startStep;
    char key = 0;  // items with the same key are duplicates
};

struct RunCase {
    const char* what;
    std::vector<ItemSpec> items;
    int cancelAtHook;
    uint8_t continueOnError;
    int32_t result;
    const char* steps;  // the items stepped, in order; "!" marks a failing step
    int hooks;
    uint8_t reboot;
    std::vector<int32_t> finalSteps;  // of the items kept in the list
};

void ExpectProgressRises(const std::vector<float>& progress, bool complete, const char* what)
{
    for (size_t i = 1; i < progress.size(); i++)
        EXPECT_GE(progress[i], progress[i - 1]) << what << " at hook " << i;
    if (complete && !progress.empty())
        EXPECT_FLOAT_EQ(progress.back(), 100.0f) << what;
}

class DestructionCounter : public clSetupItem {
public:
    DestructionCounter(int32_t type, const std::string& itemKey, int* deleted)
        : key(itemKey), deleted_(deleted)
    {
        typeCode = type;
        targetStep = 1;
    }
    ~DestructionCounter() override { (*deleted_)++; }
    bool IsSame(const clSetupItem* other) const override
    {
        return other && other->typeCode == typeCode &&
               static_cast<const DestructionCounter*>(other)->key == key;
    }

    std::string key;

private:
    int* deleted_;
};

}  // namespace

TEST(RunSetupList, RunsTheItemsOneStepAtATime)
{
    // clang-format off
    const RunCase cases[] = {
        {"an empty list", {}, 0, 0, 0, "", 0, 0, {}},
        {"finished items and one without steps are only passed over", {{1, "", 0, 1}, {20, "", 1, 20}, {0, "e1", 0, 0}}, 0, 0, 0, "", 3, 1, {1, 20, 0}},
        {"every step moves on by one: targets plus items hook calls", {{1, "", 0, 0}, {3, "", 0, 0}, {2, "", 0, 0}}, 0, 0, 0, "ABBBCC", 9, 0, {1, 3, 2}},
        {"a step that jumps to the end", {{20, "+20", 0, 0}, {1, "", 0, 0}}, 0, 0, 0, "AB", 4, 0, {20, 1}},
        {"the reboot flags of finished items are gathered", {{1, "", 1, 0}, {1, "", 0, 0}}, 0, 0, 0, "AB", 4, 1, {1, 1}},
        {"the first failure ends the run at once, later items untouched", {{1, "", 0, 0}, {3, "+1 e5", 1, 0}, {1, "", 1, 0}}, 0, 0, 5, "ABB!", 3, 0, {1, 1, 0}},
        {"a failure at the very first step", {{2, "e1053", 0, 0}}, 0, 0, 1053, "A!", 0, 0, {0}},
        {"an item equal to one already in the list is dropped and never runs", {{1, "", 0, 0, 'k'}, {5, "e3", 1, 0, 'k'}, {2, "", 0, 0, 'm'}}, 0, 0, 0, "ACC", 5, 0, {1, 2}},
        {"a waiting step is repeated after the hook", {{1, "w w +1", 0, 0}, {1, "", 0, 0}}, 0, 0, 0, "AAAB", 6, 0, {1, 1}},
        {"continue-on-error marks a failing item done and keeps its reboot flag", {{3, "+1 e9", 1, 0}, {1, "", 0, 0}}, 0, 1, 0, "AA!B", 5, 1, {3, 1}},
        {"cancel after the first step", {{2, "", 0, 0}, {1, "", 0, 0}}, 1, 0, SETUP_ERR_CANCELLED, "A", 1, 0, {1, 0}},
        {"cancel while an item waits", {{2, "W", 0, 0}}, 3, 0, SETUP_ERR_CANCELLED, "AAA", 3, 0, {0}},
        {"cancel when the first item has finished", {{2, "", 1, 0}, {1, "", 0, 0}}, 2, 0, SETUP_ERR_CANCELLED, "AA", 2, 0, {2, 0}},
        {"cancel after passing the first item", {{2, "", 1, 0}, {1, "", 0, 0}}, 3, 0, SETUP_ERR_CANCELLED, "AA", 3, 1, {2, 0}},
        {"cancel after the last step still completes the run", {{2, "", 0, 0}, {1, "", 1, 0}}, 4, 0, 0, "AAB", 4, 1, {2, 1}},
        {"cancel after passing the last item still completes the run", {{2, "", 0, 0}, {1, "", 1, 0}}, 5, 0, 0, "AAB", 5, 1, {2, 1}},
    };
    // clang-format on
    for (const RunCase& c : cases) {
        std::string log;
        RecordingList list;
        EXPECT_EQ(list.cancel, 1) << "a new list stands cancelled until it is run";
        list.cancelAtHook = c.cancelAtHook;
        list.continueOnError = c.continueOnError;
        std::vector<ScriptedItem*> items;
        char name = 'A';
        for (const ItemSpec& spec : c.items) {
            ScriptedItem* item = new ScriptedItem(name++, spec.target, spec.script, &log, spec.key);
            item->reboot = spec.reboot;
            item->currentStep = spec.startStep;
            AddSetupItem(&list, item);
            if (list.Last() == item)  // else it was a duplicate and is gone
                items.push_back(item);
        }
        list.waitPauseMs = 1;
        EXPECT_EQ(RunSetupList(&list), c.result) << c.what;
        EXPECT_EQ(log, c.steps) << c.what;
        EXPECT_EQ(list.hooks, c.hooks) << c.what;
        EXPECT_EQ(list.reboot, c.reboot) << c.what;
        EXPECT_EQ(items.size(), c.finalSteps.size()) << c.what;
        for (size_t i = 0; i < items.size() && i < c.finalSteps.size(); i++)
            EXPECT_EQ(items[i]->currentStep, c.finalSteps[i]) << c.what << ", item " << i;
        ExpectProgressRises(list.progress, c.result == 0 && c.hooks > 0, c.what);
        if (c.result == 0)
            EXPECT_EQ(list.currentItem, nullptr) << c.what;
    }
}

TEST(RunSetupList, AWaitingItemPausesAndGivesUpAtItsLimit)
{
    std::string log;
    RecordingList list;
    ScriptedItem* item = new ScriptedItem('A', 2, "+1 W", &log);
    item->waitLimitMs = 300;
    item->waitError = ERROR_SERVICE_REQUEST_TIMEOUT;
    AddSetupItem(&list, item);
    list.waitPauseMs = 50;

    DWORD start = GetTickCount();
    EXPECT_EQ(RunSetupList(&list), ERROR_SERVICE_REQUEST_TIMEOUT);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 280u);
    EXPECT_LT(elapsed, 3000u);
    // About one pass per pause: no busy loop.
    EXPECT_GE(list.hooks, 4);
    EXPECT_LE(list.hooks, 12);
    EXPECT_EQ(item->currentStep, 1) << "the failing item keeps its step";
}

TEST(RunSetupList, PausesOnlyWhenAnItemWaits)
{
    std::string log;
    RecordingList list;
    for (char name = 'A'; name < 'A' + 20; name++)
        AddSetupItem(&list, new ScriptedItem(name, 3, "", &log));
    list.waitPauseMs = 500;
    DWORD start = GetTickCount();
    EXPECT_EQ(RunSetupList(&list), 0);
    EXPECT_LT(GetTickCount() - start, 500u);
    EXPECT_EQ(list.hooks, 20 * 3 + 20);
}

namespace {

clWinSetupList* listToCancel = nullptr;
int messagesSeen = 0;

// Stands for the wizard's Cancel button: a posted message whose handler sets the flag.
LRESULT CALLBACK CancelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP) {
        messagesSeen++;
        if (listToCancel)
            listToCancel->cancel = 1;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

TEST(RunSetupList, TheBaseHookDispatchesPendingMessages)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = CancelWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "SetupListCancelTest";
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    HWND window = CreateWindowA("SetupListCancelTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);

    std::string log;
    clWinSetupList list;
    AddSetupItem(&list, new ScriptedItem('A', 3, "", &log));
    listToCancel = &list;
    messagesSeen = 0;
    PostMessageA(window, WM_APP, 0, 0);
    EXPECT_EQ(RunSetupList(&list), SETUP_ERR_CANCELLED);
    EXPECT_EQ(messagesSeen, 1);
    EXPECT_EQ(log, "A") << "the cancel is seen right after the step in which it came";

    listToCancel = nullptr;
    DestroyWindow(window);
    UnregisterClassA("SetupListCancelTest", windowClass.hInstance);
}

TEST(RunSetupList, RefusesNoList)
{
    EXPECT_EQ(RunSetupList(nullptr), SETUP_ERR_UNKNOWN_STEP);
    EXPECT_EQ(SetupListProgress(nullptr), 0.0f);
    EXPECT_EQ(FindSameSetupItem(nullptr, nullptr), nullptr);
}

TEST(SetupListProgress, RelatesCurrentToTargetSteps)
{
    struct Case {
        const char* what;
        std::vector<std::pair<int32_t, int32_t>> items;  // current, target
        float percent;
    };
    const Case cases[] = {
        {"no items", {}, 0.0f},
        {"targets summing to 0", {{0, 0}, {0, 0}}, 0.0f},
        {"nothing run", {{0, 20}, {0, 44}}, 0.0f},
        {"a stop-application item that found no program", {{20, 20}, {0, 44}}, 31.25f},
        {"one of three", {{1, 3}}, 33.333332f},
        {"finished", {{20, 20}, {1, 1}, {11, 11}}, 100.0f},
    };
    for (const Case& c : cases) {
        clWinSetupList list;
        for (const auto& [current, target] : c.items) {
            clSetupItem* item = new clSetupItem;
            item->currentStep = current;
            item->targetStep = target;
            list.Append(item);
            item->owner = &list;
        }
        EXPECT_FLOAT_EQ(SetupListProgress(&list), c.percent) << c.what;
    }
}

TEST(AddSetupItem, KeepsOneItemPerTypeAndKey)
{
    int deleted = 0;
    {
        clWinSetupList list;
        DestructionCounter* first = new DestructionCounter(5, "C:\\Menu\\JYX Brimvault", &deleted);
        EXPECT_EQ(AddNewSetupItem(&list, first), 0);
        EXPECT_EQ(first->owner, &list);

        struct Case {
            const char* what;
            int32_t type;
            const char* key;
            bool kept;
        };
        const Case cases[] = {
            {"same type and key", 5, "C:\\Menu\\JYX Brimvault", false},
            {"a key differing only in case", 5, "C:\\menu\\JYX Brimvault", true},
            {"the same key of another type", 4, "C:\\Menu\\JYX Brimvault", true},
            {"a longer key", 5, "C:\\Menu\\JYX Brimvault ", true},
        };
        for (const Case& c : cases) {
            int before = list.Count();
            int deletedBefore = deleted;
            DestructionCounter* item = new DestructionCounter(c.type, c.key, &deleted);
            item->targetStep = 7;  // other fields do not matter
            EXPECT_EQ(AddNewSetupItem(&list, item), 0) << c.what;
            EXPECT_EQ(list.Count(), before + (c.kept ? 1 : 0)) << c.what;
            EXPECT_EQ(deleted, deletedBefore + (c.kept ? 0 : 1)) << c.what;
            if (c.kept)
                EXPECT_EQ(list.Last(), item) << c.what;
        }
        EXPECT_EQ(list.First(), first);
        EXPECT_EQ(first->targetStep, 1) << "the first item stays as it was";

        DestructionCounter probe(5, "C:\\menu\\JYX Brimvault", &deleted);
        EXPECT_EQ(FindSameSetupItem(&list, &probe), list.First()->next);
        EXPECT_EQ(FindSameSetupItem(&list, nullptr), nullptr);

        // A factory whose allocation failed hands over null: nothing is added.
        int count = list.Count();
        EXPECT_EQ(AddNewSetupItem(&list, nullptr), SETUP_ERR_NO_MEMORY);
        AddSetupItem(&list, nullptr);
        EXPECT_EQ(list.Count(), count);
        deleted = 0;
    }
    EXPECT_EQ(deleted, 4 + 1) << "the list deletes its items (and the probe went out of scope)";
}

TEST(SetupItem, BaseItemHasNoStepsAndNoDuplicates)
{
    clSetupItem item;
    EXPECT_EQ(item.ExecuteStep(), SETUP_ERR_UNKNOWN_STEP);
    EXPECT_FALSE(item.IsSame(&item));
    EXPECT_TRUE(item.IsFinished());
    item.targetStep = 5;
    EXPECT_FALSE(item.IsFinished());
    item.MarkDone();
    EXPECT_EQ(item.currentStep, 5);
}
