// The resumable setup item: one action of an installation, done one step at a time.
#pragma once

#include "foundation/dorqobject.h"

#include <stdint.h>

// Result codes of the engine besides 0 (success), Win32 error codes and HRESULTs.
enum : int32_t {
    SETUP_ERR_UNKNOWN_STEP = 20001,  // a step outside the item's state table
    SETUP_ERR_NO_MEMORY = 20002,     // an item could not be allocated
    SETUP_ERR_CANCELLED = 20003,     // the user cancelled the run
    SETUP_ERR_APP_RUNNING = 20004,   // a running program did not close
};

// Type codes: items of one code with equal keys are duplicates of each other.
enum : int32_t {
    SETUP_TYPE_STOP_APP = 1,
    SETUP_TYPE_COPY_FILE = 4,
    SETUP_TYPE_SHORTCUT = 5,
    SETUP_TYPE_IMAGE = 6,
    SETUP_TYPE_REG_UNINSTALL = 8,
    SETUP_TYPE_REG_START_RUN = 9,
    SETUP_TYPE_INSTALL_SERVICE = 10,
    SETUP_TYPE_UNINSTALL_SERVICE = 11,
};

// The longest an item may wait in one step (ExecuteStep returning 0 without moving on)
// before the run ends with its wait error.
enum : int32_t { SETUP_DEFAULT_WAIT_LIMIT_MS = 60000 };

class clSetupItem : public clDorqObject {
public:
    clSetupItem();
    ~clSetupItem() override;

    // Whether other is a duplicate of this item; actions compare their type code and key.
    virtual bool IsSame(const clSetupItem* other) const;
    // Does one step: 0, or the error that ends the run.
    virtual int32_t ExecuteStep();

    void MarkDone() { currentStep = targetStep; }
    bool IsFinished() const { return currentStep >= targetStep; }

    int32_t typeCode = 0;
    int32_t targetStep = 0;
    int32_t currentStep = 0;
    uint8_t reboot = 0;  // the item's work needs a restart of Windows
    // A waiting step is retried with a short pause; after waitLimitMs of waiting in one
    // step the run ends with waitError. An action may set both before it returns.
    int32_t waitLimitMs = SETUP_DEFAULT_WAIT_LIMIT_MS;
    int32_t waitError = 258;  // WAIT_TIMEOUT: "The wait operation timed out."
};
