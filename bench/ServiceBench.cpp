// The device service's figures: signal reads over loopback with keep-alive beside the same
// request handled in-process, latency percentiles under 8 concurrent clients, and one
// zevctl --connect command (the function and the real binary) beside the in-process tool.
#include "DeviceService.h"
#include "HttpClient.h"
#include "HttpServer.h"
#include "Token.h"
#include "ZEV.h"
#include "ZevCtl.h"
#include "ZevSimulator.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace
{
const std::string kToken = "bench-token-0123456789abcdef0123";
const std::string kRead = R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL"})";

struct SServer
{
    SServer()
        : Host(Quiet), Hooks(Host.Bus, Host.Utility), Device(&Hooks.Bus(), &Hooks.Utility(), &Host.Status),
          Service(Device, Hooks, rlzev::SerialiseWith(Mutex), {kToken, false, nullptr}), Http(Service)
    {
        Host.Utility.m_bQuietAccessDenied = true;
        Device.SetToDefault();
        const int iPort = Http.Bind("127.0.0.1", 0);
        Thread = std::thread([this] { Http.Run(); });
        while (!Http.IsRunning())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        strUrl = "http://127.0.0.1:" + std::to_string(iPort);
        strTokenFile = "/tmp/rl_zev_bench_token";
        rlzev::WriteTokenFile(strTokenFile, kToken);
    }
    ~SServer()
    {
        Http.Stop();
        Thread.join();
    }
    std::ostream Quiet{nullptr};
    SSimulatedHost Host;
    rlzev::CDeviceHooks Hooks;
    CZEV Device;
    std::mutex Mutex;
    rlzev::CDeviceService Service;
    rlzev::CHttpService Http;
    std::thread Thread;
    std::string strUrl, strTokenFile;
};

SServer& Server()
{
    static SServer* s_pServer = new SServer;  // lives for the whole run
    return *s_pServer;
}

void BM_SignalRead_InProcess(benchmark::State& a_rState)
{
    SServer& S = Server();
    const rlzev::SHttpRequest Request{"POST", "/api/v1/read", "", "Bearer " + kToken, kRead, "bench"};
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(S.Service.Handle(Request));
    a_rState.SetItemsProcessed(a_rState.iterations());
}
BENCHMARK(BM_SignalRead_InProcess);

void BM_SignalRead_Loopback(benchmark::State& a_rState)
{
    SServer& S = Server();
    rlzev::CHttpClient Client(S.strUrl, kToken);
    rlzev::SHttpResponse Response;
    std::string strError;
    for (auto _ : a_rState)
        if (!Client.Send("POST", "/api/v1/read", kRead, Response, strError) || Response.m_iStatus != 200)
            a_rState.SkipWithError("request failed");
    a_rState.SetItemsProcessed(a_rState.iterations());
}
BENCHMARK(BM_SignalRead_Loopback)->UseRealTime();
BENCHMARK(BM_SignalRead_Loopback)->Threads(8)->UseRealTime();

// 8 clients, each with its own field and connection, mixed requests; one iteration is the
// whole load. Percentiles over every request.
void BM_EightClients(benchmark::State& a_rState)
{
    SServer& S = Server();
    const unsigned kRequests = static_cast<unsigned>(a_rState.range(0));
    std::vector<double> Latencies;
    for (auto _ : a_rState)
    {
        std::vector<std::vector<double>> PerClient(8);
        std::atomic<unsigned> uFailed(0);
        std::vector<std::thread> Clients;
        for (unsigned c = 0; c < 8; ++c)
            Clients.emplace_back([&, c] {
                rlzev::CHttpClient Client(S.strUrl, kToken);
                rlzev::SHttpResponse Response;
                std::string strError;
                const std::string strField = R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL")";
                for (unsigned i = 0; i < kRequests; ++i)
                {
                    const auto Start = std::chrono::steady_clock::now();
                    const bool bOk =
                        i % 2 == 0 ? Client.Send("POST", "/api/v1/read", kRead, Response, strError)
                                   : Client.Send("POST", "/api/v1/value", kRead, Response, strError);
                    PerClient[c].push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Start).count());
                    if (!bOk || Response.m_iStatus != 200)
                        ++uFailed;
                }
            });
        for (std::thread& Client : Clients)
            Client.join();
        if (uFailed != 0)
            a_rState.SkipWithError("requests failed");
        for (const auto& Client : PerClient)
            Latencies.insert(Latencies.end(), Client.begin(), Client.end());
    }
    std::sort(Latencies.begin(), Latencies.end());
    a_rState.counters["p50_us"] = Latencies[Latencies.size() / 2];
    a_rState.counters["p99_us"] = Latencies[Latencies.size() * 99 / 100];
    a_rState.counters["requests_per_s"] =
        benchmark::Counter(static_cast<double>(Latencies.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EightClients)->Arg(2000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

int Zevctl(const std::vector<std::string>& a_rArgs)
{
    std::istringstream In;
    std::ostringstream Out, Err;
    return RunZevctl(a_rArgs, In, Out, Err);
}

// One command: a new connection, the token read, one request, the answer printed.
void BM_ZevctlCommand_Connect(benchmark::State& a_rState)
{
    SServer& S = Server();
    for (auto _ : a_rState)
        if (Zevctl({"--connect", S.strUrl, "--token-file", S.strTokenFile, "get", "DIN_CNTRL0", "FIFOLEVEL"}) != 0)
            a_rState.SkipWithError("zevctl failed");
}
BENCHMARK(BM_ZevctlCommand_Connect)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same command on a device of its own: constructed and set to its defaults each time.
void BM_ZevctlCommand_InProcess(benchmark::State& a_rState)
{
    for (auto _ : a_rState)
        if (Zevctl({"get", "DIN_CNTRL0", "FIFOLEVEL"}) != 0)
            a_rState.SkipWithError("zevctl failed");
}
BENCHMARK(BM_ZevctlCommand_InProcess)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The real binary: process start included.
void BM_ZevctlBinary_Connect(benchmark::State& a_rState)
{
    SServer& S = Server();
    const std::string strCommand = std::string(ZEVCTL_PATH) + " --connect " + S.strUrl + " --token-file " +
                                   S.strTokenFile + " get DIN_CNTRL0 FIFOLEVEL > /dev/null";
    for (auto _ : a_rState)
        if (std::system(strCommand.c_str()) != 0)
            a_rState.SkipWithError("zevctl failed");
}
BENCHMARK(BM_ZevctlBinary_Connect)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ZevctlBinary_InProcess(benchmark::State& a_rState)
{
    const std::string strCommand = std::string(ZEVCTL_PATH) + " get DIN_CNTRL0 FIFOLEVEL > /dev/null";
    for (auto _ : a_rState)
        if (std::system(strCommand.c_str()) != 0)
            a_rState.SkipWithError("zevctl failed");
}
BENCHMARK(BM_ZevctlBinary_InProcess)->UseRealTime()->Unit(benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
