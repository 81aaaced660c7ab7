// Service control manager helpers: existence, state, start, stop, delete and creation of kernel-driver services.
#include "foundation/serviceutil.h"

namespace {

// Owns one service-manager or service handle.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle()
    {
        if (handle_)
            CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

SC_HANDLE OpenManager()
{
    return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
}

// A null name never reaches the manager: it names no service.
SC_HANDLE OpenNamedService(SC_HANDLE manager, const char* name)
{
    if (!name) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    return OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
}

void SetState(uint32_t* outState, uint32_t state)
{
    if (outState)
        *outState = state;
}

// What a stop request's answer means for the caller, who waits only for a stop under way.
int StopRequestResult(int error, uint32_t* state)
{
    if (error == ERROR_SERVICE_NOT_ACTIVE) {
        *state = ServiceStateStopped;  // it stopped after the query
        return 0;
    }
    // A running service that takes no stop refuses it, as does one that takes the request
    // and stays running (Wine answers so for a driver without an unload routine, and then
    // 1061 to every further request); one that is starting or stopping is waited for.
    bool running = *state == ServiceStateRunning;
    if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
        return running ? ERROR_INVALID_SERVICE_CONTROL : 0;
    if (error == 0 && running)
        return ERROR_INVALID_SERVICE_CONTROL;
    return error;
}

}  // namespace

int QueryServiceState(SC_HANDLE service, uint32_t* outState)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed))
        return static_cast<int>(GetLastError());
    SetState(outState, status.dwCurrentState);
    return 0;
}

int SendServiceControl(SC_HANDLE service, uint32_t control, uint32_t* outState)
{
    SERVICE_STATUS status = {};
    if (!ControlService(service, control, &status))
        return static_cast<int>(GetLastError());
    SetState(outState, status.dwCurrentState);
    return 0;
}

bool ServiceExists(const char* name)
{
    ScHandle manager(OpenManager());
    if (!manager)
        return false;
    ScHandle service(OpenNamedService(manager.get(), name));
    return static_cast<bool>(service);
}

int QueryServiceStateByName(const char* name, uint32_t* outState)
{
    ScHandle manager(OpenManager());
    if (!manager)
        return static_cast<int>(GetLastError());
    ScHandle service(OpenNamedService(manager.get(), name));
    if (!service) {
        SetState(outState, ServiceStateStopped);
        return 0;
    }
    return QueryServiceState(service.get(), outState);
}

int StartServiceByName(const char* name)
{
    ScHandle manager(OpenManager());
    if (!manager)
        return static_cast<int>(GetLastError());
    ScHandle service(OpenNamedService(manager.get(), name));
    if (!service)
        return static_cast<int>(GetLastError());
    uint32_t state = 0;
    int result = QueryServiceState(service.get(), &state);
    if (result != 0)
        return result;
    if (state == ServiceStateRunning)
        return 0;
    if (!StartServiceA(service.get(), 0, nullptr))
        return static_cast<int>(GetLastError());
    return 0;
}

int StopServiceByName(const char* name, uint32_t* outState)
{
    ScHandle manager(OpenManager());
    if (!manager)
        return static_cast<int>(GetLastError());
    ScHandle service(OpenNamedService(manager.get(), name));
    if (!service) {
        SetState(outState, ServiceStateStopped);
        return 0;
    }
    uint32_t state = 0;
    int result = QueryServiceState(service.get(), &state);
    if (result != 0)
        return result;
    if (state != ServiceStateStopped)
        result = StopRequestResult(SendServiceControl(service.get(), SERVICE_CONTROL_STOP, &state), &state);
    SetState(outState, state);
    return result;
}

int DeleteServiceByName(const char* name)
{
    ScHandle manager(OpenManager());
    if (!manager)
        return static_cast<int>(GetLastError());
    ScHandle service(OpenNamedService(manager.get(), name));
    if (!service)
        return 0;
    if (!DeleteService(service.get()))
        return static_cast<int>(GetLastError());
    return 0;
}

int CreateDriverService(const char* name, const char* binaryPath, const char* loadOrderGroup,
                        uint32_t startType)
{
    if (!name)
        return ERROR_INVALID_NAME;
    ScHandle manager(OpenManager());
    if (!manager)
        return static_cast<int>(GetLastError());
    ScHandle service(CreateServiceA(manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                    startType, SERVICE_ERROR_NORMAL, binaryPath, loadOrderGroup, nullptr,
                                    nullptr, nullptr, nullptr));
    if (!service)
        return static_cast<int>(GetLastError());
    return 0;
}
