// The device service on a TCP socket: HTTP/1.1 with JSON bodies (cpp-httplib), plus the
// event stream as server-sent events. Threads live here; every device call goes through the
// service's serialiser.
#pragma once

#include "DeviceService.h"

#include <atomic>
#include <memory>
#include <string>

namespace httplib
{
class Server;
}

namespace rlzev
{
class CHttpService
{
public:
    static const unsigned kThreads = 24;  // concurrent connections served (keep-alive and events)

    explicit CHttpService(CDeviceService& a_rService);
    ~CHttpService();

    // Binds a_strHost:a_iPort (0: any free port); the port bound, or -1.
    int Bind(const std::string& a_strHost, int a_iPort);
    // Serves until Stop(); false when the socket fails.
    bool Run();
    // From any thread, a signal handler's helper thread included.
    void Stop();
    bool IsRunning() const;

private:
    CDeviceService& m_rService;
    std::unique_ptr<httplib::Server> m_pServer;
};
} // namespace rlzev
