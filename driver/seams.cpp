// The production tables of the calls the worker and the PnP code make into
// the cache: the one place where those calls are bound to their routines.
#include "tolvarn.h"
#include "destage.h"
#include "fill.h"
#include "layoutrequests.h"
#include "lifecycle.h"
#include "seams.h"

const WorkerJobs ProductionWorkerJobs = {
    InvalidateSsdRange, SetSsdRangeValid, CanFill, FillCache, DrainStep, IdleDestage, InvalidateLayoutSector,
};

const LifecycleCalls ProductionLifecycleCalls = {
    AttachCacheAtBoot, ShutdownCache, SaveCacheAtShutdown, MayRemoveSsd, RemoveSsdFromMaster, FlushMaster,
};

const WorkerJobs* Jobs = &ProductionWorkerJobs;
const LifecycleCalls* Lifecycle = &ProductionLifecycleCalls;
