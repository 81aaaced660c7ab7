// Message ids of the catalogue, grouped by the page that shows them, and the fixed texts
// shown before the catalogue exists.
#pragma once

// Every message file holds each of these ids exactly once, in id order.
enum MessageId : int {
    // Language choice box of the welcome page: the language's own name.
    MsgLanguageName = 20001,

    // Message box buttons; Cancel is also the progress page's button.
    MsgYes = 20002,
    MsgNo = 20003,
    MsgOk = 20004,
    MsgCancel = 20005,

    // Start-up failures, also shown for the install results 20001 and 20002.
    MsgInitFailed = 20010,
    MsgMemoryFailed = 20011,
    MsgUnsupportedSystem = 20012,  // "%s does not support %s." (product, Windows version)

    // Welcome page.
    MsgSelectLanguage = 20007,
    MsgQuit = 20020,
    MsgOptions = 20030,
    MsgInstall = 20031,
    MsgWelcomeTitle = 20032,
    MsgLicenceAccepted = 20033,  // the link to the licence page
    MsgQuitQuestion = 20039,     // "%s setup is not complete. ..." (product)

    // Options and licence pages.
    MsgBack = 20021,
    MsgLicenceTitle = 20034,  // "Licensing Agreement of %s " (product; ends in a blank)
    MsgInstallLocation = 20036,
    MsgDesktopShortcut = 20037,

    // Progress page.
    MsgInstalling = 20024,
    MsgReplaceQuestion = 20043,  // product, installed version, new version (French:
                                 // installed version, product, new version)
    MsgAppNotClosed = 20044,     // install result 20004: a running application stayed open

    // Final page.
    MsgDone = 20023,
    MsgInstallComplete = 20025,
    MsgRebootNow = 20027,
    MsgRebootLater = 20028,

    // Shown by no page.
    MsgNext = 20022,
    MsgAutoLaunch = 20038,
};

// All ids in the order the message files list them.
constexpr int AllMessageIds[] = {
    MsgLanguageName,
    MsgYes,
    MsgNo,
    MsgOk,
    MsgCancel,
    MsgSelectLanguage,
    MsgInitFailed,
    MsgMemoryFailed,
    MsgUnsupportedSystem,
    MsgQuit,
    MsgBack,
    MsgNext,
    MsgDone,
    MsgInstalling,
    MsgInstallComplete,
    MsgRebootNow,
    MsgRebootLater,
    MsgOptions,
    MsgInstall,
    MsgWelcomeTitle,
    MsgLicenceAccepted,
    MsgLicenceTitle,
    MsgInstallLocation,
    MsgDesktopShortcut,
    MsgAutoLaunch,
    MsgQuitQuestion,
    MsgReplaceQuestion,
    MsgAppNotClosed,
};

// Shown with the system's message box when the catalogue cannot be built.
constexpr wchar_t CatalogueFailedText[] = L"Allocated memory fail !";
