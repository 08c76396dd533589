// The device served on a loopback port, as zevd serves it: the fixture of the server tests
// and of the conformance cases' HTTP door.
#pragma once

#include "HttpServer.h"
#include "ServedDevice.h"

#include <chrono>
#include <string>
#include <thread>

namespace rlzevtest
{
struct SServer
{
    explicit SServer(bool a_bReadOnly = false, rlzev::SServerLimits a_Limits = {})
        : Served(a_bReadOnly), Http(Served.Service, a_Limits)
    {
        std::string strError;
        iPort = Http.Bind("127.0.0.1", 0, strError);
        Thread = std::thread([this] { Http.Run(); });
        for (int i = 0; i < 1000 && !Http.IsRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        strUrl = "http://127.0.0.1:" + std::to_string(iPort);
    }
    ~SServer()
    {
        Http.Stop();
        Thread.join();
    }
    SServed Served;
    rlzev::CHttpService Http;
    int iPort = -1;
    std::string strUrl;
    std::thread Thread;
};
} // namespace rlzevtest
