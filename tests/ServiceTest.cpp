// The device service: every operation on the simulated device, every kind of bad request
// refused with nothing changed, library refusals with their exact texts and reports, the
// audit log, the event stream and zevctl over the network.
#include "DeviceService.h"
#include "HttpClient.h"
#include "HttpServer.h"
#include "Token.h"
#include "ZEV.h"
#include "ZevCtl.h"
#include "ZevSimulator.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using nlohmann::json;

namespace
{
const std::string kToken = "0123456789abcdef0123456789abcdef";

// A simulated ZEV served as zevd serves it.
struct SServed
{
    explicit SServed(bool a_bReadOnly = false)
        : Host(Reports), Hooks(Host.Bus, Host.Utility), Device(&Hooks.Bus(), &Hooks.Utility(), &Host.Status),
          Service(Device, Hooks, rlzev::SerialiseWith(Mutex), {kToken, a_bReadOnly, &Audit})
    {
        Host.Utility.m_bQuietAccessDenied = true;
        Device.SetToDefault();
    }

    json Call(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
              int* a_piStatus = nullptr, const std::string& a_strAuthorization = "Bearer " + kToken)
    {
        const std::size_t uQuery = a_strPath.find('?');
        const rlzev::SHttpResponse Response = Service.Handle(
            {a_strMethod, a_strPath.substr(0, uQuery), uQuery == std::string::npos ? "" : a_strPath.substr(uQuery + 1),
             a_strAuthorization, a_strBody, "127.0.0.1"});
        if (a_piStatus != nullptr)
            *a_piStatus = Response.m_iStatus;
        return json::parse(Response.m_strBody);
    }
    json Post(const std::string& a_strOperation, const json& a_rBody, int* a_piStatus = nullptr)
    {
        return Call("POST", "/api/v1/" + a_strOperation, a_rBody.dump(), a_piStatus);
    }

    // Everything a request could change: transfers, and every word, flag and lock state.
    std::string State() const
    {
        std::ostringstream Text;
        const auto& C = Host.Bus.m_Counters;
        Text << C.m_uReads << "/" << C.m_uWrites << "/" << C.m_uWaits << ";";
        for (const CRegisterBase* pRegister : Device.GetRegisters())
        {
            Text << pRegister->GetLockState() << pRegister->IsWritePending();
            for (unsigned i = 0; i < pRegister->GetWordCount(); ++i)
                Text << "," << pRegister->GetHwImage()[i] << "," << pRegister->GetAppImage()[i];
            for (const CSignalBase* pSignal : pRegister->GetSignals())
                Text << pSignal->GetLockState();
            Text << ";";
        }
        return Text.str();
    }

    std::ostringstream Reports, Audit;
    SSimulatedHost Host;
    rlzev::CDeviceHooks Hooks;
    CZEV Device;
    std::mutex Mutex;
    rlzev::CDeviceService Service;
};
json Signal(const json& a_rRegister, const std::string& a_strName)
{
    for (const json& Sig : a_rRegister["signals"])
        if (Sig["name"] == a_strName)
            return Sig;
    return json();
}
} // namespace

TEST(Service, ServesEveryOperationOfTheTextService)
{
    SServed S;
    int iStatus = 0;
    EXPECT_EQ(S.Call("GET", "/api/v1/device", ""), json({{"name", "ZEV"}, {"xmlVersion", "PD_ZEV.xml@@/main/kem_main/1"},
                                                         {"generatorVersion", "1.1.0.0"}, {"readOnly", false}}));
    const json List = S.Call("GET", "/api/v1/registers", "");
    ASSERT_EQ(List["registers"].size(), 441u);
    EXPECT_EQ(List["registers"][0].dump(), R"({"access":"CSequentialRead_ParallelWrite","address":3584,"name":"AUD_CNTRL0","signals":5,"status":false,"width":24,"words":1})");

    json Reg = S.Call("GET", "/api/v1/registers/DIN_MS_DET_LOW", "");
    EXPECT_EQ(Reg["signals"][1].dump(), R"({"default":0,"enumerators":[{"name":"ON","value":0},{"name":"OFF","value":1}],"high":30,"lock":"UNLOCKED","low":30,"max":1,"name":"IN0_SELDIR","width":1})");
    // The whole map is every register as described, without the device's state.
    const json Map = S.Call("GET", "/api/v1/map", "");
    ASSERT_EQ(Map["registers"].size(), 441u);
    EXPECT_EQ(Map["device"]["name"], "ZEV");
    Reg.erase("lock");
    Reg.erase("hardwareWord");
    for (json& Signal : Reg["signals"])
        Signal.erase("lock");
    EXPECT_EQ(Map["registers"][43], Reg);
    EXPECT_EQ(Signal(S.Call("GET", "/api/v1/registers/PRI_SERVAL", ""), "SERVAL")["max"], 0xFFFFFFFFu);
    // The hardware word as last written, looked at without a transfer.
    S.Post("write", {{"register", "DIN_MS_DET_LOW"}, {"signal", "MS_DET_LOW"}, {"values", {"5/d"}}});
    const auto Counters = S.Host.Bus.m_Counters.m_uReads;
    EXPECT_EQ(S.Call("GET", "/api/v1/registers/DIN_MS_DET_LOW", "")["hardwareWord"].get<unsigned>() & 0x1F, 5u);
    EXPECT_EQ(S.Host.Bus.m_Counters.m_uReads, Counters);

    // A signal written, read, named; the write leaves it with the service until unlocked.
    EXPECT_EQ(S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {std::string(60, '0') + "32/d"}}}),
              json({{"reports", json::array()}})) << "the longest value text, 64 characters";
    EXPECT_EQ(S.Post("read", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}})["values"], json({"00000020/h"}));
    EXPECT_EQ(S.Post("value", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}})["values"], json({"32"}));
    EXPECT_EQ(Signal(S.Call("GET", "/api/v1/registers/DIN_CNTRL0", ""), "FIFOLEVEL")["lock"], "LOCKED");
    EXPECT_EQ(S.Post("unlock", {{"register", "DIN_CNTRL0"}, {"signal", "ALL"}}, &iStatus), json({{"reports", json::array()}}));
    EXPECT_EQ(Signal(S.Call("GET", "/api/v1/registers/DIN_CNTRL0", ""), "FIFOLEVEL")["lock"], "UNLOCKED");
    EXPECT_EQ(S.Post("value", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}})["values"], json({"1"}));
    S.Post("lock", {{"register", "all"}, {"signal", "all"}}, &iStatus);
    EXPECT_EQ(iStatus, 200);
    EXPECT_EQ(Signal(S.Call("GET", "/api/v1/registers/DIN_CNTRL0", ""), "FIFOLEVEL")["lock"], "LOCKED");

    // A memory range, and the whole memory from a start on.
    S.Post("write", {{"register", "ENT_H1"}, {"values", {"1/d", "-2/d", "ABC/h"}}, {"start", 4}}, &iStatus);
    EXPECT_EQ(iStatus, 200);
    EXPECT_EQ(S.Post("read", {{"register", "ENT_H1"}, {"start", 3}})["values"],
              json({"00000000/h", "00000001/h", "FFFFFFFE/h", "00000ABC/h"}));

    // Defaults and the snapshot, as the device itself makes them.
    EXPECT_EQ(S.Post("defaults", json::object())["result"], true);
    std::ostringstream Direct;
    S.Device.SnapShot(Direct);
    const json Snapshot = S.Call("GET", "/api/v1/snapshot", "");
    EXPECT_EQ(Snapshot["snapshot"], Direct.str());
    EXPECT_FALSE(Snapshot["reports"].empty()) << "write-only registers are met; their refused reads are reported";
    EXPECT_TRUE(Snapshot["reports"][0]["accessDenied"]);
}

TEST(Service, LibraryRefusalsAndReportsReachTheClientVerbatim)
{
    SServed S;
    int iStatus = 0;
    json Answer = S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"256/d"}}}, &iStatus);
    EXPECT_EQ(iStatus, 422);
    EXPECT_EQ(Answer["error"], "Value limit exceeded: 256/d,");
    ASSERT_EQ(Answer["reports"].size(), 1u);
    EXPECT_EQ(Answer["reports"][0]["file"], "SignalBase");
    EXPECT_EQ(Answer["reports"][0]["function"], "CSignalBase::ServiceWrite");
    EXPECT_EQ(Answer["reports"][0]["message"], "Value limit exceeded: 256/d,");
    EXPECT_EQ(Answer["reports"][0]["accessDenied"], false);

    Answer = S.Post("read", {{"register", "NOPE"}}, &iStatus);
    EXPECT_EQ(iStatus, 422);
    EXPECT_EQ(Answer["error"], "Invalid register submitted: NOPE");
    EXPECT_EQ(Answer["reports"][0]["function"], "CHWDeviceBase::ServiceRead");
    Answer = S.Post("value", {{"register", "AUD_CNTRL0"}, {"signal", "NOPE"}}, &iStatus);
    EXPECT_EQ(iStatus, 422);
    EXPECT_EQ(Answer, json({{"error", "Function not found!"}, {"reports", json::array()}}));
    EXPECT_EQ(S.Post("lock", {{"register", "AUD_CNTRL0"}, {"signal", "NOPE"}}, &iStatus)["error"],
              "Invalid register submitted! : AUD_CNTRL0");

    // Succeeded, with reports: a refused direction, a read-back that never gets ready.
    Answer = S.Post("write", {{"register", "PRI_SERVAL"}, {"signal", "SERVAL"}, {"values", {"1/d"}}}, &iStatus);
    EXPECT_EQ(iStatus, 200);
    EXPECT_EQ(Answer["reports"][0]["message"], ",No write access allowed!");
    EXPECT_EQ(Answer["reports"][0]["accessDenied"], true);
    S.Host.Bus.m_udwReadyAfterPolls = 0;
    Answer = S.Post("read", {{"register", "AUD_CNTRL0"}}, &iStatus);
    EXPECT_EQ(iStatus, 200);
    EXPECT_EQ(Answer["values"], json({"FFFFFFFF/h"}));
    EXPECT_EQ(Answer["reports"][0]["message"], ",HW device not ready!");
    // A host exception outside the read-back reaches the client; the service stays up.
    S.Host.Bus.m_udwReadyAfterPolls = 1;
    S.Host.Bus.m_iThrowOnRead = -1;
    Answer = S.Post("read", {{"register", "DIN_MS_DET_LOW"}}, &iStatus);
    EXPECT_EQ(iStatus, 500);
    EXPECT_EQ(Answer["error"], "host fault: simulated bus fault");
    Answer = S.Post("read", {{"register", "AUD_CNTRL0"}}, &iStatus);
    EXPECT_EQ(iStatus, 200);
    EXPECT_EQ(Answer["reports"][0]["message"], ",Unknown error!") << "the read-back catches it";
    S.Host.Bus.m_iThrowOnRead = 0;
    EXPECT_EQ(S.Post("read", {{"register", "AUD_CNTRL0"}}, &iStatus)["reports"], json::array());
}

TEST(Service, BadRequestsAreRefusedAndChangeNothing)
{
    SServed S;
    SServed ReadOnly(true);
    struct SCase
    {
        const char* m_pcMethod;
        const char* m_pcPath;
        std::string m_strBody;
        int m_iStatus;
        const char* m_pcError;  // the start of the error text
    };
    const std::string strHuge(rlzev::CDeviceService::kMaxBody + 1, ' ');
    json TooMany = {{"register", "SWP_DATA_RAM"}, {"values", json::array()}};
    for (unsigned i = 0; i <= rlzev::CDeviceService::kMaxValues; ++i)
        TooMany["values"].push_back("1/d");
    const SCase aCases[] = {
        {"POST", "/api/v1/write", "{\"register\": ", 400, "malformed JSON body"},
        {"POST", "/api/v1/write", "[1, 2]", 400, "the body must be a JSON object"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL"})", 400, "missing field 'values'"},
        {"POST", "/api/v1/write", R"({"signal":"TRIG_SEL","values":["1/d"]})", 400, "missing field 'register'"},
        {"POST", "/api/v1/write", R"({"register":7,"values":["1/d"]})", 400, "field 'register' must be a string"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":"1/d"})", 400, "field 'values' must be an array"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":[1]})", 400, "field 'values' must be an array"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":["1 /d"]})", 400, "a value text has printable"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":[""]})", 400, "a value text has 1 to 64"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":["1/d"],"force":true})", 400, "unknown field 'force'"},
        {"POST", "/api/v1/write", R"({"register":"AUD CNTRL0","signal":"TRIG_SEL","values":["1/d"]})", 400, "field 'register' is not a register or signal name"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"../x","values":["1/d"]})", 400, "field 'signal' is not"},
        {"POST", "/api/v1/write", "{\"register\":\"" + std::string(65, 'A') + "\",\"values\":[\"1/d\"]}", 400, "field 'register' is not"},
        {"POST", "/api/v1/write", R"({"register":"ENT_H1","values":["1/d","2/d"],"start":6})", 400, "range beyond the memory: ENT_H1 has words 0 to 6, the request names words 6 to 7"},
        {"POST", "/api/v1/write", R"({"register":"ENT_H1","values":["1/d"],"start":-1})", 400, "field 'start' must be an unsigned 32-bit integer"},
        {"POST", "/api/v1/write", R"({"register":"ENT_H1","values":["1/d"],"start":4294967296})", 400, "field 'start' must be"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","values":["1/d","2/d"]})", 400, "AUD_CNTRL0 is a one-word register"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","values":["1/d"],"start":1})", 400, "AUD_CNTRL0 is a one-word register"},
        {"POST", "/api/v1/write", TooMany.dump(), 400, "too many values"},
        {"POST", "/api/v1/write", strHuge, 413, "request body larger than"},
        {"POST", "/api/v1/read", R"({"register":"ENT_H1","start":8,"count":0})", 400, "range beyond the memory: ENT_H1 has words 0 to 6, the request starts at word 8"},
        {"POST", "/api/v1/read", R"({"register":"SWP_DATA_RAM","count":49153})", 400, "range beyond the memory"},
        {"POST", "/api/v1/read", R"({"register":"ENT_H1","count":1.5})", 400, "field 'count' must be"},
        {"POST", "/api/v1/lock", R"({"register":"AUD_CNTRL0"})", 400, "missing field 'signal'"},
        {"POST", "/api/v1/logging", R"({"register":"AUD_CNTRL0","signal":"ALL","enable":"yes"})", 400, "field 'enable' must be true or false"},
        {"POST", "/api/v1/defaults", R"({"trace":1})", 400, "field 'trace' must be true or false"},
        {"GET", "/api/v1/write", "", 405, "GET is not allowed for /api/v1/write: use POST"},
        {"POST", "/api/v1/snapshot", "", 405, "POST is not allowed"},
        {"DELETE", "/api/v1/registers", "", 405, "DELETE is not allowed"},
        {"GET", "/api/v1/registers/AUD-CNTRL0", "", 400, "not a register name"},
        {"GET", "/api/v1/registers/NOPE", "", 404, "Invalid register submitted: NOPE"},
        {"GET", "/api/v2/device", "", 404, "no such operation"},
        {"GET", "/api/v1/device", "{}", 400, "a GET has no body"},
    };
    const std::string strBefore = S.State();
    for (const SCase& Case : aCases)
    {
        SCOPED_TRACE(std::string(Case.m_pcMethod) + " " + Case.m_pcPath + " " + Case.m_strBody.substr(0, 100));
        int iStatus = 0;
        const json Answer = S.Call(Case.m_pcMethod, Case.m_pcPath, Case.m_strBody, &iStatus);
        EXPECT_EQ(iStatus, Case.m_iStatus);
        EXPECT_EQ(Answer["error"].get<std::string>().rfind(Case.m_pcError, 0), 0u) << Answer["error"];
        EXPECT_EQ(S.State(), strBefore);
    }

    // No token, a wrong one, one of another length, a token without its scheme: 401.
    const std::string strWrite = R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":["MARKER_SIG_3"]})";
    for (const std::string& strAuthorization :
         {std::string(), "Bearer " + kToken.substr(0, 31) + "0", "Bearer " + kToken + "0", std::string("Bearer "), kToken, "Basic " + kToken})
    {
        int iStatus = 0;
        const json Answer = S.Call("POST", "/api/v1/write", strWrite, &iStatus, strAuthorization);
        EXPECT_EQ(iStatus, 401) << strAuthorization;
        EXPECT_EQ(S.Call("GET", "/api/v1/device", "", &iStatus, strAuthorization).count("name"), 0u);
        EXPECT_EQ(iStatus, 401);
    }
    EXPECT_EQ(S.State(), strBefore);

    // Read-only: every changing request 403, reads served.
    const std::string strReadOnlyBefore = ReadOnly.State();
    for (const char* pcOperation : {"write", "lock", "unlock", "logging", "defaults"})
    {
        int iStatus = 0;
        const json Answer = ReadOnly.Call("POST", std::string("/api/v1/") + pcOperation, strWrite, &iStatus);
        EXPECT_EQ(iStatus, 403) << pcOperation;
        EXPECT_EQ(Answer["error"], std::string("the server is read-only: ") + pcOperation + " is refused");
    }
    EXPECT_EQ(ReadOnly.State(), strReadOnlyBefore);
    int iStatus = 0;
    EXPECT_EQ(ReadOnly.Post("value", {{"register", "DIN_DITHER"}, {"signal", "INITVALUE_IM"}}, &iStatus)["values"], json({"37"}));
    EXPECT_EQ(iStatus, 200);
}

TEST(Service, AuditsEveryChangingRequestAndNeverTheToken)
{
    SServed S;
    S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"32/d"}}});
    S.Post("read", {{"register", "DIN_CNTRL0"}});
    S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"256/d"}}});
    S.Call("POST", "/api/v1/unlock", R"({"register":"ALL","signal":"ALL"})", nullptr, "Bearer wrong");
    S.Post("defaults", json::object());
    std::istringstream Lines(S.Audit.str());
    std::vector<json> Audit;
    for (std::string strLine; std::getline(Lines, strLine);)
        Audit.push_back(json::parse(strLine));
    ASSERT_EQ(Audit.size(), 4u) << S.Audit.str();
    EXPECT_EQ(Audit[0]["client"], "127.0.0.1");
    EXPECT_EQ(Audit[0]["operation"], "write");
    EXPECT_EQ(Audit[0]["register"], "DIN_CNTRL0");
    EXPECT_EQ(Audit[0]["signal"], "FIFOLEVEL");
    EXPECT_EQ(Audit[0]["values"], json({"32/d"}));
    EXPECT_EQ(Audit[0]["result"], "ok");
    EXPECT_EQ(Audit[0]["time"].get<std::string>().size(), 20u);
    EXPECT_EQ(Audit[1]["status"], 422);
    EXPECT_EQ(Audit[1]["result"], "Value limit exceeded: 256/d,");
    EXPECT_EQ(Audit[2]["operation"], "unlock");
    EXPECT_EQ(Audit[2]["status"], 401);
    EXPECT_EQ(Audit[3]["operation"], "defaults");
    EXPECT_NE(Audit[3]["result"].get<std::string>().find("report(s)"), std::string::npos);
    EXPECT_EQ(S.Audit.str().find(kToken), std::string::npos);
}

TEST(Service, HooksForwardEveryCallAndTellOfIt)
{
    // The same operations on a bare simulated device and on one behind the hooks: the
    // same transfers reach the bus, and the answer's events tell them in order.
    std::ostringstream Reports;
    SSimulatedHost Bare(Reports);
    std::ostringstream Trace;
    Bare.Bus.SetTrace(&Trace);
    CZEV Plain(&Bare.Bus, &Bare.Utility, &Bare.Status);
    std::string strError;
    ASSERT_TRUE(Plain.ServiceWrite("AUD_CNTRL0", "TRIG_SEL", {"MARKER_SIG_3"}, strError, 0));
    std::list<std::string> Values;
    ASSERT_TRUE(Plain.ServiceRead("AUD_CNTRL0", "", Values, strError, 0, 1));
    const std::vector<std::string> Ten(10, "171/d");  // a memory transfer is shown by its first words
    ASSERT_TRUE(Plain.ServiceWrite("PWR_RAMP", "", {Ten.begin(), Ten.end()}, strError, 0));
    const auto Counters = Bare.Bus.m_Counters;

    SServed S;
    const auto Before = S.Host.Bus.m_Counters;
    json Events = S.Post("write", {{"register", "AUD_CNTRL0"}, {"signal", "TRIG_SEL"}, {"values", {"MARKER_SIG_3"}}, {"trace", true}})["events"];
    const json Read = S.Post("read", {{"register", "AUD_CNTRL0"}, {"trace", true}});
    const json Memory = S.Post("write", {{"register", "PWR_RAMP"}, {"values", Ten}, {"trace", true}});
    for (const json* pAnswer : {&Read, &Memory})
        for (const json& Event : (*pAnswer)["events"])
            Events.push_back(Event);
    std::string strEvents;
    for (const json& Event : Events)
        strEvents += Event["text"].get<std::string>() + "\n";
    EXPECT_EQ(strEvents, Trace.str());
    EXPECT_EQ(S.Host.Bus.m_Counters.m_uReads - Before.m_uReads, Counters.m_uReads);
    EXPECT_EQ(S.Host.Bus.m_Counters.m_uWrites - Before.m_uWrites, Counters.m_uWrites);
    EXPECT_EQ(S.Host.Bus.m_Counters.m_uWaits - Before.m_uWaits, Counters.m_uWaits);

    // Reports take their place among the transfers, and go on to the host's own utility.
    S.Host.Utility.m_bQuietAccessDenied = false;
    const json Denied = S.Post("write", {{"register", "PRI_SERVAL"}, {"signal", "SERVAL"}, {"values", {"1/d"}}, {"trace", true}});
    ASSERT_EQ(Denied["events"].size(), 1u);
    EXPECT_EQ(Denied["events"][0]["type"], "report");
    EXPECT_EQ(Denied["events"][0]["message"], ",No write access allowed!");
    EXPECT_EQ(S.Reports.str(), "ParallelRead:14: CParallelRead::Write: ,No write access allowed!\n");
}

TEST(Service, TokensAreRandomPrivateAndComparedWhole)
{
    const std::string strA = rlzev::NewToken(), strB = rlzev::NewToken();
    EXPECT_EQ(strA.size(), 64u);
    EXPECT_EQ(strA.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(strA, strB);
    EXPECT_TRUE(rlzev::SameToken(strA, strA));
    EXPECT_FALSE(rlzev::SameToken(strA, strA.substr(0, 63)));
    EXPECT_FALSE(rlzev::SameToken(strA, strA + "0"));
    EXPECT_FALSE(rlzev::SameToken(strA, strB));
    EXPECT_FALSE(rlzev::SameToken("", "")) << "no token configured lets nobody in";

    const std::string strPath = testing::TempDir() + "zevd-token-test";
    std::ofstream(strPath) << "old";
    ASSERT_TRUE(rlzev::WriteTokenFile(strPath, strA));
    EXPECT_EQ(rlzev::ReadTokenFile(strPath), strA);
#ifndef _WIN32
    struct stat Status {};
    ASSERT_EQ(::stat(strPath.c_str(), &Status), 0);
    EXPECT_EQ(Status.st_mode & 0777, 0600u);
#endif
    std::remove(strPath.c_str());
}

namespace
{
// Polls every 2 ms until the condition holds or the tries run out.
void WaitFor(const std::function<bool()>& a_Done, int a_iTries = 500)
{
    for (int i = 0; i < a_iTries && !a_Done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// The service on a loopback port, as zevd runs it.
struct SServer
{
    explicit SServer(bool a_bReadOnly = false) : Served(a_bReadOnly), Http(Served.Service)
    {
        iPort = Http.Bind("127.0.0.1", 0);
        Thread = std::thread([this] { Http.Run(); });
        WaitFor([this] { return Http.IsRunning(); });
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

struct SZevctl
{
    int m_iCode;
    std::string m_strOut, m_strErr;
};

SZevctl Zevctl(const std::vector<std::string>& a_rArgs)
{
    std::istringstream In;
    std::ostringstream Out, Err;
    const int iCode = RunZevctl(a_rArgs, In, Out, Err);
    return {iCode, Out.str(), Err.str()};
}

void SetEnvironment(const char* a_pcName, const std::string& a_strValue)
{
#ifdef _WIN32
    _putenv((std::string(a_pcName) + "=" + a_strValue).c_str());  // copied; an empty value removes it
#else
    if (a_strValue.empty())
        unsetenv(a_pcName);
    else
        setenv(a_pcName, a_strValue.c_str(), 1);
#endif
}

std::string TokenFile()
{
    const std::string strPath = testing::TempDir() + "zevd-token-http";
    rlzev::WriteTokenFile(strPath, kToken);
    return strPath;
}
} // namespace

TEST(ServiceHttp, ZevctlRunsTheServiceSessionAlikeInProcessAndOnAServer)
{
    const std::string strScript = testing::TempDir() + "session.zev";
    std::ofstream(strScript) << "# A service session: put test values on the hardware, look, give them back.\n"
                                "read DIN_CNTRL0 ROUND_MODE\n"
                                "write DIN_CNTRL0 ROUND_MODE CUT_24_BIT\n"
                                "write DIN_CNTRL0 FIFOLEVEL 0x20/h\n"
                                "get DIN_CNTRL0 FIFOLEVEL\n"
                                "unlock DIN_CNTRL0 ALL        # the application's values go back\n"
                                "read DIN_CNTRL0\n"
                                "write ENT_H1 - 1/d -2/d 0xABC/h\n"
                                "read ENT_H1 --count 3\n"
                                "write DIN_CNTRL0 FIFOLEVEL 256/d\n";
    const std::vector<std::vector<std::string>> Commands = {
        {"run", strScript},
        {"--trace", "write", "AUD_CNTRL0", "TRIG_SEL", "MARKER_SIG_3"},
        {"--trace", "read", "PRI_SERVAL"},
        {"write", "PRI_SERVAL", "SERVAL", "1/d"},
        {"list", "DIN_MS_DET_LOW"},
        {"list"},
        {"list", "NOPE"},
        {"get", "AUD_CNTRL0", "NOPE"},
        {"read", "ENT_H1", "--start", "8", "--count", "0"},
        {"snapshot"}};
    // In-process first: reports reach the first device's utility while it lives, and the
    // server's device is one.
    std::vector<SZevctl> Local;
    for (const std::vector<std::string>& Args : Commands)
        Local.push_back(Zevctl(Args));
    EXPECT_EQ(Local[0].m_iCode, 1);
    EXPECT_EQ(Local[0].m_strOut, "ROUND_18_BIT\n32\n00000004/h\n00000001/h\nFFFFFFFE/h\n00000ABC/h\n");
    EXPECT_NE(Local[0].m_strErr.find("CSignalBase::ServiceWrite: Value limit exceeded: 256/d,\nzevctl: stopped at line 10\n"),
              std::string::npos) << Local[0].m_strErr;

    SServer Server;
    ASSERT_GT(Server.iPort, 0);
    const std::string strTokens = TokenFile();
    for (std::size_t i = 0; i < Commands.size(); ++i)
    {
        SCOPED_TRACE(testing::PrintToString(Commands[i]));
        std::vector<std::string> Args = {"--connect", Server.strUrl, "--token-file", strTokens};
        Args.insert(Args.end(), Commands[i].begin(), Commands[i].end());
        if (Commands[i][0] == "snapshot")
        {
            ASSERT_EQ(Zevctl({"--connect", Server.strUrl, "--token-file", strTokens, "defaults"}).m_iCode, 0);
        }
        const SZevctl Remote = Zevctl(Args);
        EXPECT_EQ(Remote.m_iCode, Local[i].m_iCode);
        EXPECT_EQ(Remote.m_strOut, Local[i].m_strOut);
        EXPECT_EQ(Remote.m_strErr, Local[i].m_strErr);
    }
}

TEST(ServiceHttp, StateStaysAcrossInvocationsAndStrangersStayOut)
{
    SServer Server;
    const std::string strTokens = TokenFile();
    const std::vector<std::string> Connect = {"--connect", Server.strUrl, "--token-file", strTokens};
    auto With = [&](std::vector<std::string> a_Args) {
        a_Args.insert(a_Args.begin(), Connect.begin(), Connect.end());
        return Zevctl(a_Args);
    };
    EXPECT_EQ(With({"write", "DIN_CNTRL0", "FIFOLEVEL", "33/d"}).m_iCode, 0);
    EXPECT_EQ(With({"get", "DIN_CNTRL0", "FIFOLEVEL"}).m_strOut, "33\n");
    // The token from the environment, unless a token file is named.
    SetEnvironment("ZEVD_TOKEN", kToken);
    EXPECT_EQ(Zevctl({"--connect", Server.strUrl, "get", "DIN_CNTRL0", "FIFOLEVEL"}).m_strOut, "33\n");
    SetEnvironment("ZEVD_TOKEN", "ffff");
    EXPECT_EQ(With({"get", "DIN_CNTRL0", "FIFOLEVEL"}).m_strOut, "33\n");
    SetEnvironment("ZEVD_TOKEN", "");

    const std::string strWrong = testing::TempDir() + "zevd-token-wrong";
    rlzev::WriteTokenFile(strWrong, "ffffffffffffffffffffffffffffffff");
    const auto Before = Server.Served.State();
    SZevctl R = Zevctl({"--connect", Server.strUrl, "--token-file", strWrong, "write", "DIN_CNTRL0", "FIFOLEVEL", "1/d"});
    EXPECT_EQ(R.m_iCode, 4) << "the exit code the help names";
    EXPECT_EQ(R.m_strErr, "zevctl: the server refused the token: missing or wrong token: send \"Authorization: Bearer <token>\"\n");
    EXPECT_EQ(Server.Served.State(), Before);
    R = Zevctl({"--connect", "http://127.0.0.1:1", "--token-file", strTokens, "snapshot"});
    EXPECT_EQ(R.m_iCode, ZEVCTL_UNREACHABLE);
    EXPECT_EQ(R.m_strErr.rfind("zevctl: no answer from the server: ", 0), 0u);
    // Something else answers at the address: said so, not taken for the service.
    httplib::Server Other;
    Other.Get(".*", [](const httplib::Request&, httplib::Response& a_rResponse) {
        a_rResponse.status = 502;
        a_rResponse.set_content("<html>bad gateway</html>", "text/html");
    });
    const int iOther = Other.bind_to_any_port("127.0.0.1");
    std::thread OtherThread([&] { Other.listen_after_bind(); });
    WaitFor([&] { return Other.is_running(); });
    R = Zevctl({"--connect", "http://127.0.0.1:" + std::to_string(iOther), "--token-file", strTokens, "snapshot"});
    Other.stop();
    OtherThread.join();
    EXPECT_EQ(R.m_iCode, ZEVCTL_UNREACHABLE);
    EXPECT_EQ(R.m_strErr, "zevctl: the server answered 502 without a JSON body\n");

    // No CORS: a page of another origin gets no permission, a preflight no answer but 401.
    httplib::Client Client(Server.strUrl);
    auto Result = Client.Options("/api/v1/write", {{"Origin", "http://elsewhere.example"},
                                                   {"Access-Control-Request-Method", "POST"}});
    ASSERT_TRUE(Result);
    EXPECT_EQ(Result->status, 401);
    EXPECT_FALSE(Result->has_header("Access-Control-Allow-Origin"));
    Result = Client.Get("/api/v1/device", {{"Origin", "http://elsewhere.example"}, {"Authorization", "Bearer " + kToken}});
    ASSERT_TRUE(Result);
    EXPECT_EQ(Result->status, 200);
    EXPECT_FALSE(Result->has_header("Access-Control-Allow-Origin"));
    // The console's own files need no token and carry a content security policy; the API
    // behind them does.
    Result = Client.Get("/");
    ASSERT_TRUE(Result);
    EXPECT_EQ(Result->status, 200);
    EXPECT_EQ(Result->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(Result->get_header_value("Content-Security-Policy").rfind("default-src 'self'", 0), 0u);
    EXPECT_EQ(Result->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(Result->get_header_value("Referrer-Policy"), "no-referrer");
    EXPECT_NE(Result->body.find("<script src=\"console.js\">"), std::string::npos);
    EXPECT_EQ(Client.Get("/reference.js")->body.rfind("window.ZEV_REFERENCE = null;", 0), 0u) << "no map without a token";
    EXPECT_EQ(Client.Get("/console.css")->status, 200);
    EXPECT_EQ(Client.Get("/api/v1/map")->status, 401);
    EXPECT_EQ(Client.Get("/favicon.ico")->status, 401);
    // An oversized body never reaches the service.
    Result = Client.Post("/api/v1/write", {{"Authorization", "Bearer " + kToken}},
                         std::string(rlzev::CDeviceService::kMaxBody + 1, '{'), "application/json");
    ASSERT_TRUE(Result);
    EXPECT_EQ(Result->status, 413);
    EXPECT_EQ(Server.Served.State(), Before);
}

TEST(ServiceHttp, TheEventStreamTellsTransfersReportsAndLogLines)
{
    SServer Server;
    httplib::Client Listener(Server.strUrl);
    std::string strStream;
    std::mutex StreamMutex;
    std::atomic<bool> bEnough(false);
    std::thread Reader([&] {
        Listener.Get("/api/v1/events", {{"Authorization", "Bearer " + kToken}}, [&](const char* a_pcData, size_t a_uLength) {
            std::lock_guard<std::mutex> Lock(StreamMutex);
            strStream.append(a_pcData, a_uLength);
            return !bEnough.load();
        });
    });
    WaitFor([&] { return Server.Served.Hooks.Events().HasSubscribers(); });
    ASSERT_TRUE(Server.Served.Hooks.Events().HasSubscribers());
    rlzev::CHttpClient Client(Server.strUrl, kToken);
    rlzev::SHttpResponse Response;
    std::string strError;
    auto Post = [&](const std::string& a_strOperation, const json& a_rBody) {
        ASSERT_TRUE(Client.Send("POST", "/api/v1/" + a_strOperation, a_rBody.dump(), Response, strError)) << strError;
    };
    Post("logging", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"enable", true}});
    Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"33/d"}}});
    Post("write", {{"register", "PRI_SERVAL"}, {"signal", "SERVAL"}, {"values", {"1/d"}}});
    // The host's own calls show too.
    {
        std::lock_guard<std::mutex> Lock(Server.Served.Mutex);
        Server.Served.Device.DIN_CNTRL0.FIFOLEVEL.Set(7, CSignalBase::HW_WRITE_IMMEDIATE);
    }
    WaitFor(
        [&] {
            std::lock_guard<std::mutex> Lock(StreamMutex);
            return strStream.find("No write access") != std::string::npos;
        },
        1000);
    bEnough = true;
    Post("read", {{"register", "AUD_CNTRL0"}});  // one more event lets the reader see it is done
    Reader.join();
    EXPECT_NE(strStream.find("event: transfer\ndata: {\"text\":\"bus: W 0x00100 4 0x"), std::string::npos) << strStream;
    EXPECT_NE(strStream.find("event: log\ndata: {\"text\":\""), std::string::npos) << strStream;
    EXPECT_NE(strStream.find("event: report\ndata: {\"accessDenied\":true"), std::string::npos) << strStream;
}

TEST(ServiceHttp, EightClientsAtOnceLeaveExactlyWhatTheyWrote)
{
    SServer Server;
    // One plain numeric field of its own for every client.
    struct SField
    {
        std::string m_strRegister, m_strSignal;
        unsigned m_udwMax;
    };
    std::vector<SField> Fields;
    for (unsigned i = 0; i < g_udwZevRegisterCount && Fields.size() < 8; ++i)
    {
        const SMapRegister& Reg = g_aZevRegisterMap[i];
        if (std::string(Reg.m_pcAccess) != "CParallelRead_ParallelWrite" || Reg.m_bStatus || Reg.m_udwWords != 1)
            continue;
        for (unsigned s = 0; s < Reg.m_udwSignalCount; ++s)
            if (Reg.m_pSignals[s].m_udwWidth >= 8 && Reg.m_pSignals[s].m_udwEnumeratorCount == 0)
            {
                Fields.push_back({Reg.m_pcName, Reg.m_pSignals[s].m_pcName, (1u << 8) - 1});
                break;
            }
    }
    ASSERT_EQ(Fields.size(), 8u);
    const unsigned kRequests = 5000;
    std::atomic<unsigned> uFailed(0);
    std::vector<std::thread> Clients;
    for (unsigned c = 0; c < 8; ++c)
        Clients.emplace_back([&, c] {
            rlzev::CHttpClient Client(Server.strUrl, kToken);
            const SField& F = Fields[c];
            const std::string strName = R"({"register":")" + F.m_strRegister + R"(","signal":")" + F.m_strSignal + "\"";
            rlzev::SHttpResponse Response;
            std::string strError;
            for (unsigned i = 0; i < kRequests; ++i)
            {
                bool bSent = false;
                switch (i % 4)
                {
                case 0:
                    bSent = Client.Send("POST", "/api/v1/write",
                                        strName + ",\"values\":[\"" + std::to_string((i + c) & F.m_udwMax) + "/d\"]}", Response, strError);
                    break;
                case 1: bSent = Client.Send("POST", "/api/v1/value", strName + "}", Response, strError); break;
                case 2: bSent = Client.Send("POST", "/api/v1/read", strName + "}", Response, strError); break;
                default: bSent = Client.Send("GET", "/api/v1/registers/" + F.m_strRegister, "", Response, strError); break;
                }
                if (!bSent || Response.m_iStatus != 200 || Response.m_strBody.find("\"reports\":[{") != std::string::npos)
                    ++uFailed;
            }
        });
    for (std::thread& Client : Clients)
        Client.join();
    EXPECT_EQ(uFailed.load(), 0u);
    for (unsigned c = 0; c < 8; ++c)
    {
        const unsigned udwLast = ((kRequests - 4) + c) & Fields[c].m_udwMax;
        std::lock_guard<std::mutex> Lock(Server.Served.Mutex);
        EXPECT_EQ(Server.Served.Device.GetValueByString(Fields[c].m_strRegister, Fields[c].m_strSignal),
                  std::list<std::string>{std::to_string(udwLast)})
            << Fields[c].m_strRegister;
    }

    // Bus faults reach the client as reports and errors; the server stays up.
    rlzev::CHttpClient Client(Server.strUrl, kToken);
    rlzev::SHttpResponse Response;
    std::string strError;
    {
        std::lock_guard<std::mutex> Lock(Server.Served.Mutex);
        Server.Served.Host.Bus.m_udwReadyAfterPolls = 0;
    }
    ASSERT_TRUE(Client.Send("POST", "/api/v1/read", R"({"register":"AUD_CNTRL0"})", Response, strError));
    EXPECT_NE(Response.m_strBody.find(",HW device not ready!"), std::string::npos);
    {
        std::lock_guard<std::mutex> Lock(Server.Served.Mutex);
        Server.Served.Host.Bus.m_iThrowOnRead = -1;
    }
    ASSERT_TRUE(Client.Send("POST", "/api/v1/read", R"({"register":"DIN_MS_DET_LOW"})", Response, strError));
    EXPECT_EQ(Response.m_iStatus, 500);
    ASSERT_TRUE(Client.Send("GET", "/api/v1/device", "", Response, strError));
    EXPECT_EQ(Response.m_iStatus, 200);
}

TEST(Service, TheEventHubBoundsItsClientsAndTheirQueues)
{
    rlzev::CEventHub Hub(1, 3);
    Hub.Publish("log", "lost: nobody listens");
    std::shared_ptr<rlzev::CEventHub::CSubscription> pFirst = Hub.Subscribe();
    ASSERT_TRUE(pFirst);
    EXPECT_FALSE(Hub.Subscribe()) << "one client at most";
    for (int i = 1; i <= 5; ++i)
        Hub.Publish("log", std::to_string(i));
    std::vector<rlzev::SEvent> Events;
    unsigned long long uDropped = 0;
    EXPECT_TRUE(pFirst->Take(Events, uDropped, 0));
    ASSERT_EQ(Events.size(), 3u) << "a slow client loses its oldest events";
    EXPECT_EQ(Events.front().m_strData, "3");
    EXPECT_EQ(Events.back().m_strData, "5");
    EXPECT_EQ(uDropped, 2u);
    pFirst.reset();
    EXPECT_FALSE(Hub.HasSubscribers());
    std::shared_ptr<rlzev::CEventHub::CSubscription> pSecond = Hub.Subscribe();
    ASSERT_TRUE(pSecond) << "a place frees when a client leaves";
    Hub.Close();
    EXPECT_FALSE(pSecond->Take(Events, uDropped, 1000)) << "closing wakes and ends every stream";
    EXPECT_FALSE(Hub.Subscribe());
}
