// The installer's driver on a real system: started at logon, it runs Setup,
// drives its wizard with real clicks, checks from this side every record
// that the installation leaves, and reports each step on the debug output,
// ending with a fixed last line. Screenshots of the stages are asked from the
// host through lines "shot NAME".
// Usage: tvsetup.exe install|restarted (the first boot, the boot after it)
#include "records.h"
#include "regdump.h"
#include "wizard.h"
#include "../client/control.h"
#include "../client/report.h"
#include <windows.h>
#include <objbase.h>
#include <string.h>
#include <string>

namespace {

// Beside this program, put there by the host: Setup, the builds it carries,
// and the folder for the registry dumps.
const char SetupPath[] = "X:\\tvsetup\\Setup.exe";
const char CarriedDir[] = "X:\\tvsetup\\carried";
const char SystemDumpPath[] = "X:\\tvsetup\\out\\system.reg";
const char SoftwareDumpPath[] = "X:\\tvsetup\\out\\software.reg";

const DWORD SystemDiskNumber = 1;  // PhysicalDrive1, the kit's first data disk

const DWORD StartTimeout = 240000;  // Setup's first window under emulation
const DWORD RunTimeout = 600000;    // an installation, from the click to its end

enum RunEnd { RunSucceeded, RunShowedError, RunTimedOut };

// Waits until the run started by the click on Install ends: the product's
// "InstallTime" differs from before (it is written just before the final
// page shows), or the wizard shows its message box.
RunEnd WaitForRunEnd(SetupProcess& setup, const std::string& timeBefore)
{
    for (DWORD waited = 0; waited < RunTimeout && !setup.HasEnded(); waited += 1000) {
        std::string time = InstallTime();
        if (!time.empty() && time != timeBefore)
            return RunSucceeded;
        if (setup.MessageBoxForm())
            return RunShowedError;
        Sleep(1000);
    }
    return RunTimedOut;
}

const char* RunEndName(RunEnd end)
{
    return end == RunSucceeded ? "succeeded" : end == RunShowedError ? "showed an error" : "did not end";
}

bool StartWizard(SetupProcess& setup)
{
    if (!setup.Start(SetupPath)) {
        Fail("Setup does not start (error %lu)", GetLastError());
        return false;
    }
    HWND form = setup.WaitForMainForm(StartTimeout);
    if (!form) {
        Fail("Setup's window did not show");
        return false;
    }
    Say("Setup's window shows");
    Sleep(3000);  // painted
    return true;
}

// The restart is offered by the final page's one button, 200 pixels wide.
bool RestartOffered(HWND form)
{
    return IsWhite(ColourAt(form, RestartButtonProbe));
}

void CheckFinalPage(HWND form, bool restart)
{
    bool welcome = IsWhite(ColourAt(form, LeftButtonProbe));
    bool offered = RestartOffered(form);
    if (welcome)
        Fail("after the run the wizard shows a page with a left button, not the final page");
    else if (offered != restart)
        Fail("the final page offers %s, expected %s", offered ? "\"Reboot Now\"" : "\"Done\"",
             restart ? "\"Reboot Now\"" : "\"Done\"");
    else
        Say("ok the final page offers %s", offered ? "\"Reboot Now\" (a restart)" : "\"Done\" (no restart)");
}

void CloseWizard(SetupProcess& setup)
{
    long code = setup.CloseAndWait(60000);
    if (code == 0)
        Say("ok Setup ended with exit code 0 after its window was closed");
    else
        Fail("Setup's exit code after its window was closed: %ld, expected 0", code);
}

void CheckEverything(const ProductPaths& paths, DWORD proxyState, DWORD cacheState)
{
    CheckRecords(paths);
    CheckServices(proxyState, cacheState);
    CheckUpperFilters();
    CheckFiles(paths);
    CheckShortcuts(paths);
}

// What Setup wrote to the registry, for the host to carry into the next boot.
void DumpRegistry()
{
    CreateDirectoryA("X:\\tvsetup\\out", NULL);
    RegDump system(SystemDumpPath);
    bool ok = system.IsOpen() && system.AddTree(L"SYSTEM\\CurrentControlSet\\Services\\SABLINEX") &&
              system.AddTree(L"SYSTEM\\CurrentControlSet\\Services\\DORQPELKZEMK") &&
              system.AddValue(L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}",
                              L"UpperFilters");
    ok = system.Close() && ok;
    RegDump software(SoftwareDumpPath);
    bool softwareOk = software.IsOpen() && software.AddTree(L"SOFTWARE\\DORQ") &&
                      software.AddTree(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\JyxBrimvault") &&
                      software.AddValue(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"JyxBrimvault");
    softwareOk = software.Close() && softwareOk;
    if (ok && softwareOk)
        Say("ok registry dumped to %s and %s", SystemDumpPath, SoftwareDumpPath);
    else
        Fail("the registry dump is incomplete (system %d, software %d)", ok, softwareOk);
}

// A file where the install folder would be: the run's first write fails.
bool BlockInstallFolder(const ProductPaths& paths)
{
    HANDLE file = CreateFileA(paths.installDir.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        Fail("cannot put a file at %s (error %lu)", paths.installDir.c_str(), GetLastError());
        return false;
    }
    CloseHandle(file);
    Say("a file stands where the install folder %s would be", paths.installDir.c_str());
    return true;
}

// The run that fails: its error shows over the wizard, and OK leads back to
// the welcome page with the licence still accepted.
bool FailingRun(SetupProcess& setup, const ProductPaths& paths)
{
    HWND form = setup.MainForm();
    ClickAt(form, InstallButtonPoint);
    RunEnd end = WaitForRunEnd(setup, "");
    if (end != RunShowedError) {
        Fail("the run into a blocked install folder %s, expected an error", RunEndName(end));
        Shot("failing-run-end");
        return false;
    }
    Sleep(2000);
    Shot("3-error");
    Say("ok the run into a blocked install folder shows an error");
    if (InstalledVersion() != 0)
        Fail("the failed run wrote the product's version record");
    else
        Say("ok the failed run wrote no product record");
    HWND box = setup.MessageBoxForm();
    RECT client;
    GetClientRect(box, &client);
    POINT ok = {client.right / 2, client.bottom - 16 - 12};  // its one button, centred at the bottom
    ClickAt(box, ok);
    for (int i = 0; i < 40 && setup.MessageBoxForm(); i++)
        Sleep(250);
    if (setup.MessageBoxForm()) {
        Fail("the error box does not close on OK");
        return false;
    }
    Sleep(2000);
    Shot("4-welcome-after-error");
    if (!IsWhite(ColourAt(form, LeftButtonProbe))) {
        Fail("after the error the wizard is not back on the welcome page");
        return false;
    }
    Say("ok after the error the wizard is back on the welcome page");
    if (!DeleteFileA(paths.installDir.c_str())) {
        Fail("cannot remove the file at %s (error %lu)", paths.installDir.c_str(), GetLastError());
        return false;
    }
    return true;
}

void RunFirstBoot()
{
    ProductPaths paths = FindProductPaths(CarriedDir);
    if (InstalledVersion() != 0) {
        Fail("the product is recorded before its installation");
        return;
    }
    if (!BlockInstallFolder(paths))
        return;
    SetupProcess setup;
    if (!StartWizard(setup))
        return;
    HWND form = setup.MainForm();
    Shot("1-welcome");
    ClickAt(form, AcceptBoxPoint);
    Sleep(1500);
    Shot("2-accepted");
    if (!FailingRun(setup, paths))
        return;
    // Install again, without touching the box: it stayed ticked.
    ClickAt(form, InstallButtonPoint);
    RunEnd end = WaitForRunEnd(setup, "");
    Sleep(3000);
    Shot("5-final");
    if (end != RunSucceeded) {
        Fail("the installation %s", RunEndName(end));
        return;
    }
    Say("ok the installation reached its end");
    CheckFinalPage(form, true);
    CheckEverything(paths, SERVICE_RUNNING, SERVICE_STOPPED);
    DumpRegistry();
    CloseWizard(setup);
}

// The driver loaded at boot as the disk filter answers its control device.
void CheckCacheDriverLoaded()
{
    ControlDevice device;
    DWORD error = device.Open();
    if (error != 0) {
        Fail("the control device %s does not open (error %lu)", ControlDevicePath, error);
        return;
    }
    VersionRecord version;
    error = device.QueryVersion(&version, sizeof version);
    if (error != 0)
        Fail("the version query fails (error %lu)", error);
    else if (version.Size != sizeof version || version.DriverVersion != DriverVersion ||
             version.RecordVersion != RecordVersion)
        Fail("the version query answers %lu/%lu/%lu, expected 16/204/203", version.Size, version.DriverVersion,
             version.RecordVersion);
    else
        Say("ok the control device opens and answers the version query with %lu/%lu/%lu", version.Size,
            version.DriverVersion, version.RecordVersion);
    // The boot read the system disk through the driver's filter device.
    DiskStatsRecord stats;
    ZeroMemory(&stats, sizeof stats);
    stats.DeviceNumber = SystemDiskNumber;
    Status status = device.Ask(IoctlGetDiskStats, &stats, true);
    if (status != StatusSuccess)
        Fail("the statistics of the system disk: status 0x%08lX (%s)", (unsigned long)status, StatusName(status));
    else if (stats.ReadsIn == 0)
        Fail("the driver's filter device on the system disk counted no reads since boot");
    else
        Say("ok the driver's filter device on the system disk passed %lu reads since boot", stats.ReadsIn);
}

// The restart's boot, then an update over the installation: the running
// application is closed, nothing is added twice and no restart is asked,
// since both drivers run and are current.
void RunRestartedBoot()
{
    ProductPaths paths = FindProductPaths(CarriedDir);
    CheckCacheDriverLoaded();
    CheckEverything(paths, SERVICE_RUNNING, SERVICE_RUNNING);

    std::string before = InstallTime();
    SetupProcess app;
    std::string appLine = "\"" + paths.app + "\" /window";
    if (!app.Start(appLine.c_str()))
        Fail("the installed application does not start (error %lu)", GetLastError());
    Sleep(5000);
    SetupProcess setup;
    if (!StartWizard(setup))
        return;
    HWND form = setup.MainForm();
    Shot("1-welcome-update");
    ClickAt(form, AcceptBoxPoint);
    Sleep(1500);
    ClickAt(form, InstallButtonPoint);
    RunEnd end = WaitForRunEnd(setup, before);
    Sleep(3000);
    Shot("2-final-update");
    if (end != RunSucceeded) {
        Fail("the update %s", RunEndName(end));
        return;
    }
    Say("ok the update reached its end");
    if (app.HasEnded())
        Say("ok the running application was closed by the update");
    else
        Fail("the application still runs after the update");
    CheckFinalPage(form, false);
    CheckEverything(paths, SERVICE_RUNNING, SERVICE_RUNNING);
    CloseWizard(setup);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    CoInitialize(NULL);
    const char* stage = commandLine ? commandLine : "";
    Say("start setup stage=%s", stage);
    if (strcmp(stage, "install") == 0)
        RunFirstBoot();
    else if (strcmp(stage, "restarted") == 0)
        RunRestartedBoot();
    else
        Fail("unknown stage '%s'", stage);
    SayResultAndEnd();
    return FailureCount() == 0 ? 0 : 1;
}
