// What a complete installation of the product leaves on the machine, checked
// one record at a time, each reported as a line.
#pragma once
#include <string>

// The product's paths on this machine.
struct ProductPaths {
    std::string installDir;    // Program Files\JyxBrimvault
    std::string app;           // ...\Brimvault.exe
    std::string uninstaller;   // ...\Uninstall.exe
    std::string carriedDir;    // the builds that Setup carries, put beside it by the host
};
ProductPaths FindProductPaths(const char* carriedDir);

// The product's, the shared drivers' and the uninstall entry's registry
// values, the Run value and the ini file.
void CheckRecords(const ProductPaths& paths);
// Both kernel services as the service manager reports them, each in the state given.
void CheckServices(unsigned long proxyState, unsigned long cacheState);
// The disk class's upper filters: the cache driver once, first, then "partmgr".
void CheckUpperFilters();
// The driver files and the install folder's files, byte for byte.
void CheckFiles(const ProductPaths& paths);
// The three shortcuts resolved to their targets.
void CheckShortcuts(const ProductPaths& paths);
// The product's version record, or 0.
unsigned long InstalledVersion();
// The product's "InstallTime" record as 16 hex digits, or "" without one.
std::string InstallTime();
