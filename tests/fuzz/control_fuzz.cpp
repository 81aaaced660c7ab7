// libFuzzer target: the control device's requests. One emulated machine with
// a master and its SSD (ids, roles, area and pairing in the registry) is
// booted once; each input is a run of requests whose code (one of the 22 or
// an unknown one), input and output lengths and record bytes come from the
// fuzzer, sent through an open handle. Aborts on any verifier fault, on a
// failure that reports information or a status outside the control
// interface's, on information beyond the output buffer, and when a read of
// the master no longer succeeds afterwards.
//
// A run that changed the configuration (any request other than a query
// succeeded) is followed by a reboot from the registry as it was at the
// start, so every input begins from the same machine.
#include <emu/machine.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "tolvarn.h"
#include "entry.h"
#include "fuzzcheck.h"
#include "../driver/disks.h"

namespace {

const ULONGLONG MasterId = 0x1111, SsdId = 0x2222;
const ULONGLONG AreaStart = 64 * 1024, AreaEnd = 512 * 1024;
const ULONG MaxRecord = 600;

// The control requests: function number, record size, whether the record
// comes back, whether a success leaves the configuration unchanged.
struct Request {
    ULONG function;
    ULONG size;
    bool returnsData;
    bool query;
};

const Request Requests[] = {
    {0x800, 16, true, true},   {0x801, 16, true, true},   {0x810, 60, true, true},
    {0x811, 20, true, true},   {0x812, 20, false, false}, {0x813, 16, false, false},
    {0x814, 17, true, true},   {0x815, 17, false, false}, {0x816, 16, false, false},
    {0x817, 524, true, true},  {0x820, 26, true, true},   {0x821, 16, false, false},
    {0x822, 25, true, true},   {0x823, 48, true, true},   {0x824, 18, false, false},
    {0x825, 25, false, false}, {0x826, 16, false, false}, {0x830, 40, true, true},
    {0x831, 32, false, false}, {0x832, 16, false, false}, {0x833, 25, false, false},
    {0x834, 16, false, false},
};
const ULONG RequestCount = sizeof(Requests) / sizeof(Requests[0]);

ULONG ControlCode(ULONG function)
{
    return 0x220000 + (function << 2);
}

// Reads the input as a stream; past its end every byte is 0.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    bool More() const { return at < size; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    ULONGLONG Qword()
    {
        ULONGLONG v = 0;
        for (int i = 0; i < 8; i++)
            v |= (ULONGLONG)Byte() << (8 * i);
        return v;
    }
};

// A record length from two bits: the record's size, one byte less or more,
// none, or any length up to MaxRecord.
ULONG PickLength(ULONG mode, ULONG size, Input& in)
{
    switch (mode & 3) {
    case 0: return size;
    case 1: return (in.Byte() & 1) ? size + 1 : size - 1;
    case 2: return 0;
    default: return ((ULONG)in.Byte() << 8 | in.Byte()) % (MaxRecord + 1);
    }
}

// Input byte 1 of a request: its shape.
const UCHAR InLengthBits = 0x03;
const UCHAR OutLengthBits = 0x0C;
const UCHAR GoodHeader = 0x10;  // offsets 0 and 4 get the record's size and version 203
const UCHAR KnownIds = 0x20;    // the u64 ids at 8 and 16 name the rig's disks
const UCHAR UnknownCode = 0x40;  // a function number outside the table

ULONGLONG PickId(Input& in)
{
    switch (in.Byte() & 3) {
    case 0: return MasterId;
    case 1: return SsdId;
    case 2: return 0;
    default: return in.Qword();
    }
}

struct Rig {
    std::unique_ptr<emu::Machine> machine;
    emu::Disk* master = nullptr;
    emu::Disk* ssd = nullptr;
    emu::Client client;

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
        s.lengthBytes = 1 << 20;
        ssd = &machine->AddDisk(s);
        WriteConfig();
        if (machine->Boot(DriverEntry) != STATUS_SUCCESS)
            Fail("boot failed");
        Open();
    }

    std::u16string MasterKey() const { return machine->RegistryPath() + u"\\" + DiskKeyName(u"MASTERDISK", u"M1"); }
    std::u16string SsdKey() const { return machine->RegistryPath() + u"\\" + DiskKeyName(u"SSDDISK", u"S1"); }

    // The configuration every input starts from: a paired master not set to
    // start, and its SSD with an area.
    void WriteConfig()
    {
        emu::reg::DeleteTree(MasterKey());
        emu::reg::DeleteTree(SsdKey());
        std::u16string key = MasterKey();
        emu::reg::SetQword(key, u"DorqBrimvaultId", MasterId);
        emu::reg::SetDword(key, u"ConfigType", 1);
        emu::reg::SetQword(key, u"SsdCacheDiskId", SsdId);
        emu::reg::SetDword(key, u"SsdCacheMode", 2);
        key = SsdKey();
        emu::reg::SetQword(key, u"DorqBrimvaultId", SsdId);
        emu::reg::SetDword(key, u"ConfigType", 2);
        emu::reg::SetQword(key, u"SsdCacheStart", AreaStart);
        emu::reg::SetQword(key, u"SsdCacheEnd", AreaEnd);
        emu::reg::SetQword(key, u"MasterDiskId", MasterId);
    }

    void Open()
    {
        if (machine->Open(u"\\\\.\\Tolvarn", &client) != STATUS_SUCCESS)
            Fail("the control device does not open");
    }

    void Restore()
    {
        client.Close();
        WriteConfig();
        if (machine->Reboot() != STATUS_SUCCESS || machine->AddAndStartAll() != STATUS_SUCCESS)
            Fail("reboot failed");
        machine->EndBootPhase();
        machine->WaitUntilQuiet();
        Open();
    }
};

Rig& TheRig()
{
    static Rig* rig = new Rig();  // lives until the process ends
    return *rig;
}

bool ControlStatus(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_INVALID_BUFFER_SIZE || status == STATUS_INVALID_PARAMETER ||
           status == STATUS_INVALID_DEVICE_REQUEST || status == STATUS_NOT_IMPLEMENTED ||
           status == STATUS_INSUFFICIENT_RESOURCES;
}

// Sends one request made from the input; true when it changed the configuration.
bool SendOne(Rig& rig, Input& in)
{
    const Request& known = Requests[in.Byte() % RequestCount];
    UCHAR shape = in.Byte();
    ULONG code = ControlCode(known.function);
    if (shape & UnknownCode)
        code = ControlCode((ULONG)in.Byte() << 4 | (in.Byte() & 0xF));
    ULONG inLength = PickLength(shape, known.size, in);
    ULONG outLength = PickLength(shape >> 2, known.size, in);
    if (!known.returnsData && (shape & OutLengthBits) == 0)
        outLength = 0;
    std::vector<uint8_t> record(MaxRecord + 1, 0);
    for (ULONG i = 0; i < known.size && in.More(); i++)
        record[i] = in.Byte();
    if (shape & GoodHeader) {
        ULONG header[2] = {known.size, 203};
        memcpy(record.data(), header, sizeof(header));
    }
    if (shape & KnownIds) {
        ULONGLONG first = PickId(in), second = PickId(in);
        memcpy(record.data() + 8, &first, 8);
        memcpy(record.data() + 16, &second, 8);
    }
    std::vector<uint8_t> out(outLength + 1, 0xCD);
    ULONG returned = 0xFFFFFFFF;
    NTSTATUS status = rig.client.DeviceIoControl(code, inLength ? record.data() : nullptr, inLength,
                                                 outLength ? out.data() : nullptr, outLength, &returned);
    if (!ControlStatus(status)) {
        fprintf(stderr, "code 0x%lx: status 0x%lx\n", (unsigned long)code, (unsigned long)status);
        Fail("a status outside the control interface's");
    }
    if (!NT_SUCCESS(status) && returned != 0)
        Fail("a failure reports information");
    if (NT_SUCCESS(status) && returned > outLength)
        Fail("information beyond the output buffer");
    if (out[outLength] != 0xCD)
        Fail("bytes written past the output buffer");
    return NT_SUCCESS(status) && !known.query;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Rig& rig = TheRig();
    emu::FaultCatcher catcher;
    Input in{data, size};
    bool changed = false;
    for (int n = 0; n < 16 && in.More(); n++)
        changed |= SendOne(rig, in);
    rig.machine->WaitUntilQuiet();
    std::vector<uint8_t> sector(512);
    if (rig.machine->Read(*rig.master, 0, sector.data(), 512).status != STATUS_SUCCESS)
        Fail("a read of the master fails after the requests");
    if (changed)
        rig.Restore();
    // The disks' request records would grow with every input.
    rig.master->ClearRequests();
    rig.ssd->ClearRequests();
    if (!catcher.Records().empty())
        Fail(catcher.Records()[0].message.c_str());
    return 0;
}
