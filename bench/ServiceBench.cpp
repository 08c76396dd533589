// The device service's figures: signal reads over loopback with keep-alive beside the same
// request handled in-process, latency percentiles under 8 concurrent clients and under
// 1,000 idle or trickling connections beside none, every signal in one batch beside one
// request each, and one zevctl --connect command (the function and the real binary) beside
// the in-process tool; the largest body of the most objects beside its parse alone.
#include "DeviceRuntime.h"
#include "DeviceService.h"
#include "HttpClient.h"
#include "HttpServer.h"
#include "Token.h"
#include "ZEV.h"
#include "ZevCtl.h"
#include "ZevSimulator.h"

#include <benchmark/benchmark.h>
#include <boost/asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>
#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace
{
const std::string kToken = "bench-token-0123456789abcdef0123";
const std::string kRead = R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL"})";

struct SServer
{
    SServer() : Host(Quiet), Runtime(Host.Bus, Host.Utility, Host.Status), Service(Runtime, {kToken, false, nullptr}), Http(Service)
    {
        Host.Utility.m_bQuietAccessDenied = true;
        Runtime.Run([](CZEV& a_rDevice) { a_rDevice.SetToDefault(); });
        std::string strError;
        iPort = Http.Bind("127.0.0.1", 0, strError);
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
    rlzev::CDeviceRuntime Runtime;
    rlzev::CDeviceService Service;
    rlzev::CHttpService Http;
    int iPort = 0;
    std::thread Thread;
    std::string strUrl, strTokenFile;
};

SServer& Server()
{
    static SServer* s_pServer = new SServer;  // lives for the whole run
    return *s_pServer;
}

// A read as the service gets it, token and all.
rlzev::SHttpRequest ReadRequest(const std::string& a_strBody)
{
    rlzev::SHttpRequest Request;
    Request.m_strMethod = "POST";
    Request.m_strPath = "/api/v1/read";
    Request.m_strAuthorization = "Bearer " + kToken;
    Request.m_strBody = a_strBody;
    return Request;
}

void BM_SignalRead_InProcess(benchmark::State& a_rState)
{
    SServer& S = Server();
    const rlzev::SHttpRequest Request = ReadRequest(kRead);
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(S.Service.Handle(Request));
    a_rState.SetItemsProcessed(a_rState.iterations());
}
BENCHMARK(BM_SignalRead_InProcess);

// A write with its request id, carried out (a new id each time), beside the same write
// repeated under one id, which the service answers from what it kept.
void BM_Write_First(benchmark::State& a_rState)
{
    SServer& S = Server();
    rlzev::SHttpRequest Request = ReadRequest(R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL","values":["7/d"]})");
    Request.m_strPath = "/api/v1/write";
    unsigned long long uId = 0;
    for (auto _ : a_rState)
    {
        Request.m_strRequestId = "bench-" + std::to_string(++uId);
        benchmark::DoNotOptimize(S.Service.Handle(Request));
    }
}
BENCHMARK(BM_Write_First);

void BM_Write_RepeatAnsweredFromMemory(benchmark::State& a_rState)
{
    SServer& S = Server();
    rlzev::SHttpRequest Request = ReadRequest(R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL","values":["7/d"]})");
    Request.m_strPath = "/api/v1/write";
    Request.m_strRequestId = "bench-repeated";
    S.Service.Handle(Request);
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(S.Service.Handle(Request));
}
BENCHMARK(BM_Write_RepeatAnsweredFromMemory);

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

// Every signal of the device read: one request each, the way it took before batches.
std::vector<std::string> AllSignalReads()
{
    std::vector<std::string> Bodies;
    for (unsigned i = 0; i < g_udwZevRegisterCount; ++i)
        for (unsigned s = 0; s < g_aZevRegisterMap[i].m_udwSignalCount; ++s)
            Bodies.push_back(std::string(R"({"register":")") + g_aZevRegisterMap[i].m_pcName + R"(","signal":")" +
                             g_aZevRegisterMap[i].m_pSignals[s].m_pcName + "\"}");
    return Bodies;
}

void BM_AllSignals_OneRequestEach(benchmark::State& a_rState)
{
    SServer& S = Server();
    const std::vector<std::string> Bodies = AllSignalReads();
    rlzev::CHttpClient Client(S.strUrl, kToken);
    rlzev::SHttpResponse Response;
    std::string strError;
    for (auto _ : a_rState)
        for (const std::string& strBody : Bodies)
            if (!Client.Send("POST", "/api/v1/read", strBody, Response, strError) || Response.m_iStatus != 200)
                a_rState.SkipWithError("request failed");
    a_rState.counters["signals"] = static_cast<double>(Bodies.size());
}
BENCHMARK(BM_AllSignals_OneRequestEach)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AllSignals_OneBatch(benchmark::State& a_rState)
{
    SServer& S = Server();
    std::string strBatch = R"({"operations":[)";
    for (const std::string& strBody : AllSignalReads())
        strBatch += R"({"op":"read",)" + strBody.substr(1) + ",";
    strBatch.back() = ']';
    strBatch += "}";
    rlzev::CHttpClient Client(S.strUrl, kToken);
    rlzev::SHttpResponse Response;
    std::string strError;
    for (auto _ : a_rState)
        if (!Client.Send("POST", "/api/v1/batch", strBatch, Response, strError) || Response.m_iStatus != 200)
            a_rState.SkipWithError("request failed");
    a_rState.counters["answer_bytes"] = static_cast<double>(Response.m_strBody.size());
}
BENCHMARK(BM_AllSignals_OneBatch)->UseRealTime()->Unit(benchmark::kMillisecond);

// The largest body with the most objects (1 MiB of "{}"), refused for its field once parsed:
// the service against the parse alone, its least possible cost.
std::string ManyObjects()
{
    std::string strBody = R"({"x":[)";
    while (strBody.size() + 5 <= rlzev::CDeviceService::kMaxBody)
        strBody += "{},";
    strBody.back() = ']';
    return strBody + "}";
}

void BM_ManyObjects_Service(benchmark::State& a_rState)
{
    SServer& S = Server();
    const rlzev::SHttpRequest Request = ReadRequest(ManyObjects());
    for (auto _ : a_rState)
        if (S.Service.Handle(Request).m_iStatus != 400)
            a_rState.SkipWithError("not refused");
    a_rState.counters["body_bytes"] = static_cast<double>(Request.m_strBody.size());
}
BENCHMARK(BM_ManyObjects_Service)->Unit(benchmark::kMillisecond);

void BM_ManyObjects_ParseAlone(benchmark::State& a_rState)
{
    const std::string strBody = ManyObjects();
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(nlohmann::json::parse(strBody));
}
BENCHMARK(BM_ManyObjects_ParseAlone)->Unit(benchmark::kMillisecond);

// A client with the token, one request after another, while other connections are open:
// none (the baseline), 1,000 that sent nothing, 1,000 that drip a header a byte at a time.
void BM_LegitimateClient(benchmark::State& a_rState)
{
#ifndef _WIN32
    rlimit Files{};
    getrlimit(RLIMIT_NOFILE, &Files);
    Files.rlim_cur = Files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &Files);
#endif
    SServer& S = Server();
    const int iNoise = static_cast<int>(a_rState.range(0));  // 0 none, 1 idle, 2 trickling
    boost::asio::io_context Io;
    std::vector<boost::asio::ip::tcp::socket> Others;
    const boost::asio::ip::tcp::endpoint Endpoint(boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(S.iPort));
    for (int i = 0; iNoise != 0 && i < 1000; ++i)
    {
        Others.emplace_back(Io);
        boost::system::error_code Error;
        Others.back().connect(Endpoint, Error);
    }
    std::atomic<bool> bDone(false);
    std::thread Dripper([&] {
        const std::string strHeader = "GET /api/v1/device HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(10000, 'a');
        for (std::size_t uByte = 0; iNoise == 2 && !bDone; uByte = (uByte + 1) % strHeader.size())
        {
            for (auto& rSocket : Others)
            {
                boost::system::error_code Error;
                rSocket.write_some(boost::asio::buffer(&strHeader[uByte], 1), Error);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    rlzev::CHttpClient Client(S.strUrl, kToken);
    rlzev::SHttpResponse Response;
    std::string strError;
    std::vector<double> Latencies;
    for (auto _ : a_rState)
    {
        const auto Start = std::chrono::steady_clock::now();
        if (!Client.Send("POST", "/api/v1/read", kRead, Response, strError) || Response.m_iStatus != 200)
            a_rState.SkipWithError("request failed");
        Latencies.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Start).count());
    }
    bDone = true;
    Dripper.join();
    std::sort(Latencies.begin(), Latencies.end());
    a_rState.counters["p50_us"] = Latencies[Latencies.size() / 2];
    a_rState.counters["p99_us"] = Latencies[Latencies.size() * 99 / 100];
    a_rState.counters["open_connections"] = static_cast<double>(S.Http.Connections());
}
BENCHMARK(BM_LegitimateClient)->Arg(0)->Arg(1)->Arg(2)->Iterations(2000)->UseRealTime();

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
