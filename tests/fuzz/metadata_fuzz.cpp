// libFuzzer target: the load of a master's cache map from SSD metadata made
// of the fuzzer's bytes (header sector, bitmaps and slot table), over the
// emulated machine's RAM disks. Any verifier fault, SSD I/O outside the
// configured area, broken map or pool left behind aborts.
#include <emu/machine.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "tolvarn.h"
#include "bitmaps.h"
#include "entry.h"
#include "fuzzcheck.h"
#include "../driver/disks.h"
#include "metadata.h"

namespace {

const ULONGLONG MasterId = 0x1111, SsdId = 0x2222;
const ULONGLONG AreaStart = 64 * 1024, AreaEnd = 128 * 1024;
const ULONGLONG RegistryStamp = 0x5EED;
const ULONG SectorBytes = 512;

// Input byte 0: how the input is used.
const UCHAR RepairHeader = 0x01;  // write a header this driver accepts, for a block shift of bits 4-5
const UCHAR MatchStamp = 0x02;    // the repaired header carries the registry stamp
const UCHAR WriteBack = 0x04;     // the master's cache mode is 2
const UCHAR SaveAfter = 0x08;     // a loaded map is saved again

struct Rig {
    std::unique_ptr<emu::Machine> machine;
    emu::Disk* master = nullptr;
    emu::Disk* ssd = nullptr;
    ULONGLONG baseline = 0;

    Rig()
    {
        machine.reset(new emu::Machine());
        emu::DiskConfig m;
        m.model = "MASTERDISK";
        m.serial = "M1";
        m.lengthBytes = 1 << 20;
        master = &machine->AddDisk(m);
        emu::DiskConfig s;
        s.model = "SSDDISK";
        s.serial = "S1";
        s.lengthBytes = 256 * 1024;
        ssd = &machine->AddDisk(s);
        std::u16string key = machine->RegistryPath() + u"\\" + DiskKeyName(u"MASTERDISK", u"M1");
        emu::reg::SetQword(key, u"DorqBrimvaultId", MasterId);
        emu::reg::SetDword(key, u"ConfigType", 1);
        emu::reg::SetQword(key, u"TimeStamp", RegistryStamp);
        emu::reg::SetQword(key, u"SsdCacheDiskId", SsdId);
        key = machine->RegistryPath() + u"\\" + DiskKeyName(u"SSDDISK", u"S1");
        emu::reg::SetQword(key, u"DorqBrimvaultId", SsdId);
        emu::reg::SetDword(key, u"ConfigType", 2);
        emu::reg::SetQword(key, u"SsdCacheStart", AreaStart);
        emu::reg::SetQword(key, u"SsdCacheEnd", AreaEnd);
        emu::reg::SetQword(key, u"MasterDiskId", MasterId);
        if (machine->Boot(DriverEntry) != STATUS_SUCCESS)
            Fail("boot failed");
        baseline = PoolBytes;
    }
};

Rig& TheRig()
{
    static Rig* rig = new Rig();  // lives until the process ends
    return *rig;
}

void CheckIoInsideArea(emu::Disk& ssd)
{
    for (const emu::DiskRecord& r : ssd.Requests()) {
        if ((r.major == IRP_MJ_READ || r.major == IRP_MJ_WRITE) &&
            (r.offset < AreaStart || r.offset + r.length > AreaEnd))
            Fail("SSD I/O outside the area");
    }
}

void CheckMap(const CacheMap& map)
{
    ULONG used = 0;
    for (ULONG s = 0; s < map.Slots.SlotCount; s++) {
        MasterBlock block = map.Slots.Entries[s].Block;
        if (block == NoBlock)
            continue;
        used++;
        if (FromMasterBlock(block) >= map.Blocks.Count ||
            map.Blocks.Entries[FromMasterBlock(block)].Slot != ToSsdSlot((LONG)s))
            Fail("a used slot does not map its block");
    }
    if (used != map.Slots.BootSlots + map.Slots.OtherSlots)
        Fail("slot counts do not add up");
}

// Exercises what runs on a loaded map: lookups, the searches, eviction.
void UseMap(CacheMap* map)
{
    CountCachedSectors(map);
    SsdRun run;
    FindAnyDirtyRun(map, &run);
    FindIdleDestageRun(map, &run);
    for (ULONG block = 0; block < map->Blocks.Count; block += 7) {
        if (LookupSlot(map, ToMasterBlock(block), AfterBoot) == NoSlot)
            AddHeat(map, ToMasterBlock(block), 8);
    }
    while (DrainLruHead(map, &run) && run.Sectors == 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    Rig& rig = TheRig();
    emu::FaultCatcher catcher;
    FilterExtension* master = FilterExtensionOf(rig.master->Top());
    FilterExtension* ssd = FilterExtensionOf(rig.ssd->Top());
    UCHAR flags = data[0];
    data++, size--;

    // The area gets the input's bytes: the header sector first, then the
    // metadata at the end of the area (the slot table last).
    std::vector<UCHAR> header(SectorBytes, 0);
    memcpy(header.data(), data, size < SectorBytes ? size : SectorBytes);
    size_t rest = size > SectorBytes ? size - SectorBytes : 0;
    std::vector<UCHAR> tail(AreaEnd - AreaStart - 4096, 0);
    if (rest > tail.size())
        rest = tail.size();
    memcpy(tail.data() + tail.size() - rest, data + SectorBytes, rest);
    if (flags & RepairHeader) {
        CacheGeometry g = {};
        g.BlockShift = 12 + ((flags >> 4) & 3);
        if (ComputeSsdLayout(&g, &ssd->Area, ssd->SectorShift) != STATUS_SUCCESS)
            Fail("the rig's layout is refused");
        EncodeMetadataHeader(header.data(), ServiceName, &ssd->Area, &g,
                             (flags & MatchStamp) ? RegistryStamp : 1);
    }
    rig.ssd->WriteBytes(AreaStart, header.data(), header.size());
    rig.ssd->WriteBytes(AreaStart + 4096, tail.data(), tail.size());

    master->Master.SsdCacheMode = (flags & WriteBack) ? CacheModeWriteBack : 1;
    rig.ssd->ClearRequests();
    if (LoadMetadata(rig.master->Top())) {
        CacheMap* map = &master->Cache.Map;
        if (map->SsdDevice) {
            CheckMap(*map);
            UseMap(map);
            CheckMap(*map);
            if (flags & SaveAfter) {
                master->Cache.Persist = 1;
                if (SaveMetadata(rig.master->Top()) != STATUS_SUCCESS)
                    Fail("the save of a loaded map failed");
            }
        }
    }
    CheckIoInsideArea(*rig.ssd);
    FreeCacheMap(&master->Cache);
    if (PoolBytes != rig.baseline)
        Fail("map memory left behind");
    if (!catcher.Records().empty())
        Fail(catcher.Records()[0].message.c_str());
    return 0;
}
