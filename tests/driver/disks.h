// Helpers shared by the driver's tests on simulated disks.
#pragma once

#include <emu/machine.h>

#include <string>

#include "tolvarn.h"

// The filter extension on top of a simulated disk's stack.
inline FilterExtension* Ext(emu::Disk& disk)
{
    return FilterExtensionOf(disk.Top());
}

// The key name the driver gives a disk whose model and serial hold no
// character it replaces: each padded with '_' to 40 and 20 characters.
inline std::u16string DiskKeyName(const std::u16string& model, const std::u16string& serial)
{
    return model + std::u16string(40 - model.size(), u'_') + serial +
           std::u16string(20 - serial.size(), u'_');
}
