// Program entry of Setup: one instance at a time, the main form, the message
// loop and the exit code.
#include "classlib/application.h"
#include "engine/installlist.h"
#include "wizard/forminstall.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    // A running installer's hidden application window carries the title.
    if (FindWindowA("TApplication", ApplicationTitle))
        return 0;
    SilentInstallHook(commandLine);
    RunGuarded([] {
        Application->Initialize();
        Application->SetTitle(ApplicationTitle);
        Application->CreateForm(FormInstall);
        Application->Run();
    });
    int exitCode = SetupExitCode();
    RunGuarded([] { Application->DestroyComponents(); });
    return exitCode;
}
