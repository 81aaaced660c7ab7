// Typed calls of the driver's control requests over the harness's client, as
// the product's application sends them: each fills its record's header and
// fields, sends it, and on success decodes the answer. Every call returns the
// driver's status; Returned() gives the byte count of the last answer.
#pragma once

#include <emu/machine.h>

#include <stdint.h>

#include <array>
#include <string>

#include "controlrecords.h"

namespace control_client {

struct MasterConfigAnswer {
    UCHAR masterStart = 0;
    ULONGLONG ssdCacheDiskId = 0;
    UCHAR ssdCacheMode = 0;
};

struct StateAnswer {
    UCHAR active = 0;
    ULONG blockBytes = 0;
    ULONG slotCount = 0;
};

struct UsageAnswer {
    ULONGLONG cachedBytes = 0;
    ULONGLONG capacityBytes = 0;
    ULONGLONG bootBytes = 0;
    ULONGLONG otherBytes = 0;
};

struct SsdAreaAnswer {
    ULONGLONG start = 0;
    ULONGLONG end = 0;
    ULONGLONG masterDiskId = 0;
};

class ControlClient {
public:
    // Opens "\\.\<service>" on the machine; OpenStatus() tells how that went.
    explicit ControlClient(emu::Machine& machine);

    NTSTATUS OpenStatus() const { return openStatus_; }
    emu::Client& Handle() { return client_; }
    void Close() { client_.Close(); }
    ULONG Returned() const { return returned_; }

    // Any bytes, as a client may send them.
    NTSTATUS Send(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);

    NTSTATUS GetVersion(VersionRecord* answer);
    NTSTATUS GetPoolUsage(ULONGLONG* poolBytes);
    NTSTATUS GetDiskStats(ULONG deviceNumber, DiskStatsRecord* answer);
    NTSTATUS GetDiskId(ULONG deviceNumber, ULONGLONG* diskId);
    NTSTATUS SetDiskId(ULONG deviceNumber, ULONGLONG diskId);
    NTSTATUS DeleteDiskConfig(ULONGLONG diskId);
    NTSTATUS GetRole(ULONGLONG diskId, UCHAR* role);
    NTSTATUS SetRole(ULONGLONG diskId, UCHAR role);
    NTSTATUS SaveTimestamp(ULONGLONG diskId);
    NTSTATUS GetIdentify(ULONG deviceNumber, std::array<UCHAR, 512>* identify);
    NTSTATUS GetMasterConfig(ULONGLONG masterId, MasterConfigAnswer* answer);
    NTSTATUS SaveMasterConfig(ULONGLONG masterId);
    NTSTATUS GetState(ULONGLONG masterId, StateAnswer* answer);
    NTSTATUS GetUsage(ULONGLONG masterId, UsageAnswer* answer);
    NTSTATUS SetOptions(ULONGLONG masterId, UCHAR persist, UCHAR idleWriteBack);
    NTSTATUS Start(ULONGLONG masterId, ULONG blockShift, ULONG bootQuota, UCHAR writeMode);
    NTSTATUS Stop(ULONGLONG masterId);
    NTSTATUS GetSsdArea(ULONGLONG ssdId, SsdAreaAnswer* answer);
    NTSTATUS SetSsdArea(ULONGLONG ssdId, ULONGLONG start, ULONGLONG end);
    NTSTATUS ClearSsdArea(ULONGLONG ssdId);
    NTSTATUS Pair(ULONGLONG masterId, ULONGLONG ssdId, UCHAR mode);
    NTSTATUS Unpair(ULONGLONG masterId);

    // The usual configuration of a new pair, step by step as the application
    // does it: ids by device number, roles, the SSD's area, the pairing.
    // Stops at the first failure and returns it.
    NTSTATUS Configure(ULONG masterNumber, ULONGLONG masterId, ULONG ssdNumber, ULONGLONG ssdId,
                       ULONGLONG areaStart, ULONGLONG areaEnd, UCHAR mode);

private:
    // Fills the header, sends the record in (and back when it returns data).
    template <typename Record>
    NTSTATUS Exchange(ULONG code, Record* record, bool returnsData);

    emu::Client client_;
    NTSTATUS openStatus_ = STATUS_UNSUCCESSFUL;
    ULONG returned_ = 0;
};

}  // namespace control_client
