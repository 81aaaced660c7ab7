// Power requests of a filter device: a hibernation flushes every master
// before it goes down, and the return to S0 ends the hibernation once every
// disk is back.
#include "tolvarn.h"
#include "pnp.h"
#include "power.h"

static const ULONG PowerStateS0 = PowerSystemWorking;
static const ULONG PowerStateS4 = PowerSystemHibernate;

static IO_COMPLETION_ROUTINE SystemWorkingCompletion;

static NTSTATUS NTAPI SystemWorkingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    FilterExtensionOf(device)->PowerState = PowerStateS0;
    if (HibernateFlag && AllDevicesAtS0())
        HibernateFlag = 0;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

static NTSTATUS SkipToLowerPower(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(FilterExtensionOf(device)->LowerDevice, irp);
}

// S4 flushes every master on this thread before the request goes down; S0 is
// noted when the disk below has completed it.
static NTSTATUS OnSetSystemPower(PDEVICE_OBJECT device, PIRP irp)
{
    FilterExtension* ext = FilterExtensionOf(device);
    SYSTEM_POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    if (state == PowerSystemWorking) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SystemWorkingCompletion, NULL, TRUE, TRUE, TRUE);
        return PoCallDriver(ext->LowerDevice, irp);
    }
    if (state == PowerSystemHibernate) {
        ext->PowerState = PowerStateS4;
        HibernateFlag = 1;
        FlushAllMasters();
    } else {
        ext->PowerState = static_cast<ULONG>(state);
    }
    return SkipToLowerPower(device, irp);
}

NTSTATUS PowerFilter(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState)
        return OnSetSystemPower(device, irp);
    return SkipToLowerPower(device, irp);
}
