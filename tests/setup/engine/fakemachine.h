// Test helper: a simulated machine for the driver actions (services, control devices, files,
// component records and the disk class filter list), and a list that records the road of
// its first item through its states.
#pragma once

#include "engine/driverservice.h"
#include "engine/winsetuplist.h"

#include <map>
#include <set>
#include <string>
#include <vector>

struct FakeService {
    uint32_t state = SERVICE_STOPPED;
    uint32_t startType = SERVICE_SYSTEM_START;
    std::string imagePath;
    std::string group;
    int stopError = 0;          // a refused stop request's error: the driver keeps running
    int stopQueries = 0;        // state queries that still see STOP_PENDING after a stop
    int lingerAfterDelete = 0;  // existence checks that still see it after its deletion; -1 for ever
    bool deleted = false;
};

class FakeMachine : public DriverSetupPlatform {
public:
    std::string DriverFilePath(const std::string& name) override { return DriversDir + name + ".SYS"; }
    std::string DriverImagePath(const std::string& name) override
    {
        return "System32\\drivers\\" + name + ".SYS";
    }
    bool DeviceIsPresent(const std::string& name) override { return devices.count(name) > 0; }

    bool ServiceExists(const std::string& name) override
    {
        auto found = services.find(name);
        if (found == services.end())
            return false;
        FakeService& service = found->second;
        if (service.deleted && service.lingerAfterDelete == 0) {
            services.erase(found);
            return false;
        }
        if (service.deleted && service.lingerAfterDelete > 0)
            service.lingerAfterDelete--;
        return true;
    }
    int QueryServiceState(const std::string& name, uint32_t* state) override
    {
        if (int error = Fails("query"))
            return error;
        auto found = services.find(name);
        *state = SERVICE_STOPPED;
        if (found == services.end())
            return 0;
        FakeService& service = found->second;
        if (service.state == SERVICE_STOP_PENDING && service.stopQueries-- <= 0)
            service.state = SERVICE_STOPPED;
        *state = service.state;
        return 0;
    }
    int StopDriver(const std::string& name, uint32_t* state) override
    {
        if (int error = Fails("stop"))
            return error;
        Log("stop");
        auto found = services.find(name);
        *state = SERVICE_STOPPED;
        if (found == services.end())
            return 0;
        FakeService& service = found->second;
        if (service.state != SERVICE_STOPPED && service.stopError != 0) {
            *state = service.state;
            return service.stopError;
        }
        if (service.state != SERVICE_STOPPED) {
            service.state = service.stopQueries > 0 ? SERVICE_STOP_PENDING : SERVICE_STOPPED;
            if (service.state == SERVICE_STOPPED)
                devices.erase(name);
        }
        *state = service.state;
        return 0;
    }
    int DeleteDriverService(const std::string& name) override
    {
        if (int error = Fails("delete"))
            return error;
        Log("delete");
        auto found = services.find(name);
        if (found != services.end())
            found->second.deleted = true;
        return 0;
    }
    int CreateDriverService(const std::string& name, const std::string& imagePath, const std::string& group,
                            uint32_t startType) override
    {
        if (int error = Fails("create"))
            return error;
        if (ServiceExists(name))
            return ERROR_SERVICE_EXISTS;
        Log("create");
        FakeService service;
        service.imagePath = imagePath;
        service.group = group;
        service.startType = startType;
        services[name] = service;
        return 0;
    }
    int StartDriver(const std::string& name) override
    {
        if (int error = Fails("start"))
            return error;
        auto found = services.find(name);
        if (found == services.end())
            return ERROR_SERVICE_DOES_NOT_EXIST;
        if (found->second.state != SERVICE_RUNNING)
            Log("start");
        found->second.state = SERVICE_RUNNING;
        devices.insert(name);
        return 0;
    }

    bool FileExists(const std::string& path) override { return files.count(path) > 0; }
    int64_t FileSize(const std::string& path) override
    {
        auto found = files.find(path);
        return found == files.end() ? -1 : found->second;
    }
    uint32_t ResourceSize(uint16_t) override { return resourceSize; }
    int ExtractResource(const std::string& path, uint16_t) override
    {
        if (int error = Fails("extract"))
            return error;
        Log("extract");
        files[path] = resourceSize;
        return 0;
    }
    void DeleteDriverFile(const std::string& name) override
    {
        Log("delete-file");
        files.erase(DriverFilePath(name));
    }

    int32_t ReadComponentVersion(const std::string& component) override
    {
        auto found = versions.find(component);
        return found == versions.end() ? 0 : found->second;
    }
    void WriteComponentVersion(const std::string& component, int32_t version) override
    {
        Log("version=" + std::to_string(version));
        versions[component] = version;
    }
    void WriteComponentUser(const std::string& component, const std::string& user,
                            const std::string& text) override
    {
        users[component][user] = text;
    }
    bool ComponentHasOtherUsers(const std::string& component, const std::string& user) override
    {
        auto found = users.find(component);
        if (found == users.end())
            return false;
        for (const auto& entry : found->second)
            if (entry.first != user)
                return true;
        return false;
    }
    void DeleteComponentUser(const std::string& component, const std::string& user) override
    {
        auto found = users.find(component);
        if (found != users.end())
            found->second.erase(user);
    }
    void DeleteComponentKey(const std::string& component) override
    {
        Log("delete-records");
        versions.erase(component);
        users.erase(component);
    }
    void DeleteServiceKey(const std::string& name) override
    {
        Log("delete-service-key");
        serviceKeys.erase(name);
    }

    int AddDiskUpperFilter(const std::string& name) override
    {
        if (int error = Fails("filter"))
            return error;
        Log("filter");
        for (const std::string& entry : filters)
            if (entry == name)
                return 0;
        filters.insert(filters.begin(), name);
        return 0;
    }
    int RemoveDiskClassFilter(const std::string& name, bool* removed) override
    {
        if (int error = Fails("remove"))
            return error;
        *removed = false;
        for (auto entry = filters.begin(); entry != filters.end();) {
            if (entry->compare(0, name.size(), name) == 0) {
                entry = filters.erase(entry);
                *removed = true;
            } else {
                ++entry;
            }
        }
        return 0;
    }

    std::string NowText() override { return "10.12.2026 14:00:00"; }

    // The machine's state.
    std::map<std::string, FakeService> services;
    std::set<std::string> devices;
    std::map<std::string, int64_t> files;
    std::map<std::string, int32_t> versions;
    std::map<std::string, std::map<std::string, std::string>> users;
    std::set<std::string> serviceKeys;
    std::vector<std::string> filters;
    uint32_t resourceSize = 1000;
    std::map<std::string, int> errors;  // by call: "stop", "query", "delete", "create", ...
    std::string log;

    static constexpr const char* DriversDir = "C:\\Windows\\System32\\drivers\\";

private:
    int Fails(const char* call) const
    {
        auto found = errors.find(call);
        return found == errors.end() ? 0 : found->second;
    }
    void Log(const std::string& call) { log += (log.empty() ? "" : " ") + call; }
};

// Records the states that the list's first item passes through, starting with its first.
class RoadList : public clWinSetupList {
public:
    RoadList() { waitPauseMs = 1; }
    void StepHook() override
    {
        hooks++;
        const clSetupItem* item = static_cast<const clSetupItem*>(First());
        if (item && item->currentStep != last_) {
            last_ = item->currentStep;
            road += "," + std::to_string(last_);
        }
        if (hooks == cancelAtHook)
            cancel = 1;
    }
    void Start(const clSetupItem* item)
    {
        last_ = item->currentStep;
        road = std::to_string(last_);
    }

    std::string road;
    int hooks = 0;
    int cancelAtHook = 0;

private:
    int32_t last_ = 0;
};
