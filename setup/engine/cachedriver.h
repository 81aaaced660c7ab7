// The cache driver's installation as a boot-start disk upper filter, and the removal of the
// older filter driver.
#pragma once

#include "engine/driverservice.h"

#include <stdint.h>

// Writes the cache driver, creates its boot-start service, puts it into the disk class's
// "UpperFilters" and asks for a restart. The file and version record of a newer driver that
// is already installed are left as they are: this product becomes one of its users.
class clVornDriverInstall : public clWinSetupInstallServiceResource {
public:
    clVornDriverInstall();
    int32_t ExecuteStep() override;

private:
    int32_t Next(int32_t state);
    int32_t CheckRunning();
    int32_t WriteDriverFile(int32_t next);
    int32_t CreateServiceUnlessThere();
    int32_t AddFilter();
};

// Removes the older filter driver (its filter entries, file, records and service key) unless
// another product still uses it. Its service is neither stopped nor deleted through the
// service manager: it is simply no longer loaded at the next restart.
class clVornOldDriverUninstall : public clWinSetupUninstallService {
public:
    clVornOldDriverUninstall();
    int32_t ExecuteStep() override;
};

// The new "UpperFilters" data with name added: right after the entry "Fastboot" when there is
// one, else in front of all entries; "name\0\0" for no data. *outList is a new block (malloc)
// that the caller frees, or null when name is already listed (ignoring case): nothing to
// write. Data that lacks its terminators is read as if they were there, and the new data
// always ends with its closing empty string. 0, 87 for no name, or 1450 without memory.
int32_t InsertFilterName(const char* list, uint32_t size, const char* name, char** outList,
                         uint32_t* outSize);

// Adds name to the disk class's "UpperFilters": 0, 13 when the disk class is unknown, the
// error of opening its key, 11 when the value is not a multi-string, 1450, or the write's error.
int32_t AddDiskUpperFilter(const char* name);
