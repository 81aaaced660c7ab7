// The control device's records byte for byte, and the checks every request
// makes before it touches anything: lengths, then the header, with no effect
// and no information on a failure; codes the driver does not serve.
#include <gtest/gtest.h>

#include <emu/machine.h>

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "controlrig.h"
#include "cachesetup.h"

using namespace control_test;

namespace {

// ---- Every record, byte for byte -----------------------------------------------------

// One request in a script: the bytes sent, the bytes expected back, and the
// effect it must have had. The rows run in order on one machine, each on the
// state the earlier ones left.
struct ByteCase {
    const char* name;
    ULONG code;
    std::string in;   // hex
    std::string out;  // hex of the whole answer; empty for a request that returns nothing
    std::function<void(ControlRig&)> before;
    std::function<void(ControlRig&)> after;
    bool statusOfStart = false;  // the status is the cache start's, whatever it is
};

const DiskStats KnownStats = {0x11,
                              0x22,
                              0x33,
                              0x44,
                              0x0102030405060708ull,
                              0x1112131415161718ull,
                              0x2122232425262728ull,
                              0x3132333435363738ull};

std::string Zeros(size_t bytes)
{
    return std::string(bytes * 2, '0');
}

// Identify data the spare disk answers with: a pattern in which every byte
// differs from its neighbours.
std::vector<uint8_t> SpareIdentify()
{
    std::vector<uint8_t> data(512);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 7 + 3);
    return data;
}

TEST(ControlRecords, EveryRequestByteForByte)
{
    ControlRig rig;
    rig.spare().SetIdentifyData(SpareIdentify().data());
    rig.Boot();
    ULONGLONG savedPool = 0;

    const ByteCase cases[] = {
        {"version", 0x222000, "", "10000000 cc000000 cb000000 01000000"},
        {"set master id", 0x222048, "14000000 cb000000 00000000 8877665544332211", "", nullptr,
         [](ControlRig& r) {
             EXPECT_EQ(MasterId, r.ext(0)->DiskId);
             EXPECT_EQ(MasterId, r.Qword(0, u"DorqBrimvaultId"));
         }},
        {"set SSD id", 0x222048, "14000000 cb000000 01000000 01ffeeddccbbaa99", "", nullptr,
         [](ControlRig& r) { EXPECT_EQ(SsdId, r.ext(1)->DiskId); }},
        {"get SSD id", 0x222044, "14000000 cb000000 01000000 0000000000000000",
         "14000000 cb000000 01000000 01ffeeddccbbaa99"},
        {"master role", 0x222054, "11000000 cb000000 8877665544332211 01", "", nullptr,
         [](ControlRig& r) {
             EXPECT_EQ(RoleMaster, r.ext(0)->Role);
             EXPECT_EQ(1u, r.Dword(0, u"ConfigType"));
         }},
        {"SSD role", 0x222054, "11000000 cb000000 01ffeeddccbbaa99 02", "", nullptr,
         [](ControlRig& r) { EXPECT_EQ(2u, r.Dword(1, u"ConfigType")); }},
        {"get role", 0x222050, "11000000 cb000000 01ffeeddccbbaa99 00", "11000000 cb000000 01ffeeddccbbaa99 02"},
        {"set area", 0x2220C4, "20000000 cb000000 01ffeeddccbbaa99 0000100000000000 0000100400000000", "", nullptr,
         [](ControlRig& r) {
             EXPECT_EQ(0x100000u, r.ext(1)->Area.SsdCacheStart);
             EXPECT_EQ(0x4100000u, r.ext(1)->Area.SsdCacheEnd);
             EXPECT_EQ(0x100000u, r.Qword(1, u"SsdCacheStart"));
             EXPECT_EQ(0x4100000u, r.Qword(1, u"SsdCacheEnd"));
         }},
        {"pair", 0x2220CC, "19000000 cb000000 8877665544332211 01ffeeddccbbaa99 02", "", nullptr,
         [](ControlRig& r) {
             EXPECT_EQ(SsdId, r.ext(0)->Master.SsdCacheDiskId);
             EXPECT_EQ(2, r.ext(0)->Master.SsdCacheMode);
             EXPECT_EQ(MasterId, r.ext(1)->Area.MasterDiskId);
             EXPECT_EQ(SsdId, r.Qword(0, u"SsdCacheDiskId"));
             EXPECT_EQ(2u, r.Dword(0, u"SsdCacheMode"));
             EXPECT_EQ(MasterId, r.Qword(1, u"MasterDiskId"));
         }},
        {"master config", 0x222080, "1a000000 cb000000 8877665544332211 00 0000000000000000 00",
         "1a000000 cb000000 8877665544332211 01 01ffeeddccbbaa99 02",
         [](ControlRig& r) { r.ext(0)->Master.MasterStart = 1; },
         [](ControlRig& r) { r.ext(0)->Master.MasterStart = 0; }},
        {"get area", 0x2220C0, "28000000 cb000000 01ffeeddccbbaa99" + Zeros(24),
         "28000000 cb000000 01ffeeddccbbaa99 0000100000000000 0000100400000000 8877665544332211"},
        {"options", 0x222090, "12000000 cb000000 8877665544332211 05 02", "", nullptr,
         [](ControlRig& r) {
             EXPECT_EQ(5u, r.ext(0)->Cache.Persist) << "widened, not limited to 0 and 1";
             EXPECT_EQ(2u, r.ext(0)->Cache.IdleWriteBack);
             r.ext(0)->Cache.Persist = 0;
             r.ext(0)->Cache.IdleWriteBack = 0;
         }},
        {"save stamp", 0x222058, "10000000 cb000000 8877665544332211", "",
         [](ControlRig& r) { r.ext(0)->TimeStamp = 0x01D9ABCDEF012345ull; },
         [](ControlRig& r) { EXPECT_EQ(0x01D9ABCDEF012345ull, r.Qword(0, u"TimeStamp")); }},
        {"disk stats", 0x222040, "3c000000 cb000000 00000000" + Zeros(48),
         "3c000000 cb000000 00000000 11000000 22000000 33000000 44000000"
         "0807060504030201 1817161514131211 2827262524232221 3837363534333231",
         [](ControlRig& r) { r.ext(0)->Stats = KnownStats; }},
        {"identify", 0x22205C, "0c020000 cb000000 02000000" + Zeros(512),
         "0c020000 cb000000 02000000" + ToHex(SpareIdentify())},
        {"pool usage", 0x222004, "10000000 cb000000 0000000000000000", "10000000 cb000000 0102030405060708",
         [&](ControlRig&) {
             savedPool = PoolBytes;
             PoolBytes = 0x0807060504030201ull;
         },
         [&](ControlRig&) { PoolBytes = savedPool; }},
        {"save master config", 0x222084, "10000000 cb000000 8877665544332211", "",
         [](ControlRig& r) {
             r.ext(0)->Master.MasterStart = 1;
             r.ext(0)->Master.SsdCacheMinBoot = 0x01020304;
             r.ext(0)->Master.SsdCacheWriteMode = 3;
         },
         [](ControlRig& r) {
             EXPECT_EQ(1u, r.Dword(0, u"MasterStart"));
             EXPECT_EQ(0x01020304u, r.Dword(0, u"SsdCacheMinBoot"));
             EXPECT_EQ(3u, r.Dword(0, u"SsdCacheWriteMode"));
             r.ext(0)->Master.MasterStart = 0;
         }},
        {"clear area", 0x2220C8, "10000000 cb000000 01ffeeddccbbaa99", "", nullptr,
         [](ControlRig& r) {
             EXPECT_EQ(0u, r.ext(1)->Area.SsdCacheStart);
             EXPECT_EQ(0u, r.ext(1)->Area.SsdCacheEnd);
             EXPECT_EQ(0u, r.Qword(1, u"SsdCacheStart"));
             EXPECT_EQ(0u, r.Qword(1, u"SsdCacheEnd"));
         }},
        {"unpair", 0x2220D0, "10000000 cb000000 8877665544332211", "", nullptr,
         [](ControlRig& r) {
             EXPECT_EQ(0u, r.ext(0)->Master.SsdCacheDiskId);
             EXPECT_EQ(0u, r.ext(1)->Area.MasterDiskId);
             EXPECT_EQ(0u, r.Qword(0, u"SsdCacheDiskId"));
             EXPECT_EQ(0u, r.Qword(1, u"MasterDiskId"));
         }},
        {"set spare id", 0x222048, "14000000 cb000000 02000000 0807060504030201", "", nullptr,
         [](ControlRig& r) { EXPECT_EQ(3u, reg::SubKeys(r.machine.RegistryPath()).size()); }},
        {"delete spare", 0x22204C, "10000000 cb000000 0807060504030201", "", nullptr,
         [](ControlRig& r) {
             EXPECT_EQ(0u, r.ext(2)->DiskId);
             EXPECT_EQ(2u, reg::SubKeys(r.machine.RegistryPath()).size()) << "the spare's key is gone";
         }},
        // The start of a master paired with an SSD that is not there: the
        // settings are stored whatever the start then answers.
        {"start", 0x222094, "19000000 cb000000 8877665544332211 0c000000 04030201 03", "",
         [](ControlRig& r) { r.ext(0)->Master.SsdCacheDiskId = 0x5555; },
         [](ControlRig& r) {
             EXPECT_EQ(12u, r.ext(0)->Cache.StartBlockShift);
             EXPECT_EQ(0x01020304u, r.ext(0)->Master.SsdCacheMinBoot);
             EXPECT_EQ(3, r.ext(0)->Master.SsdCacheWriteMode);
             EXPECT_EQ(1u, r.ext(0)->Master.MasterStart);
             r.ext(0)->Master.SsdCacheDiskId = 0;
         },
         true},
        {"state", 0x222088, "19000000 cb000000 8877665544332211" + Zeros(9),
         "19000000 cb000000 8877665544332211 01 00100000 03010000",
         [](ControlRig& r) {
             ASSERT_EQ(0u, r.ext(0)->Cache.Active);
             cache_test::CacheShape shape;
             shape.slots = 0x103;
             ASSERT_EQ(STATUS_SUCCESS, cache_test::ActivateCache(r.master(), r.ssd(), shape));
         }},
        // Two blocks read, so two slots in use and their sectors cached.
        {"usage", 0x22208C, "30000000 cb000000 8877665544332211" + Zeros(32),
         "30000000 cb000000 8877665544332211 0020000000000000 0030100000000000 0000000000000000 0020000000000000",
         [](ControlRig& r) {
             std::vector<uint8_t> buffer(8192);
             ASSERT_EQ(STATUS_SUCCESS, r.machine.Read(r.master(), 0, buffer.data(), 8192).status);
             r.machine.WaitUntilQuiet();
         }},
        {"stop", 0x222098, "10000000 cb000000 8877665544332211", "",
         [](ControlRig& r) { r.ext(0)->Master.MasterStart = 1; },
         [](ControlRig& r) { EXPECT_EQ(0u, r.ext(0)->Master.MasterStart); }},
    };

    for (const ByteCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.before)
            c.before(rig);
        std::vector<uint8_t> in = Hex(c.in);
        std::vector<uint8_t> expected = Hex(c.out);
        std::vector<uint8_t> out(expected.size(), 0xEE);
        NTSTATUS status = rig.client().Send(c.code, in.data(), (ULONG)in.size(), out.data(), (ULONG)out.size());
        if (!c.statusOfStart) {
            EXPECT_EQ(STATUS_SUCCESS, status);
        }
        EXPECT_EQ(NT_SUCCESS(status) ? expected.size() : 0u, rig.client().Returned());
        EXPECT_EQ(ToHex(expected), ToHex(out));
        if (c.after)
            c.after(rig);
    }
}

// ---- Lengths and header ---------------------------------------------------------------

struct RequestShape {
    const char* name;
    ULONG code;
    ULONG size;
    bool returnsData;
};

const RequestShape Shapes[] = {
    {"pool usage", 0x222004, 16, true},      {"disk stats", 0x222040, 60, true},
    {"get disk id", 0x222044, 20, true},     {"set disk id", 0x222048, 20, false},
    {"delete config", 0x22204C, 16, false},  {"get role", 0x222050, 17, true},
    {"set role", 0x222054, 17, false},       {"save stamp", 0x222058, 16, false},
    {"identify", 0x22205C, 524, true},       {"master config", 0x222080, 26, true},
    {"save master", 0x222084, 16, false},    {"state", 0x222088, 25, true},
    {"usage", 0x22208C, 48, true},           {"options", 0x222090, 18, false},
    {"start", 0x222094, 25, false},          {"stop", 0x222098, 16, false},
    {"get area", 0x2220C0, 40, true},        {"set area", 0x2220C4, 32, false},
    {"clear area", 0x2220C8, 16, false},     {"pair", 0x2220CC, 25, false},
    {"unpair", 0x2220D0, 16, false},
};

void PutU32(std::vector<uint8_t>& record, size_t offset, ULONG value)
{
    memcpy(&record[offset], &value, 4);
}

void PutU64(std::vector<uint8_t>& record, size_t offset, ULONGLONG value)
{
    memcpy(&record[offset], &value, 8);
}

// A record that, with a right length and header, would do its work on the
// configured pair: read, or change memory and the registry.
std::vector<uint8_t> WorkingRecord(const RequestShape& shape)
{
    std::vector<uint8_t> record(shape.size + 1, 0);  // one spare byte for the long cases
    PutU32(record, 0, shape.size);
    PutU32(record, 4, 203);
    switch (shape.code) {
    case 0x222040:
    case 0x222044:
    case 0x22205C: PutU32(record, 8, MasterNumber); break;
    case 0x222048:
        PutU32(record, 8, SpareNumber);
        PutU64(record, 12, SpareId);
        break;
    case 0x22204C: PutU64(record, 8, 0); break;  // the spare: the first disk without an id
    case 0x222054: PutU64(record, 8, MasterId); record[16] = 0; break;
    case 0x222090: PutU64(record, 8, MasterId); record[16] = 1; record[17] = 1; break;
    case 0x222094:
        PutU64(record, 8, MasterId);
        PutU32(record, 16, 12);
        PutU32(record, 20, 7);
        record[24] = 3;
        break;
    case 0x2220C0:
    case 0x2220C8: PutU64(record, 8, SsdId); break;
    case 0x2220C4:
        PutU64(record, 8, SsdId);
        PutU64(record, 16, 2ull << 20);
        PutU64(record, 24, 66ull << 20);
        break;
    case 0x2220CC: PutU64(record, 8, MasterId); PutU64(record, 16, SsdId); record[24] = 1; break;
    default: PutU64(record, 8, MasterId); break;
    }
    return record;
}

// Each malformed record fails with the status of the first check it breaks,
// answers nothing, and changes nothing in memory or the registry, although
// its body would have done its work. The bad lengths carry version 202 as
// well and the bad headers a body naming no disk, so that a check made out
// of order shows as the wrong status.
TEST(ControlRecords, EveryRequestChecksLengthsThenHeader)
{
    ControlRig rig;
    rig.Boot();
    rig.ConfigurePair();
    rig.ext(0)->TimeStamp = 0x1234;
    rig.ext(0)->Master.SsdCacheMinBoot = 99;
    const std::vector<std::string> before = Snapshot(rig);
    reg::ClearCounts();

    struct Variant {
        const char* name;
        int inDelta;       // input length relative to the record's size
        int outDelta;      // output length relative to the size (data-returning requests)
        ULONG outIfNoData; // output length of a request that returns nothing
        int sizeDelta;     // header size relative to the record's size
        ULONG version;
        bool garbageBody;
        NTSTATUS status;
    };
    const Variant variants[] = {
        {"input one short", -1, 0, 0, 0, 202, false, STATUS_INVALID_BUFFER_SIZE},
        {"input one long", +1, 0, 0, 0, 202, false, STATUS_INVALID_BUFFER_SIZE},
        {"output one short", 0, -1, 0, 0, 202, false, STATUS_INVALID_BUFFER_SIZE},
        {"output one long", 0, +1, 0, 0, 202, false, STATUS_INVALID_BUFFER_SIZE},
        {"header size one short", 0, 0, 0, -1, 203, true, STATUS_INVALID_PARAMETER},
        {"header size one long", 0, 0, 0, +1, 203, true, STATUS_INVALID_PARAMETER},
        {"header size 0", 0, 0, 0, INT_MIN, 203, true, STATUS_INVALID_PARAMETER},
        {"version 202", 0, 0, 0, 0, 202, true, STATUS_INVALID_PARAMETER},
        {"version 204", 0, 0, 0, 0, 204, false, STATUS_INVALID_PARAMETER},
        {"version 202, any output length", 0, 0, 64, 0, 202, false, STATUS_INVALID_PARAMETER},
    };

    for (const RequestShape& shape : Shapes) {
        for (const Variant& v : variants) {
            if (v.outDelta != 0 && !shape.returnsData)
                continue;
            SCOPED_TRACE(std::string(shape.name) + ": " + v.name);
            std::vector<uint8_t> record = WorkingRecord(shape);
            if (v.garbageBody)
                memset(&record[8], 0xEE, record.size() - 8);
            PutU32(record, 0, v.sizeDelta == INT_MIN ? 0 : shape.size + v.sizeDelta);
            PutU32(record, 4, v.version);
            ULONG inLength = shape.size + v.inDelta;
            ULONG outLength = shape.returnsData ? shape.size + v.outDelta : v.outIfNoData;
            std::vector<uint8_t> out(outLength + 1, 0xEE);
            EXPECT_EQ(v.status, rig.client().Send(shape.code, record.data(), inLength, out.data(), outLength));
            EXPECT_EQ(0u, rig.client().Returned());
            EXPECT_EQ(std::vector<uint8_t>(outLength + 1, 0xEE), out);
        }
    }
    EXPECT_EQ(0u, reg::SetValueCount()) << "no registry write";
    EXPECT_EQ(before, Snapshot(rig)) << "no change in memory";

    // The same working records, whole and with their headers right, pass
    // every check (a read answers; the rest reach their own tests).
    for (const RequestShape& shape : Shapes) {
        if (!shape.returnsData)
            continue;
        SCOPED_TRACE(shape.name);
        std::vector<uint8_t> record = WorkingRecord(shape);
        EXPECT_EQ(STATUS_SUCCESS, rig.client().Send(shape.code, record.data(), shape.size, record.data(), shape.size));
        EXPECT_EQ(shape.size, rig.client().Returned());
    }
}

// The version query has no header: only its output length counts, and
// whatever comes in is not read.
TEST(ControlRecords, VersionQueryChecksOnlyItsOutputLength)
{
    ControlRig rig;
    rig.Boot();
    std::vector<uint8_t> garbage(64, 0xEE);
    struct Case {
        ULONG inLength, outLength;
        NTSTATUS status;
    };
    const Case cases[] = {
        {0, 16, STATUS_SUCCESS},
        {64, 16, STATUS_SUCCESS},
        {16, 16, STATUS_SUCCESS},
        {0, 15, STATUS_INVALID_BUFFER_SIZE},
        {16, 17, STATUS_INVALID_BUFFER_SIZE},
        {16, 0, STATUS_INVALID_BUFFER_SIZE},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.inLength) + " in, " + std::to_string(k.outLength) + " out");
        std::vector<uint8_t> out(32, 0xEE);
        EXPECT_EQ(k.status, rig.client().Send(0x222000, garbage.data(), k.inLength, out.data(), k.outLength));
        if (k.status != STATUS_SUCCESS) {
            EXPECT_EQ(0u, rig.client().Returned());
            EXPECT_EQ(std::vector<uint8_t>(32, 0xEE), out);
            continue;
        }
        EXPECT_EQ(16u, rig.client().Returned());
        out.resize(16);
        EXPECT_EQ("10 00 00 00 cc 00 00 00 cb 00 00 00 01 00 00 00", ToHex(out));
    }
}

TEST(ControlRecords, CodesNotServedAreRefusedWithoutAnswer)
{
    ControlRig rig;
    rig.Boot();
    const ULONG codes[] = {
        0x222008,  // between the served functions
        0x22203C,  // just before the disk requests
        0x22205D,  // a served function with METHOD_IN_DIRECT
        0x222043,  // a served function with METHOD_NEITHER
        0x226040,  // a served function with FILE_READ_ACCESS
        0x2D2040,  // another device type
        0x2220D4,  // just after the last one
        0x222100,
        0,
    };
    for (ULONG code : codes) {
        SCOPED_TRACE(code);
        std::vector<uint8_t> record(64, 0);
        PutU32(record, 0, 60);
        PutU32(record, 4, 203);
        std::vector<uint8_t> out(60, 0xEE);
        EXPECT_EQ(STATUS_NOT_IMPLEMENTED, rig.client().Send(code, record.data(), 60, out.data(), 60));
        EXPECT_EQ(0u, rig.client().Returned());
        EXPECT_EQ(std::vector<uint8_t>(60, 0xEE), out);
    }
}

}  // namespace
