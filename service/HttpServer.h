// The device service on a TCP socket: HTTP/1.1 with JSON bodies, plus the event stream as
// server-sent events (Boost.Beast). One thread does all the network work without blocking,
// so idle and slow connections cost no thread; one more thread makes the device calls, in
// the order the requests became complete. What a peer without the token can make the
// server spend is bounded before the token is looked at: connections, header bytes, time.
#pragma once

#include "DeviceService.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace rlzev
{
struct SServerLimits
{
    std::size_t m_uMaxConnections = 4096;    // then the oldest connection without a request
                                             // carrying the token makes room
    std::size_t m_uMaxHeaderBytes = 16384;   // request line and header fields
    std::size_t m_uMaxHeaderBytesInAll = 8u << 20;  // of all headers in progress together; then
                                                    // the oldest stranger holding one makes room
    std::chrono::milliseconds m_HeaderTime{10000};  // the whole header must have come by then
    std::chrono::milliseconds m_BodyTime{30000};    // and then the whole body
    std::chrono::milliseconds m_IdleTime{5000};     // a kept-alive connection waits this long
    std::chrono::milliseconds m_WriteTime{30000};   // for an answer to be taken
};

class CHttpService
{
public:
    explicit CHttpService(CDeviceService& a_rService, SServerLimits a_Limits = {});
    ~CHttpService();
    CHttpService(const CHttpService&) = delete;
    CHttpService& operator=(const CHttpService&) = delete;

    // Binds a_strHost:a_iPort (0: any free port) for this server alone: the port bound, or
    // -1 with a_rError saying why (another server on that address, say).
    int Bind(const std::string& a_strHost, int a_iPort, std::string& a_rError);
    // Serves until Stop(). A failed accept (out of descriptors, say) is tried again, so
    // nothing but Stop ends it.
    void Run();
    // From any thread, at any time, also before Run: Run returns at once, whatever the
    // clients do, after the device call in progress (if any) ends.
    void Stop();
    bool IsRunning() const;
    // Connections open now (for tests and benchmarks).
    std::size_t Connections() const;

private:
    friend class CConnection;
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};
} // namespace rlzev
