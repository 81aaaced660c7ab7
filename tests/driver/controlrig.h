// A booted machine with three disks and a client of the control device, for
// the control interface's tests: a master (512-byte sectors), an SSD
// (512-byte sectors) and a spare disk with 4096-byte sectors, numbered 0, 1
// and 2, none with an id yet.
#pragma once

#include <gtest/gtest.h>

#include <emu/machine.h>

#include <stdio.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "controlclient.h"
#include "controlrecords.h"
#include "disks.h"
#include "entry.h"

namespace control_test {

using control_client::ControlClient;
namespace reg = emu::reg;

const ULONGLONG MasterId = 0x1122334455667788ull;
const ULONGLONG SsdId = 0x99AABBCCDDEEFF01ull;
const ULONGLONG SpareId = 0x0102030405060708ull;
const ULONG MasterNumber = 0, SsdNumber = 1, SpareNumber = 2;
const uint64_t MasterBytes = 1ull << 30;
const uint64_t SsdBytes = 256ull << 20;
const uint64_t SpareBytes = 64ull << 20;

// "00 11 22" or "001122": bytes from hex, blanks ignored.
inline std::vector<uint8_t> Hex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (c != ' ')
            digits += c;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back((uint8_t)std::stoul(digits.substr(i, 2), nullptr, 16));
    return bytes;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i++) {
        if (i)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

struct DiskSpec {
    const char* model;
    const char* serial;
    uint64_t bytes;
    ULONG sectorSize;
    ULONG writeMicroseconds = 0;  // real time each write takes on the disk (0: completed at once)
};

const DiskSpec MasterSpec = {"CTLMASTER", "M1", MasterBytes, 512};
const DiskSpec SsdSpec = {"CTLSSD", "S1", SsdBytes, 512};
const DiskSpec SpareSpec = {"CTLSPARE", "X1", SpareBytes, 4096};

class ControlRig {
public:
    explicit ControlRig(std::vector<DiskSpec> specs = {MasterSpec, SsdSpec, SpareSpec})
        : specs_(specs)
    {
        for (const DiskSpec& spec : specs_) {
            emu::DiskConfig config;
            config.model = spec.model;
            config.serial = spec.serial;
            config.lengthBytes = spec.bytes;
            config.sectorSize = spec.sectorSize;
            if (spec.writeMicroseconds) {
                config.completion = emu::CompletionMode::Fifo;
                config.timing.writeMicroseconds = spec.writeMicroseconds;
            }
            disks_.push_back(&machine.AddDisk(config));
        }
    }

    // Boots (again, after a reboot) and opens a new client.
    void Boot(bool reboot = false)
    {
        client_.reset();
        if (reboot) {
            ASSERT_EQ(STATUS_SUCCESS, machine.Reboot());
            ASSERT_EQ(STATUS_SUCCESS, machine.AddAndStartAll());
            machine.EndBootPhase();
        } else {
            ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
        }
        client_.reset(new ControlClient(machine));
        ASSERT_EQ(STATUS_SUCCESS, client_->OpenStatus());
    }

    ControlClient& client() { return *client_; }
    emu::Disk& disk(size_t i) { return *disks_[i]; }
    size_t DiskCount() const { return disks_.size(); }
    emu::Disk& master() { return disk(0); }
    emu::Disk& ssd() { return disk(1); }
    emu::Disk& spare() { return disk(2); }
    FilterExtension* ext(size_t i) { return FilterExtensionOf(disk(i).Top()); }

    std::u16string KeyPath(size_t i)
    {
        std::string model = specs_[i].model, serial = specs_[i].serial;
        return machine.RegistryPath() + u"\\" +
               DiskKeyName(std::u16string(model.begin(), model.end()), std::u16string(serial.begin(), serial.end()));
    }
    std::optional<ULONG64> Qword(size_t i, std::u16string_view name) { return reg::GetQword(KeyPath(i), name); }
    std::optional<ULONG> Dword(size_t i, std::u16string_view name) { return reg::GetDword(KeyPath(i), name); }

    // Ids, roles, an SSD area of [1 MiB, 65 MiB) and the pairing in write-back mode.
    void ConfigurePair(UCHAR mode = 2)
    {
        ASSERT_EQ(STATUS_SUCCESS,
                  client().Configure(MasterNumber, MasterId, SsdNumber, SsdId, 1ull << 20, 65ull << 20, mode));
    }

    emu::Machine machine;

private:
    std::vector<DiskSpec> specs_;
    std::vector<emu::Disk*> disks_;
    std::unique_ptr<ControlClient> client_;
};

inline std::string Describe(const FilterExtension* e)
{
    char text[400];
    snprintf(text, sizeof text,
             "id %llx role %u stamp %llx start %u ssd %llx mode %u boot %u write %u area %llx-%llx master %llx "
             "active %u stop %u persist %u idle %u shift %u",
             (unsigned long long)e->DiskId, e->Role, (unsigned long long)e->TimeStamp, e->Master.MasterStart,
             (unsigned long long)e->Master.SsdCacheDiskId, e->Master.SsdCacheMode, e->Master.SsdCacheMinBoot,
             e->Master.SsdCacheWriteMode, (unsigned long long)e->Area.SsdCacheStart,
             (unsigned long long)e->Area.SsdCacheEnd, (unsigned long long)e->Area.MasterDiskId, e->Cache.Active,
             e->Cache.StopRequested, e->Cache.Persist, e->Cache.IdleWriteBack, e->Cache.StartBlockShift);
    return text;
}

// What the requests could change, of every disk.
inline std::vector<std::string> Snapshot(ControlRig& rig)
{
    std::vector<std::string> disks;
    for (size_t i = 0; i < rig.DiskCount(); i++)
        disks.push_back(Describe(rig.ext(i)));
    return disks;
}

}  // namespace control_test
