#pragma once

// Installs one service for the life of this object and then puts back the one it replaced.
// Service is any of the platform's service interfaces with a `static Service* install(Service*)`
// (Log, ModemLines, DeviceRegistry, DeviceEvents).
//
// Main thread, both ends. The installed object must outlive this one (declare it first), and no
// background thread may still use the service when this is destroyed.
template <typename Service>
class InstalledService {
public:
    explicit InstalledService(Service* service) : replaced_(Service::install(service)) {}
    ~InstalledService() { Service::install(replaced_); }
    InstalledService(const InstalledService&) = delete;
    InstalledService& operator=(const InstalledService&) = delete;

private:
    Service* replaced_;
};
