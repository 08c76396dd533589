// The device service in-process: what only the service does (the operations themselves and
// their answers: the conformance cases): the device's description, batches and block reads,
// every kind of bad request refused with nothing changed, limits, a read-only server that
// changes nothing, tokens, register sets and the audit log.
#include "Answered.h"
#include "AuditLog.h"
#include "Console.h"
#include "ServedDevice.h"
#include "Token.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <csignal>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace rlzevtest;

namespace
{
// The answer to a request, its status as expected.
json Posted(SServed& a_rS, int a_iStatus, const std::string& a_strOperation, const json& a_rBody)
{
    int iStatus = 0;
    json Answer = a_rS.Post(a_strOperation, a_rBody, &iStatus);
    EXPECT_EQ(iStatus, a_iStatus) << a_strOperation << " " << a_rBody.dump().substr(0, 200) << ": " << Answer.dump().substr(0, 200);
    return Answer;
}
// A POST with the token, as a host hands it to the service itself.
rlzev::SHttpRequest Request(const std::string& a_strPath, const std::string& a_strBody = "")
{
    rlzev::SHttpRequest Request;
    Request.m_strMethod = "POST";
    Request.m_strPath = a_strPath;
    Request.m_strAuthorization = "Bearer " + kToken;
    Request.m_strBody = a_strBody;
    return Request;
}
json View(SServed& a_rS, const std::string& a_strRegister)
{
    return a_rS.Call("GET", "/api/v1/registers/" + a_strRegister, "");
}
// What the audit lines name, in order.
std::vector<std::string> Audited(SServed& a_rS, const char* a_pcField = "operation")
{
    a_rS.Service.Audit().Flush();
    std::vector<std::string> Found;
    for (const json& Line : a_rS.AuditLines())
        Found.push_back(Line[a_pcField].is_array() ? Line[a_pcField][0] : Line[a_pcField]);
    return Found;
}
} // namespace

TEST(Service, ServesTheDeviceItsRegistersAndTheirStates)
{
    SServed S;
    EXPECT_EQ(S.Call("GET", "/api/v1/device", ""), json({{"name", "ZEV"}, {"xmlVersion", "PD_ZEV.xml@@/main/kem_main/1"},
                                                         {"generatorVersion", "1.1.0.0"}, {"readOnly", false},
                                                         {"limits", {{"bodyBytes", 1048576}, {"operations", 16384}, {"words", 65536}}}}));
    const json List = S.Call("GET", "/api/v1/registers", "");
    ASSERT_EQ(List["registers"].size(), 441u);
    EXPECT_EQ(List["registers"][0].dump(), R"({"access":"CSequentialRead_ParallelWrite","address":3584,"name":"AUD_CNTRL0","signals":5,"status":false,"width":24,"words":1})");
    json Reg = View(S, "DIN_MS_DET_LOW");
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
    EXPECT_EQ(Signal(View(S, "PRI_SERVAL"), "SERVAL")["max"], 0xFFFFFFFFu);
    // The hardware word as last written (by the longest value text, 64 characters), looked at
    // without a transfer, and the locks.
    EXPECT_EQ(S.Post("write", {{"register", "DIN_MS_DET_LOW"}, {"signal", "MS_DET_LOW"}, {"values", {std::string(61, '0') + "5/d"}}}),
              json({{"reports", json::array()}}));
    const auto uReads = S.Host.Bus.m_Counters.m_uReads;
    Reg = View(S, "DIN_MS_DET_LOW");
    EXPECT_EQ(Reg["hardwareWord"].get<unsigned>() & 0x1F, 5u);
    EXPECT_EQ(Reg["lock"], "UNLOCKED");
    EXPECT_EQ(Signal(Reg, "MS_DET_LOW")["lock"], "LOCKED");
    EXPECT_EQ(S.Host.Bus.m_Counters.m_uReads, uReads);
    const json State = S.Post("state", {{"register", "DIN_MS_DET_LOW"}, {"trace", true}});
    EXPECT_EQ(State["lock"], "UNLOCKED");
    EXPECT_EQ(State["signals"], json::parse(R"([{"name": "MS_DET_LOW", "lock": "LOCKED"}, {"name": "IN0_SELDIR", "lock": "UNLOCKED"},
                                                {"name": "IN1_SELDIR", "lock": "UNLOCKED"}])"));
    EXPECT_EQ(State["hardwareWord"].get<unsigned>() & 0x1F, 5u);
    EXPECT_EQ(State["events"], json::array()) << "traced, and nothing happened";
    EXPECT_EQ(S.Post("state", {{"register", "ENT_H1"}})["signals"], json::array()) << "a memory has no signals";

    // The snapshot, as the device itself makes it.
    std::ostringstream Direct;
    S.Runtime.Run([&](CZEV& a_rDevice) { a_rDevice.SnapShot(Direct); });
    const json Snapshot = S.Call("GET", "/api/v1/snapshot", "");
    EXPECT_EQ(Snapshot["snapshot"], Direct.str());
    EXPECT_TRUE(Snapshot["reports"][0]["accessDenied"]) << "write-only registers are met; their refused reads are reported";
}

TEST(Service, LibraryRefusalsAndReportsReachTheClientVerbatim)
{
    SServed S;
    // A report's fields beyond its message (the texts and classes: the conformance cases).
    const json Report = S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"256/d"}}})["reports"][0];
    EXPECT_EQ(Report["file"], "SignalBase");
    EXPECT_EQ(Report["function"], "CSignalBase::ServiceWrite");
    EXPECT_EQ(Report["accessDenied"], false);
    EXPECT_EQ(S.Post("read", {{"register", "NOPE"}})["reports"][0]["function"], "CHWDeviceBase::ServiceRead");
    // What a refusal quotes comes back as it was sent: UTF-8, not escaped.
    EXPECT_EQ(S.Service.Handle(Request("/api/v1/read", R"({"Z\u00c4HLER": 1})")).m_strBody, "{\"error\":\"unknown field 'Z\xC3\x84HLER'\"}");
    // Options left as they are serve a device that may be changed.
    rlzev::SServiceOptions Defaults;
    Defaults.m_strToken = kToken;
    rlzev::CDeviceService Writable(S.Runtime, Defaults);
    EXPECT_EQ(Writable.Handle(Request("/api/v1/write", R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL","values":["3/d"]})")).m_iStatus, 200);
    // A refused direction says so in its report, takes its place among the events, and goes
    // on to the host's own utility.
    S.Host.Utility.m_bQuietAccessDenied = false;
    S.Reports.str("");
    const json Denied = S.Post("write", {{"register", "PRI_SERVAL"}, {"signal", "SERVAL"}, {"values", {"1/d"}}, {"trace", true}});
    EXPECT_EQ(Denied["reports"][0]["accessDenied"], true);
    ASSERT_EQ(Denied["events"].size(), 1u);
    EXPECT_EQ(Denied["events"][0]["type"], "report");
    EXPECT_EQ(Denied["events"][0]["message"], ",No write access allowed!");
    EXPECT_EQ(S.Reports.str(), "ParallelRead:14: CParallelRead::Write: ,No write access allowed!\n");
}

TEST(Service, BadRequestsAreRefusedAndChangeNothing)
{
    SServed S;
    struct SCase
    {
        const char* m_pcMethod;
        const char* m_pcPath;
        std::string m_strBody;
        int m_iStatus;
        const char* m_pcError;  // the start of the error text
    };
    const std::string strHuge(rlzev::CDeviceService::kMaxBody + 1, ' ');
    std::string strLargest = "{\"register\": ";  // as large as a body may be: read, and found malformed
    strLargest.resize(rlzev::CDeviceService::kMaxBody, ' ');
    json TooMany = {{"register", "SWP_DATA_RAM"}, {"values", json::array()}};
    for (unsigned i = 0; i <= rlzev::CDeviceService::kMaxValues; ++i)
        TooMany["values"].push_back("1/d");
    json AsMany = TooMany;  // as many as one request takes: more than the memory has
    AsMany["values"].erase(AsMany["values"].begin());
    const json AsManyWords = {{"register", "SWP_DATA_RAM"}, {"words", std::vector<unsigned>(rlzev::CDeviceService::kMaxWords, 1)}};
    const json TooManyWords = {{"register", "SWP_DATA_RAM"}, {"words", std::vector<unsigned>(rlzev::CDeviceService::kMaxWords + 1, 1)}};
    const json Half = {{"op", "setBlock"}, {"register", "SWP_DATA_RAM"}, {"words", std::vector<unsigned>(40000, 1)}};
    const json TooManyInAll = {{"operations", {Half, Half}}};  // each within the limit, not both
    json AsManyOperations = {{"operations", std::vector<json>(16383, {{"op", "read"}, {"register", "X"}})}};
    AsManyOperations["operations"].push_back({{"op", "nope"}});  // counted first, then found wanting
    // Each writes every register: 441 words of the request's 65,536.
    const json TooManyDefaults = {{"operations", std::vector<json>(149, {{"op", "defaults"}})}};
    json TooManyOperations = AsManyOperations;
    TooManyOperations["operations"].push_back({{"op", "read"}, {"register", "X"}});
    const SCase aCases[] = {
        {"POST", "/api/v1/write", "[1, 2]", 400, "the body must be a JSON object"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL"})", 400, "missing field 'values'"},
        {"POST", "/api/v1/write", R"({"signal":"TRIG_SEL","values":["1/d"]})", 400, "missing field 'register'"},
        {"POST", "/api/v1/write", R"({"register":7,"values":["1/d"]})", 400, "field 'register' must be a string"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":"1/d"})", 400, "field 'values' must be an array"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":[1]})", 400, "field 'values' must be an array"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":["1 /d"]})", 400, "a value text has printable"},
        // The first and last printable characters are the library's to judge.
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":["!"]})", 422, "Invalid value(s) submitted: !,"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":["~"]})", 422, "Invalid value(s) submitted: ~,"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":[""]})", 400, "a value text has 1 to 64"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":["1/d"],"force":true})", 400, "unknown field 'force'"},
        {"POST", "/api/v1/write", R"({"register":"AUD CNTRL0","signal":"TRIG_SEL","values":["1/d"]})", 400, "field 'register' is not a register or signal name"},
        {"POST", "/api/v1/write", R"({"register":"AUD_CNTRL0","signal":"../x","values":["1/d"]})", 400, "field 'signal' is not"},
        {"POST", "/api/v1/write", "{\"register\":\"" + std::string(65, 'A') + "\",\"values\":[\"1/d\"]}", 400, "field 'register' is not"},
        {"POST", "/api/v1/write", "{\"register\":\"" + std::string(64, 'A') + "\",\"values\":[\"1/d\"]}", 422, "Invalid register submitted: AAA"},
        {"POST", "/api/v1/write", R"({"register":"ENT_H1","values":["1/d"],"start":-1})", 400, "field 'start' must be an unsigned 32-bit integer"},
        {"POST", "/api/v1/write", R"({"register":"ENT_H1","values":["1/d"],"start":4294967296})", 400, "field 'start' must be"},
        {"POST", "/api/v1/write", TooMany.dump(), 400, "too many values"},
        {"POST", "/api/v1/write", AsMany.dump(), 400, "range beyond the memory"},
        {"POST", "/api/v1/writeWords", AsManyWords.dump(), 400, "range beyond the memory"},
        {"POST", "/api/v1/batch", TooManyInAll.dump(), 400, "too many words: at most 65536 in one request"},
        {"POST", "/api/v1/batch", R"({"operations":[{"op":"read","register":"SWP_DATA_RAM","count":1},{"op":"read","register":"SWP_DATA_RAM","start":9,"count":1}]})",
         400, "too many words: at most 65536 in one request"},  // each read of a memory reads it whole
        {"POST", "/api/v1/batch", TooManyDefaults.dump(), 400, "too many words: at most 65536 in one request"},
        {"POST", "/api/v1/batch", AsManyOperations.dump(), 400, "no such operation: nope"},
        {"POST", "/api/v1/batch", TooManyOperations.dump(), 400, "a batch has 1 to 16384 operations"},
        {"POST", "/api/v1/batch", R"({"operations":5})", 400, "field 'operations' must be an array of operations"},
        {"POST", "/api/v1/batch", R"({"operations":[]})", 400, "a batch has 1 to 16384 operations"},
        {"POST", "/api/v1/batch", R"({"operations":{}})", 400, "field 'operations' must be an array of operations"},
        {"POST", "/api/v1/batch", R"({"operations":[{"register":"X"}]})", 400, "each operation is an object with its 'op'"},
        {"POST", "/api/v1/batch", R"({"operations":[{"op":"snapshot"}]})", 400, "no such operation: snapshot"},
        {"POST", "/api/v1/batch", R"({"operations":[{"op":"read","register":"X","values":[]}]})", 400, "unknown field 'values'"},
        {"POST", "/api/v1/batch", R"({"ops":[]})", 400, "unknown field 'ops'"},
        {"POST", "/api/v1/batch", R"({"operations":[{"op":"write","register":"DIN_CNTRL0","signal":"FIFOLEVEL","values":["1/d"]},{"op":"read","register":"ENT_H1","start":7,"count":1}]})",
         400, "range beyond the memory: ENT_H1 has words 0 to 6, the request names words 7 to 7"},  // one bad: none runs
        {"POST", "/api/v1/sets/apply", "{}", 400, "missing field 'set'"},
        {"POST", "/api/v1/sets/save", R"({"trace":1})", 400, "field 'trace' must be true or false"},
        {"GET", "/api/v1/events", "", 400, "the event stream is served over HTTP only"},
        {"POST", "/api/v1/writeWords", TooManyWords.dump(), 400, "too many words: at most 65536 in one request"},
        {"POST", "/api/v1/writeWords", R"({"register":"ENT_H1","words":5})", 400, "field 'words' must be an array of unsigned 32-bit integers"},
        {"POST", "/api/v1/writeWords", R"({"register":"ENT_H1","words":["1"]})", 400, "field 'words' must be an array of unsigned"},
        {"POST", "/api/v1/writeWords", R"({"register":"ENT_H1","words":[-1]})", 400, "field 'words' must be an array of unsigned"},
        {"POST", "/api/v1/writeWords", R"({"register":"ENT_H1"})", 400, "missing field 'words'"},
        {"POST", "/api/v1/writeWords", R"({"register":"ENT_H1","words":[4294967296]})", 400, "field 'words' must be an array of unsigned"},
        {"POST", "/api/v1/read", R"({"x":[[[[[1]]]]]})", 400, "unknown field 'x'"},  // as deep as a body may nest
        {"POST", "/api/v1/read", R"({"x":[[[[[[1]]]]]]})", 400, "the body nests deeper than 6 levels"},
        {"POST", "/api/v1/read", R"({"x":[[],[],[],[],[],[],[]]})", 400, "unknown field 'x'"},  // levels, not brackets
        {"POST", "/api/v1/read", R"({"x":"[[[[[[\"[[[[[["})", 400, "unknown field 'x'"},  // in a string, nothing nests
        {"POST", "/api/v1/read", R"({"register":"az_09"})", 422, "Invalid register submitted: az_09"},
        {"POST", "/api/v1/write", strHuge, 413, "request body larger than"},
        {"POST", "/api/v1/write", strLargest, 400, "malformed JSON body"},
        {"POST", "/api/v1/read", R"({"register":"ENT_H1","count":1.5})", 400, "field 'count' must be"},
        {"POST", "/api/v1/lock", R"({"register":"AUD_CNTRL0"})", 400, "missing field 'signal'"},
        {"POST", "/api/v1/value", R"({"register":"AUD_CNTRL0"})", 400, "missing field 'signal'"},
        {"POST", "/api/v1/unlock", R"({"register":"AUD_CNTRL0"})", 400, "missing field 'signal'"},
        {"POST", "/api/v1/logging", R"({"register":"AUD_CNTRL0","enable":true})", 400, "missing field 'signal'"},
        {"POST", "/api/v1/get", R"({"register":"AUD_CNTRL0"})", 400, "missing field 'signal'"},
        {"POST", "/api/v1/set", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL"})", 400, "missing field 'value'"},
        {"POST", "/api/v1/set", R"({"register":"AUD_CNTRL0","value":3})", 400, "missing field 'signal'"},
        {"POST", "/api/v1/set", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","value":3,"mode":3})", 400, "field 'mode'"},
        {"POST", "/api/v1/set", R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","value":-1})", 400, "field 'value' must be"},
        {"POST", "/api/v1/logging", R"({"register":"AUD_CNTRL0","signal":"ALL","enable":"yes"})", 400, "field 'enable' must be true or false"},
        {"POST", "/api/v1/defaults", R"({"trace":1})", 400, "field 'trace' must be true or false"},
        {"GET", "/api/v1/write", "", 405, "GET is not allowed for /api/v1/write: use POST"},
        {"POST", "/api/v1/snapshot", "", 405, "POST is not allowed"},
        {"DELETE", "/api/v1/registers", "", 405, "DELETE is not allowed"},
        {"GET", "/api/v1/registers/AUD-CNTRL0", "", 400, "not a register name"},
        {"GET", "/api/v1/registers/NOPE", "", 404, "Invalid register submitted: NOPE"},
        {"GET", "/api/v2/device", "", 404, "no such operation"},
        {"GET", "", "", 404, "no such operation"},  // a host calling the service itself may send anything
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
    EXPECT_EQ(S.AuditLines().front()["status"], 400) << "a refused change is audited";

    // No token, a wrong one, one of another length, a token without its scheme: 401.
    const std::string strWrite = R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":["MARKER_SIG_3"]})";
    for (const std::string& strAuthorization :
         {std::string(), "Bearer " + kToken.substr(0, 31) + "0", "Bearer " + kToken + "0", std::string("Bearer "), kToken, "Basic " + kToken})
    {
        int iStatus = 0;
        S.Call("POST", "/api/v1/write", strWrite, &iStatus, strAuthorization);
        EXPECT_EQ(iStatus, 401) << strAuthorization;
        EXPECT_EQ(S.Call("GET", "/api/v1/device", "", &iStatus, strAuthorization).count("name"), 0u);
        EXPECT_EQ(iStatus, 401);
    }
    EXPECT_EQ(S.State(), strBefore);
}

TEST(Service, AuditsEveryChangingRequestAndNeverTheToken)
{
    SServed S;
    S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"32/d"}}});
    for (const char* pcRead : {"read", "words", "state"})
        S.Post(pcRead, {{"register", "ENT_H1"}});
    S.Post("get", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}});
    S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"256/d"}}});
    // Refused before the device: audited too; a wrong token only counted.
    S.Call("POST", "/api/v1/lock", R"({"register":"DIN_CNTRL0"})");
    for (int i = 0; i < 50; ++i)
        S.Call(i % 2 == 0 ? "POST" : "GET", "/api/v1/unlock", R"({"register":"ALL","signal":"ALL"})", nullptr, "Bearer wrong");
    S.Post("defaults", json::object());
    S.Service.Audit().Flush();
    std::vector<json> Audit = S.AuditLines();
    ASSERT_EQ(Audit.size(), 6u) << S.Audit.str();
    for (json& Line : Audit)
    {
        EXPECT_EQ(Line["time"].get<std::string>().size(), 24u);
        Line.erase("time");
    }
    EXPECT_EQ(Audit[0], json({{"client", "127.0.0.1"}, {"operation", "write"}, {"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"},
                              {"start", 0}, {"values", {"32/d"}}, {"status", 200}, {"result", "ok"}}));
    EXPECT_EQ(Audit[1]["status"], 422);
    EXPECT_EQ(Audit[1]["result"], "Value limit exceeded: 256/d,");
    EXPECT_EQ(Audit[2], json({{"client", "127.0.0.1"}, {"operation", "lock"}, {"register", "DIN_CNTRL0"}, {"status", 400}, {"result", "missing field 'signal'"}}));
    EXPECT_EQ(Audit[3], json({{"client", "127.0.0.1"}, {"operation", "token"}, {"refused", 1}, {"status", 401}})) << "the first refusal at once";
    EXPECT_EQ(Audit[4]["operation"], "defaults");
    EXPECT_NE(Audit[4]["result"].get<std::string>().find("report(s)"), std::string::npos);
    EXPECT_EQ(Audit[5]["refused"], 49) << "the rest counted in one line";
    EXPECT_EQ(S.Audit.str().find(kToken), std::string::npos);
}

TEST(Service, AuditLinesNameWhatEachChangeAskedAndHowItEnded)
{
    SServed S;
    S.Post("set", {{"register", "AUD_CNTRL0"}, {"signal", "TRIG_SEL"}, {"value", 3}, {"mode", 2}});
    S.Post("setBlock", {{"register", "ENT_H1"}, {"start", 2}, {"words", {9, 8}}});
    S.Post("writeWords", {{"register", "ENT_H1"}, {"start", 4}, {"words", {1, 2, 3}}});
    S.Post("write", {{"register", "ENT_H1"}, {"start", 1}, {"values", {"5/d"}}});
    S.Post("logging", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"enable", false}});
    const json Write = {{"op", "write"}, {"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"3/d"}}};
    json Refused = Write;
    Refused["values"] = {"999/d"};
    S.Post("batch", {{"operations", {Write, Write}}});
    S.Post("batch", {{"operations", {Write, Refused}}});
    S.Host.Bus.m_iThrowOnRead = -1;
    S.Post("batch", {{"operations", {Refused, {{"op", "words"}, {"register", "DIN_MS_DET_LOW"}}, Write}}});
    S.Host.Bus.m_iThrowOnRead = 0;
    S.Service.Audit().Flush();
    std::vector<json> Lines = S.AuditLines();
    for (json& Line : Lines)
        Line.erase("time");
    const std::string strWrites = R"({"op": "write", "register": "DIN_CNTRL0", "signal": "FIFOLEVEL", "values": ["3/d"]})";
    const std::string strRefused = R"({"op": "write", "register": "DIN_CNTRL0", "signal": "FIFOLEVEL", "values": ["999/d"]})";
    EXPECT_EQ(json(Lines), json::parse(R"([
        {"client": "127.0.0.1", "operation": "set", "register": "AUD_CNTRL0", "signal": "TRIG_SEL", "value": 3, "mode": 2,
         "status": 200, "result": "ok"},
        {"client": "127.0.0.1", "operation": "setBlock", "register": "ENT_H1", "start": 2, "words": 2, "status": 200, "result": "ok"},
        {"client": "127.0.0.1", "operation": "writeWords", "register": "ENT_H1", "start": 4, "words": 3, "status": 200, "result": "ok"},
        {"client": "127.0.0.1", "operation": "write", "register": "ENT_H1", "start": 1, "values": ["5/d"], "status": 200, "result": "ok"},
        {"client": "127.0.0.1", "operation": "logging", "register": "DIN_CNTRL0", "signal": "FIFOLEVEL", "enable": false,
         "status": 200, "result": "ok"},
        {"client": "127.0.0.1", "operation": "batch", "operations": [)" + strWrites + "," + strWrites + R"(], "count": 2,
         "status": 200, "result": "ok"},
        {"client": "127.0.0.1", "operation": "batch", "operations": [)" + strWrites + "," + strRefused + R"(], "count": 2,
         "status": 200, "result": "1 of 2 refused: Value limit exceeded: 999/d,"},
        {"client": "127.0.0.1", "operation": "batch", "operations": [)" + strRefused + "," + strWrites + R"(], "count": 3,
         "status": 500, "result": "host fault: simulated bus fault"}])"));
    // A change refused as malformed is audited too.
    int iStatus = 0;
    S.Call("POST", "/api/v1/write", R"({"register":"ENT_H1","values":["5/d"],"valeus":1})", &iStatus);
    S.Service.Audit().Flush();
    EXPECT_EQ(iStatus, 400);
    EXPECT_EQ(S.AuditLines().back()["operation"], "write");
    EXPECT_EQ(S.AuditLines().back()["status"], 400);
    // Refused before the service (by the server): audited when they ask for a change.
    for (const char* pcPath : {"/api/v1/batch", "/api/v1/sets/apply", "/api/v1/write", "/api/v1/read", "/api/v1/sets/save", "/index.html"})
        S.Service.AuditRefused(Request(pcPath), 413, "request body too large");
    const std::vector<std::string> Operations = Audited(S);
    EXPECT_EQ(std::vector<std::string>(Operations.end() - 3, Operations.end()), std::vector<std::string>({"batch", "sets/apply", "write"}));
}

TEST(Service, RangesAndTotalsCountEveryWordARequestNames)
{
    SServed S;
    // As many memory words as one request takes, spread over a batch: the rest of a memory,
    // one-word registers' words (a read's whole register, whatever range it answers), a block
    // and words written, and nothing for a register there is not.
    json Block = {{"op", "setBlock"}, {"register", "SWP_DATA_RAM"}, {"words", std::vector<unsigned>(16381, 1)}};
    json Words = {{"operations", {{{"op", "getBlock"}, {"register", "SWP_DATA_RAM"}, {"start", 16384}},
                                  {{"op", "words"}, {"register", "ENT_H1"}, {"start", 3}},
                                  {{"op", "read"}, {"register", "AUD_CNTRL0"}, {"count", 0}},
                                  {{"op", "words"}, {"register", "DIN_MS_DET_LOW"}},
                                  {{"op", "getBlock"}, {"register", "NOPE"}},
                                  Block,
                                  {{"op", "writeWords"}, {"register", "SWP_DATA_RAM"}, {"words", std::vector<unsigned>(16381, 1)}}}}};
    const json Served = Posted(S, 200, "batch", Words);
    EXPECT_EQ(Served["results"][0]["words"].size(), 32768u);
    EXPECT_EQ(Served["results"][1]["words"].size(), 4u);
    EXPECT_EQ(Served["results"][4]["error"], "Invalid register submitted: NOPE");
    Words["operations"][5]["words"].push_back(1);
    EXPECT_EQ(Posted(S, 400, "batch", Words)["error"], "too many words: at most 65536 in one request");
    // As many values: a whole memory and more for a signal (which the library refuses).
    json Values = {{"operations", {{{"op", "write"}, {"register", "SWP_DATA_RAM"}, {"values", std::vector<std::string>(49152, "1/d")}},
                                   {{"op", "write"}, {"register", "AUD_CNTRL0"}, {"signal", "TRIG_SEL"},
                                    {"values", std::vector<std::string>(16384, "1/d")}}}}};
    EXPECT_EQ(Posted(S, 200, "batch", Values)["results"][1]["status"], 422);
    Values["operations"][1]["values"].push_back("1/d");
    EXPECT_EQ(Posted(S, 400, "batch", Values), json({{"error", "too many values: at most 65536"}, {"argument", "values"}}));

    // A memory's range starts at its word 0, whatever signal is named (a range from its end,
    // a signal's values and a register there is not: the conformance cases).
    const std::string strBefore = S.State();
    Posted(S, 400, "write", {{"register", "ENT_H1"}, {"signal", "NOPE"}, {"start", 6}, {"values", {"1/d", "2/d"}}});
    Posted(S, 400, "writeWords", {{"register", "ENT_H1"}, {"start", 5}, {"words", {1, 2, 3}}});
    EXPECT_EQ(S.State(), strBefore);
    // A register there is not has no range, but its words count as any range a request names.
    // A request's budget is no argument's range (a client raises no IndexError for it).
    for (const char* pOp : {"read", "words"})
        EXPECT_EQ(Posted(S, 400, pOp, {{"register", "NOPE"}, {"count", 65537}}),
                  json({{"error", "too many words: at most 65536 in one request"}, {"argument", "count"}}));
}

TEST(Service, AServiceGoneIsNoLongerTheRuntimesObserver)
{
    // The runtime outlives a service made on it: events must not reach the hub it had.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SServed S;
            alignas(rlzev::CDeviceService) static unsigned char aStorage[sizeof(rlzev::CDeviceService)];
            rlzev::CDeviceService* pService = new (aStorage) rlzev::CDeviceService(S.Runtime, {kToken, false, &S.Audit});
            pService->~CDeviceService();
            std::memset(aStorage, 0, sizeof aStorage);  // what its hub was is gone
            S.Runtime.Run([](CZEV& a_rDevice) { a_rDevice.SetToDefault(); });  // transfers, told to every observer
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Service, TheExportedReferenceIsTheConsoleByteForByte)
{
    // Byte for byte on Windows as well, where a file opened as text would gain a CR per line.
    const std::string strFolder = testing::TempDir() + "zevd-reference-test";
    std::string strError;
    ASSERT_TRUE(rlzev::WriteReference(strFolder, "{}", strError) && strError.empty()) << strError;
    auto Read = [&](const std::string& a_strName) {
        std::ifstream File(strFolder + "/" + a_strName, std::ios::binary);
        std::string strText(std::istreambuf_iterator<char>(File), {});
        File.close();
        std::remove((strFolder + "/" + a_strName).c_str());
        return strText;
    };
    for (unsigned i = 0; i < rlzev::g_udwConsoleFileCount; ++i)
    {
        const rlzev::SConsoleFile& rFile = rlzev::g_aConsoleFiles[i];
        if (rFile.m_eRole == rlzev::EConsoleRole::SERVED)
            continue;  // the page as served, its parts inline
        EXPECT_EQ(Read(rFile.m_pcName), std::string(reinterpret_cast<const char*>(rFile.m_pData), rFile.m_uSize)) << rFile.m_pcName;
    }
    EXPECT_EQ(Read("reference.js"), "window.ZEV_REFERENCE = {};\n");
    std::remove(strFolder.c_str());
}

TEST(Service, TheAuditLogCapsEveryFieldIsInItsFileAtOnceAndNamesWhomItRefused)
{
    const std::string strPath = testing::TempDir() + "zevd-audit-test.log";
    std::remove(strPath.c_str());
    std::ofstream File(strPath);
    rlzev::CAuditLog Log(&File);
    auto Text = [&] {
        std::ifstream In(strPath, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(In), {});
    };
    auto Lines = [&] {
        std::vector<json> Read;
        std::istringstream In(Text());
        for (std::string strLine; std::getline(In, strLine);)
            Read.push_back(json::parse(strLine));
        return Read;
    };
    // What a clock on the wall says in UTC, to the millisecond, as ISO 8601 writes it.
    auto Utc = [] {
        const auto Now = std::chrono::system_clock::now();
        const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
        const long long iMillis =
            std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() % 1000;
        char acText[40];
        std::strftime(acText, sizeof acText, "%Y-%m-%dT%H:%M:%S", std::gmtime(&Seconds));
        return std::string(acText) + "." + std::to_string(1000 + iMillis).substr(1) + "Z";
    };
    const std::string strBefore = Utc();
    const std::string strLimit(rlzev::CAuditLog::kMaxText, 'x');
    const std::string strLong = "y" + strLimit;  // one past the limit, starting with what is cut off last
    json Sixteen = json::array();
    for (int i = 0; i < 16; ++i)
        Sixteen.push_back(i);
    json Seventeen = Sixteen;
    Seventeen.push_back(16);
    Log.Write({{"kept", strLimit}, {"cut", strLong}, {"sixteen", Sixteen}, {"seventeen", Seventeen}, {"inList", {1, strLong}},
               {"inObject", {{"deep", {{"deeper", json::array({strLong})}}}}}, {"text", "1 \xC2\xB5s \xFF"}});
    const std::string strAfter = Utc();
    // Someone following the file sees each line as it is written, not when a buffer fills.
    const std::string strWritten = Text();
    ASSERT_EQ(std::count(strWritten.begin(), strWritten.end(), '\n'), 1) << "one line, at once";
    EXPECT_EQ(strWritten.back(), '\n');
    json Line = json::parse(strWritten);
    // The time of writing, in UTC to the millisecond.
    const std::string strTime = Line["time"];
    EXPECT_EQ(strTime.size(), 24u);
    EXPECT_TRUE(strBefore <= strTime && strTime <= strAfter) << strBefore << " " << strTime << " " << strAfter;
    Line.erase("time");
    const std::string strCut = strLong.substr(0, rlzev::CAuditLog::kMaxText) + "... (129 bytes)";
    json Capped = Sixteen;
    Capped.push_back("... (17 in all)");
    // UTF-8 as it came, a byte that is none replaced rather than the line lost.
    EXPECT_EQ(Line, json({{"kept", strLimit}, {"cut", strCut}, {"sixteen", Sixteen}, {"seventeen", Capped}, {"inList", {1, strCut}},
                          {"inObject", {{"deep", {{"deeper", json::array({strCut})}}}}}, {"text", "1 \xC2\xB5s \xEF\xBF\xBD"}}));
    Log.RefusedToken("192.0.2.7");
    ASSERT_EQ(Lines().size(), 2u) << "the first refusal at once";
    EXPECT_EQ(Lines()[1]["client"], "192.0.2.7");
    Log.RefusedToken("192.0.2.8");
    Log.Flush();
    Log.Flush();
    Log.RefusedToken("192.0.2.9");
    Log.RefusedToken("192.0.2.10");
    Log.Flush();
    std::vector<json> Read = Lines();
    ASSERT_EQ(Read.size(), 4u) << "a flush with nothing counted writes nothing";
    EXPECT_EQ(Read[3]["time"].get<std::string>().size(), 24u);
    Read[3].erase("time");
    EXPECT_EQ(Read[2]["refused"], 1);
    EXPECT_EQ(Read[2]["client"], "192.0.2.8");
    EXPECT_EQ(Read[3], json({{"operation", "token"}, {"refused", 2}, {"client", "192.0.2.10"}, {"status", 401}})) << "the last one refused";
    File.close();
    std::remove(strPath.c_str());
}

// An audit log that cannot be written (a full disk) stops every change until a line gets
// through again; the first line then ends whatever part of the lost one got out.
TEST(Service, AnAuditLogThatCannotBeWrittenStopsChangesUntilItCanBeAgain)
{
    struct CDisk : std::stringbuf
    {
        std::streamsize xsputn(const char* a_pcText, std::streamsize a_iCount) override
        {
            return m_bFull ? 0 : std::stringbuf::xsputn(a_pcText, a_iCount);
        }
        int overflow(int a_iChar) override { return m_bFull ? traits_type::eof() : std::stringbuf::overflow(a_iChar); }
        bool m_bFull = true;
    } Disk;
    SServed S;
    S.Audit.std::ios::rdbuf(&Disk);
    const auto Write = [&](int a_iStatus, const char* a_pcValue) {
        return Posted(S, a_iStatus, "write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {a_pcValue}}});
    };
    Write(200, "9/d");  // carried out before its line was lost
    EXPECT_EQ(Posted(S, 200, "value", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}})["values"], json({"9"}));
    // Reads are still served, alone or batched; a typed read of the hardware is a change. A
    // change is refused before its fields are looked at, whatever shape it comes in.
    const json Value = {{"op", "value"}, {"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}};
    EXPECT_EQ(Posted(S, 200, "batch", {{"operations", {Value, Value}}})["results"][1]["values"], json({"9"}));
    const std::string strBefore = S.State();
    EXPECT_EQ(Write(503, "10/d")["error"],
              "the audit log could not be written: changes are refused until it can be (each refusal tries it again)");
    Posted(S, 503, "batch", {{"operations", {Value, {{"op", "defaults"}, {"also", 1}}}}});
    Posted(S, 503, "get", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"readHw", true}, {"also", 1}});
    Posted(S, 503, "sets/apply", {{"set", json::object()}});  // refused before its body is looked at
    Disk.m_bFull = false;
    Write(503, "10/d");
    EXPECT_EQ(S.State(), strBefore);
    Write(200, "10/d");
    std::istringstream Lines(Disk.str());
    std::vector<std::string> Read;
    for (std::string strLine; std::getline(Lines, strLine);)
        Read.push_back(strLine.empty() ? "" : json::parse(strLine)["status"].dump());
    EXPECT_EQ(Read, (std::vector<std::string>{"", "503", "200"}));
}

TEST(Service, BatchesRunInOneCallAndAnswerEachOperation)
{
    SServed S;
    const json Answer = Posted(S, 200, "batch", {{"operations",
                                                  {{{"op", "write"}, {"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"33/d"}}},
                                                   {{"op", "read"}, {"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}},
                                                   {{"op", "write"}, {"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"999/d"}}},
                                                   {{"op", "value"}, {"register", "AUD_CNTRL0"}, {"signal", "NOPE"}},
                                                   {{"op", "state"}, {"register", "DIN_CNTRL0"}},
                                                   {{"op", "words"}, {"register", "ENT_H1"}, {"start", 5}, {"count", 2}},
                                                   {{"op", "writeWords"}, {"register", "ENT_H1"}, {"start", 5}, {"words", {7, 4294967295u}}},
                                                   {{"op", "words"}, {"register", "ENT_H1"}, {"start", 4}},
                                                   {{"op", "logging"}, {"register", "NOPE"}, {"signal", "ALL"}},
                                                   {{"op", "defaults"}}}}});
    EXPECT_EQ(Answer.count("error"), 0u) << "nothing faulted";
    const json& R = Answer["results"];
    ASSERT_EQ(R.size(), 10u);
    EXPECT_EQ(R[0], json({{"reports", json::array()}, {"status", 200}}));
    EXPECT_EQ(R[1]["values"], json({"00000021/h"}));
    EXPECT_EQ(R[2]["status"], 422);
    EXPECT_EQ(R[2]["error"], "Value limit exceeded: 999/d,");
    EXPECT_EQ(R[2]["reports"][0]["function"], "CSignalBase::ServiceWrite") << "each operation keeps its own reports";
    EXPECT_EQ(R[5]["words"], json({0, 0}));
    EXPECT_EQ(R[7]["words"], json({0, 7, 4294967295u})) << "each after the one before";
    // One audit line for the batch: its changing operations alone, with what each asked.
    const json Line = S.AuditLines().back();
    EXPECT_EQ(Line["count"], 10);
    EXPECT_EQ(Line["operations"], json::parse(R"([
        {"op": "write", "register": "DIN_CNTRL0", "signal": "FIFOLEVEL", "values": ["33/d"]},
        {"op": "write", "register": "DIN_CNTRL0", "signal": "FIFOLEVEL", "values": ["999/d"]},
        {"op": "writeWords", "register": "ENT_H1", "words": 2},
        {"op": "logging", "register": "NOPE", "signal": "ALL"},
        {"op": "defaults"}])"));
    // (A malformed operation refuses the whole batch: the bad requests.) A host fault stops
    // the batch where it happens: what came before stays done.
    S.Host.Bus.m_iThrowOnRead = 2;
    const json Words = {{"op", "words"}, {"register", "DIN_MS_DET_LOW"}};
    const json Faulted = Posted(S, 500, "batch", {{"operations", {Words, Words, Words}}});
    EXPECT_EQ(Faulted["results"][0]["status"], 200);
    EXPECT_EQ(Faulted["results"][1]["status"], 500);
    EXPECT_EQ(Faulted["results"][1]["error"], "host fault: simulated bus fault");
    EXPECT_EQ(Faulted["results"][2]["status"], 424);
    EXPECT_EQ(Faulted["error"], "host fault: simulated bus fault");
}

TEST(Service, BlockReadsMoveOnlyTheBlockAndLeaveTheApplication)
{
    SServed S;
    S.Runtime.Run([](CZEV& a_rDevice) { a_rDevice.SWP_DATA_RAM.Set(std::vector<unsigned>(64, 5).data(), 100, 64, false); });
    S.Host.Bus.Poke(0x10000 + 130, 0xABCD);  // the device changed a word by itself
    const std::string strApplication = S.Application();
    const auto Before = S.Host.Bus.m_Counters;
    const json Answer = Posted(S, 200, "words", {{"register", "SWP_DATA_RAM"}, {"start", 100}, {"count", 64}});
    EXPECT_EQ(Answer["words"].size(), 64u);
    EXPECT_EQ(Answer["words"][30], 0xABCDu);
    EXPECT_EQ(Answer["words"][0], 5u);
    // 64 words through the read-back path: a status write and three reads each, no more.
    EXPECT_EQ(S.Host.Bus.m_Counters.m_uWrites - Before.m_uWrites, 64u);
    EXPECT_EQ(S.Host.Bus.m_Counters.m_uReads - Before.m_uReads, 64u * 3);
    // A one-word register's word, read now: the application's words stay as they were.
    S.Host.Bus.Poke(0x11A, 0x4000001F);
    EXPECT_EQ(S.Post("words", {{"register", "DIN_MS_DET_LOW"}})["words"], json({0x4000001F}));
    EXPECT_TRUE(S.Application() == strApplication) << "the application's words changed";
}

TEST(Service, TokensAreRandomPrivateAndComparedWhole)
{
    const std::string strA = rlzev::NewToken(), strB = rlzev::NewToken();
    EXPECT_EQ(strA.size(), 64u);
    EXPECT_EQ(strA.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_TRUE(rlzev::SameToken(strA, strA));
    // Shorter, longer, another, and one character apart at either end.
    std::string strFirst = strA, strLast = strA;
    strFirst[0] = strFirst[0] == '0' ? '1' : '0';
    strLast.back() = strLast.back() == '0' ? '1' : '0';
    for (const std::string& strOther : {strA.substr(0, 63), strA + "0", strB, strFirst, strLast})
        EXPECT_FALSE(rlzev::SameToken(strA, strOther)) << strOther;
    EXPECT_FALSE(rlzev::SameToken("", "")) << "no token configured lets nobody in";
    // Every hex digit, high and low half of a byte alike: sixteen tokens miss one by chance
    // about once in 10^13.
    std::string strHigh, strLow;
    for (int i = 0; i < 16; ++i)
    {
        const std::string strToken = rlzev::NewToken();
        for (std::size_t c = 0; c < strToken.size(); c += 2)
            strHigh += strToken[c], strLow += strToken[c + 1];
    }
    for (const char c : std::string("0123456789abcdef"))
        EXPECT_TRUE(strHigh.find(c) != std::string::npos && strLow.find(c) != std::string::npos) << c;

    const std::string strPath = testing::TempDir() + "zevd-token-test";
    std::ofstream(strPath) << "old";
    ASSERT_TRUE(rlzev::WriteTokenFile(strPath, strA));
    EXPECT_EQ(rlzev::ReadTokenFile(strPath), strA);  // (its mode, the owner's alone: zevd's end-to-end test)
#ifndef _WIN32
    // A token costs no descriptor; without the random source there is none, not a weak one.
    const int iFree = ::dup(0);
    ASSERT_GE(iFree, 0);
    ::close(iFree);
    for (int i = 0; i < 4; ++i)
        rlzev::NewToken();
    const int iFreeAfter = ::dup(0);
    ::close(iFreeAfter);
    EXPECT_EQ(iFreeAfter, iFree) << "a descriptor left open";
    rlimit Old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &Old), 0);
    rlimit Low = Old;
    if (!kSanitized)
    {
        Low.rlim_cur = static_cast<rlim_t>(iFree);  // every descriptor below it is taken
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &Low), 0);
        std::string strThrown;
        try
        {
            rlzev::NewToken();
        }
        catch (const std::runtime_error& e)
        {
            strThrown = e.what();
        }
        setrlimit(RLIMIT_NOFILE, &Old);
        EXPECT_EQ(strThrown, "cannot read /dev/urandom");
    }
    // A token file that cannot be written whole is a failure.
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Old), 0);
    Low = Old;
    Low.rlim_cur = 10;
    const auto OldSignal = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Low), 0);
    const bool bWritten = rlzev::WriteTokenFile(strPath, strA);
    setrlimit(RLIMIT_FSIZE, &Old);
    std::signal(SIGXFSZ, OldSignal);
    EXPECT_FALSE(bWritten);
#endif
    // A hand-written file may carry spaces and a Windows line end; a file of blanks or none
    // at all holds no token.
    for (const auto& Case : {std::make_pair("  abc \t\r\nnext line\n", "abc"), std::make_pair("abc", "abc"),
                             std::make_pair("\tabc\n", "abc"), std::make_pair(" \t\r\n", "")})
    {
        std::ofstream(strPath, std::ios::binary | std::ios::trunc) << Case.first;
        EXPECT_EQ(rlzev::ReadTokenFile(strPath), Case.second) << Case.first;
    }
    std::remove(strPath.c_str());
    EXPECT_EQ(rlzev::ReadTokenFile(strPath), "");
#ifndef _WIN32
    // The token's home is the user's home, or the working folder without one.
    const char* pcHome = std::getenv("HOME");
    const std::string strHome = pcHome != nullptr ? pcHome : "";
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(rlzev::DefaultTokenPath(), "/home/someone/.zevd-token");
    ::setenv("HOME", "", 1);
    EXPECT_EQ(rlzev::DefaultTokenPath(), "./.zevd-token");
    ::unsetenv("HOME");
    EXPECT_EQ(rlzev::DefaultTokenPath(), "./.zevd-token");
    if (pcHome != nullptr)
        ::setenv("HOME", strHome.c_str(), 1);
#endif
}

TEST(Service, TheApplicationsTypedAccessOverTheService)
{
    SServed S;
    // Whether a block got read the hardware (the rest of the typed access: the conformance cases).
    S.Host.Bus.Poke(0x10000 + 130, 0xABCD);  // SWP_DATA_RAM's word 130, changed by the device
    json Block = {{"register", "SWP_DATA_RAM"}, {"start", 130}, {"count", 1}};
    EXPECT_EQ(S.Post("getBlock", Block), json({{"reports", json::array()}, {"result", false}, {"words", {0}}})) << "the application's word";
    Block["readHw"] = true;
    EXPECT_EQ(S.Post("getBlock", Block), json({{"reports", json::array()}, {"result", true}, {"words", {0xABCD}}}));
    // The sets are audited, refused ones too, and so is a get that reads the hardware (it
    // hands the application a new word); the other gets are not.
    S.Post("set", {{"register", "AUD_CNTRL0"}, {"signal", "TRIG_SEL"}, {"value", 3}});
    S.Post("set", {{"register", "AUD_CNTRL0"}, {"signal", "TRIG_SEL"}});
    S.Post("get", {{"register", "AUD_CNTRL0"}, {"signal", "TRIG_SEL"}});
    EXPECT_EQ(Audited(S), std::vector<std::string>({"getBlock", "set", "set"}));
    // In a batch alike: its line names the typed reads of the hardware and no other.
    const json Get = {{"op", "get"}, {"register", "AUD_CNTRL0"}, {"signal", "TRIG_SEL"}};
    const json GetBlock = {{"op", "getBlock"}, {"register", "ENT_H1"}, {"count", 1}};
    json GetHw = Get, GetBlockHw = GetBlock;
    GetHw["readHw"] = GetBlockHw["readHw"] = true;
    Posted(S, 200, "batch", {{"operations", {Get, GetHw, GetBlock, GetBlockHw}}});
    EXPECT_EQ(S.AuditLines().back()["operations"], json::parse(R"([{"op": "get", "register": "AUD_CNTRL0", "signal": "TRIG_SEL"},
                                                                   {"op": "getBlock", "register": "ENT_H1"}])"));
    // A refused value or range names its argument, as a client raises it.
    EXPECT_EQ(Posted(S, 400, "set", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"value", 256}})["argument"], "value");
    EXPECT_EQ(Posted(S, 400, "words", {{"register", "AUD_CNTRL0"}, {"start", 1}})["argument"], "start");
    EXPECT_EQ(Posted(S, 400, "write", {{"register", "AUD_CNTRL0"}, {"values", {"1 /d"}}})["argument"], "values");
    EXPECT_EQ(Posted(S, 400, "set", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"value", 1}, {"mode", 3}})["argument"], "mode");
}

TEST(Service, AReadOnlyServerAnswersReadsAndChangesNothing)
{
    SServed S(true);
    S.Runtime.Run([](CZEV& a_rDevice) {
        a_rDevice.DIN_MS_DET_LOW.MS_DET_LOW.Set(3, CSignalBase::HW_WRITE_IMMEDIATE);
        a_rDevice.DIN_MS_DET_LOW.IN0_SELDIR.Lock();
    });
    // Every changing request 403.
    const std::string strBefore = S.State();
    const std::string strWrite = R"({"register":"AUD_CNTRL0","signal":"TRIG_SEL","values":["MARKER_SIG_3"]})";
    for (const char* pcOperation : {"write", "writeWords", "lock", "unlock", "logging", "defaults"})
        EXPECT_EQ(Posted(S, 403, pcOperation, json::parse(strWrite))["error"], std::string("the server is read-only: ") + pcOperation + " is refused");
    // (The rest of the typed access: the conformance cases.)
    EXPECT_EQ(Posted(S, 403, "setBlock", {{"register", "ENT_H1"}, {"words", {1}}})["error"], "the server is read-only: setBlock is refused");
    EXPECT_EQ(S.State(), strBefore);

    // Reads move words from the hardware, and none to the application; every lock state is back.
    S.Host.Bus.Poke(0x11A, 0x4000005F);  // the device changed the register by itself
    S.Host.Bus.Poke(0x2000 + 9, 77);
    S.Host.Bus.Poke(0x0E00, 5);
    S.Host.Bus.Poke(0x5000, 9);
    S.Host.Bus.Poke(0x10000 + 130, 0xABCD);  // SWP_DATA_RAM's word 130
    const std::string strApplication = S.Application();
    EXPECT_EQ(Posted(S, 200, "read", {{"register", "DIN_MS_DET_LOW"}})["values"], json({"4000005F/h"}));
    EXPECT_EQ(S.Post("value", {{"register", "DIN_MS_DET_LOW"}, {"signal", "MS_DET_LOW"}})["values"], json({"31"}));
    EXPECT_EQ(S.Post("read", {{"register", "SWP_CODE_RAM"}, {"start", 8}, {"count", 2}})["values"], json({"00000000/h", "0000004D/h"}));
    EXPECT_EQ(Posted(S, 200, "words", {{"register", "SWP_DATA_RAM"}, {"start", 130}, {"count", 1}})["words"], json({0xABCD}));
    Posted(S, 200, "state", {{"register", "AUD_CNTRL0"}});
    S.Post("words", {{"register", "AUD_CNTRL0"}});  // the hardware's word, the application's kept
    S.Post("words", {{"register", "DET_APD_SSRAM"}, {"start", 0}, {"count", 1}});
    const json Snapshot = S.Call("GET", "/api/v1/snapshot", "");
    EXPECT_NE(Snapshot["snapshot"].get<std::string>().find("ZEV.DIN_MS_DET_LOW.MS_DET_LOW = 31;"), std::string::npos);
    EXPECT_TRUE(S.Application() == strApplication) << "the application's words changed";
    const json State = View(S, "DIN_MS_DET_LOW");
    EXPECT_EQ(Signal(State, "IN0_SELDIR")["lock"], "LOCKED");
    EXPECT_EQ(Signal(State, "MS_DET_LOW")["lock"], "UNLOCKED");
    // What Get answers, without handing the application the word.
    const std::string strRead = S.State();
    EXPECT_EQ(S.Post("get", {{"register", "AUD_CNTRL0"}, {"signal", "TRIG_SEL"}})["value"], 5);
    EXPECT_EQ(S.Post("getBlock", {{"register", "DET_APD_SSRAM"}, {"count", 2}})["words"], json({9, 0}));
    EXPECT_EQ(S.Post("appWords", {{"register", "AUD_CNTRL0"}})["words"], json::array({0}));
    EXPECT_EQ(S.State(), strRead);
    // A batch of reads is served, one asking for a change refused whole.
    const json Read = {{"op", "read"}, {"register", "AUD_CNTRL0"}};
    json Get = {{"op", "get"}, {"register", "AUD_CNTRL0"}, {"signal", "TRIG_SEL"}};
    Posted(S, 200, "batch", {{"operations", {Read, Get}}});
    Get["readHw"] = true;
    Posted(S, 403, "batch", {{"operations", {Read, Get}}});
    // Only an operation that takes readHw changes by it: elsewhere it is a field too many, and
    // the batch's refusal is no change's, so it leaves no audit line.
    const std::size_t uAudited = Audited(S).size();
    Posted(S, 400, "batch", {{"operations", {{{"op", "read"}, {"register", "AUD_CNTRL0"}, {"readHw", true}}}}});
    EXPECT_EQ(Audited(S).size(), uAudited);
    Posted(S, 403, "batch", {{"operations", {Read, {{"op", "unlock"}, {"register", "ALL"}, {"signal", "ALL"}}}}});
    // Register sets are compared, and applied not at all.
    SServed Writable;
    Writable.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"33/d"}}});
    const json Set = Writable.Post("sets/save", {{"registers", {"DIN_CNTRL0"}}})["set"];
    EXPECT_EQ(Posted(S, 200, "sets/compare", {{"set", Set}})["differences"].size(), 1u);
    Posted(S, 403, "sets/apply", {{"set", Set}});
}

TEST(Service, RegisterSetsAreSavedComparedAndApplied)
{
    SServed S;
    S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"33/d"}}});
    S.Post("writeWords", {{"register", "ENT_H1"}, {"start", 1}, {"words", {5, 6}}});
    const json Saved = Posted(S, 200, "sets/save", {{"registers", {"DIN_CNTRL0", "ENT_H1", "DET_RESET"}}});
    // (A signal's value saved and compared, a write-only register skipped, a part applied and
    // the defaults compared: zevctl's test, through this service.)
    const json& Set = Saved["set"];
    ASSERT_EQ(Set["registers"].size(), 2u);
    EXPECT_EQ(Set["registers"][0]["signals"]["ROUND_MODE"], "ROUND_18_BIT");
    EXPECT_EQ(Set["registers"][1], json({{"name", "ENT_H1"}, {"words", "00000000 00000005 00000006 00000000 00000000 00000000 00000000"}}));
    const std::size_t uFields = Set["registers"][0]["signals"].size();

    // The same device: nothing differs.
    const json Compared = Posted(S, 200, "sets/compare", {{"set", Set}});
    EXPECT_EQ(Compared["differences"], json::array());
    EXPECT_EQ(Compared["compared"], uFields + 7);
    // Changed: exactly the changes, field by field and word by word.
    S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"7/d"}}});
    S.Post("writeWords", {{"register", "ENT_H1"}, {"start", 6}, {"words", {9}}});
    EXPECT_EQ(S.Post("sets/compare", {{"set", Set}})["differences"],
              json({{{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"set", "00000021/h"}, {"device", "00000007/h"}},
                    {{"register", "ENT_H1"}, {"word", 6}, {"set", "00000000/h"}, {"device", "00000009/h"}}}));
    // A chosen part applied (traced, as any operation), then all; the set's values are on the
    // hardware, with the service.
    const json Part = Posted(S, 200, "sets/apply",
                             {{"set", Set}, {"only", {{{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}}}}, {"trace", true}});
    EXPECT_EQ(Part["written"], 1);
    EXPECT_EQ(Part["events"], json({{{"type", "transfer"}, {"text", "bus: W 0x00100 4 0x00000084"}}}));  // 33 at bit 2
    EXPECT_EQ(S.Post("sets/compare", {{"set", Set}})["differences"].size(), 1u);
    const json Applied = S.Post("sets/apply", {{"set", Set}});
    EXPECT_EQ(Applied["written"], uFields + 1) << "every field of the set, and the memory";
    EXPECT_EQ(Applied["refused"], 0);
    EXPECT_EQ(S.Post("sets/compare", {{"set", Set}})["differences"], json::array());
    EXPECT_EQ(Signal(View(S, "DIN_CNTRL0"), "FIFOLEVEL")["lock"], "LOCKED");
    json Line = S.AuditLines().back();
    Line.erase("time");
    EXPECT_EQ(Line, json({{"client", "127.0.0.1"}, {"operation", "sets/apply"}, {"registers", 2}, {"status", 200},
                          {"result", std::to_string(uFields + 1) + " written, 0 refused"}}));

    // A set edited by hand: numbers in decimal are taken, and a memory's words in either case
    // with the space an editor may leave after the last.
    json Edited = Set;
    Edited["registers"][0]["signals"] = {{"FIFOLEVEL", "31/d"}};
    Edited["registers"][1]["words"] = "DEADBEEF 0000abcd ";
    EXPECT_EQ(S.Post("sets/apply", {{"set", Edited}})["written"], 2);
    EXPECT_EQ(S.Post("read", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}})["values"], json({"0000001F/h"}));
    EXPECT_EQ(S.Post("words", {{"register", "ENT_H1"}, {"count", 2}})["words"], json({0xDEADBEEFu, 0xABCDu}));

    // Sets that are not sets of this device, or name what it does not have: 400, nothing done.
    const std::string strBefore = S.State();
    const std::tuple<const char*, json, const char*> aBroken[] = {
        {"/format", "something else", "not a register set: its 'format' must be \"rl_zev register set 1\""},
        {"/device/xmlVersion", "PD_ZEV.xml@@/main/kem_main/2",
         "the set was not saved from this device's register description (PD_ZEV.xml@@/main/kem_main/1)"},
        {"/registers/0/name", "NOPE", "no register NOPE in this device"},
        {"/registers/0/signals/NOPE", "1/d", "no signal NOPE in register DIN_CNTRL0"},
        {"/registers/0/signals/FIFOLEVEL", "256/d",
         "DIN_CNTRL0.FIFOLEVEL: \"256/d\" is not a value of it (an enumerator name, 1F/h or 31/d up to 255)"},
        {"/registers/0/signals/ROUND_MODE", "round_18_bit", "DIN_CNTRL0.ROUND_MODE: \"round_18_bit\" is not a value of it (an enumerator name, 1F/h or 31/d up to 3)"},
        {"/registers/1/words", "0000000G", "ENT_H1: word 0 is not eight hexadecimal digits"},
        {"/registers/1/words", "00000001  00000002", "ENT_H1: word 1 is not eight hexadecimal digits"},
        {"/registers/1/words", "000000011", "ENT_H1: word 0 is not eight hexadecimal digits"},
        {"/registers/-", Set["registers"][1], "register ENT_H1 is in the set twice"},
    };
    for (const auto& Case : aBroken)
    {
        json Bad = Set;
        Bad[json::json_pointer(std::get<0>(Case))] = std::get<1>(Case);
        EXPECT_EQ(Posted(S, 400, "sets/apply", {{"set", Bad}})["error"], std::get<2>(Case));
    }
    Posted(S, 400, "sets/apply", {{"set", Set}, {"only", {{{"register", "AUD_CNTRL0"}}}}});  // only what the set has
    EXPECT_EQ(S.State(), strBefore);
}

TEST(Service, RegisterSetsTakeEveryValueTextAndRefuseWhatIsNoSet)
{
    SServed S;
    int iStatus = 0;
    // Saved whole: every register that can be read, memories only when asked for.
    const json All = Posted(S, 200, "sets/save", json::object());
    EXPECT_EQ(All["set"]["registers"].size(), 422u) << "441, less 7 write-only and 12 memories";
    EXPECT_EQ(All["skipped"].size(), 7u);
    std::size_t uSignals = 0;
    for (const json& Register : All["set"]["registers"])
        uSignals += Register["signals"].size();
    EXPECT_EQ(uSignals, 2231u);
    EXPECT_EQ(S.Post("sets/save", {{"memories", true}})["set"]["registers"].size(), 434u);
    // After the defaults, the whole set and the defaults themselves compare equal, field by field.
    S.Post("defaults", json::object());
    EXPECT_EQ(S.Post("sets/compare", {{"set", All["set"]}})["compared"], uSignals);
    const json Defaults = S.Post("sets/compare", json::object());
    EXPECT_EQ(Defaults["differences"], json::array());
    EXPECT_EQ(Defaults["compared"], uSignals);
    EXPECT_EQ(Defaults["skipped"].size(), 7u) << "write-only registers, one entry each";
    // A memory's defaults are its words at 0.
    S.Post("writeWords", {{"register", "ENT_H2"}, {"start", 3}, {"words", {0xAB}}});
    EXPECT_EQ(S.Post("sets/compare", {{"registers", {"ENT_H2"}}})["differences"],
              json({{{"register", "ENT_H2"}, {"word", 3}, {"set", "00000000/h"}, {"device", "000000AB/h"}}}));

    // Every way a set may write a value, as the library then reads it.
    const json Header = {{"format", "rl_zev register set 1"}, {"device", All["set"]["device"]}};
    auto SetOf = [&](const json& a_rRegisters) {
        json Set = Header;
        Set["registers"] = a_rRegisters;
        return json{{"set", Set}};
    };
    auto Apply = [&](const std::string& a_strText) {
        const json Answer = S.Post("sets/apply", SetOf({{{"name", "DIN_MS_DET_HIGH"}, {"signals", {{"MS_DET_HIGH", a_strText}}}}}), &iStatus);
        if (iStatus != 200)
            return std::to_string(iStatus) + " " + Answer["error"].get<std::string>();
        return S.Post("read", {{"register", "DIN_MS_DET_HIGH"}, {"signal", "MS_DET_HIGH"}})["values"][0].get<std::string>();
    };
    const std::pair<const char*, const char*> aTaken[] = {
        {"1F/h", "0000001F/h"},        {"0x1f/H", "0000001F/h"},      {"0X1F/h", "0000001F/h"}, {"31/d", "0000001F/h"},
        {"31/D", "0000001F/h"},        {"+31/d", "0000001F/h"},       {"31", "0000001F/h"},     {"-1/d", "FFFFFFFF/h"},
        {"-1", "FFFFFFFF/h"},          {"-2147483648/d", "80000000/h"}, {"4294967295/d", "FFFFFFFF/h"},
        {"FFFFFFFF/h", "FFFFFFFF/h"},  {"0/d", "00000000/h"},         {"9/h", "00000009/h"},    {"a/h", "0000000A/h"},
        {"A/h", "0000000A/h"}};
    for (const auto& Case : aTaken)
        EXPECT_EQ(Apply(Case.first), Case.second) << Case.first;
    for (const char* pcText : {"-2147483649/d", "4294967296/d", "100000000/h", "00000000001/d", "/h", "1G/h", "-1/h", "0x/h", "1f",
                               "", "+", "--1/d", "1/x", "7777777777777777777777777777777777777777777777777777777777777777"})
        EXPECT_EQ(Apply(pcText).rfind("400 DIN_MS_DET_HIGH.MS_DET_HIGH: \"" + std::string(pcText) + "\" is not a value", 0), 0u)
            << pcText;
    // A text longer than that is quoted in its first 64 characters.
    EXPECT_EQ(Apply(std::string(65, '7')).rfind("400 DIN_MS_DET_HIGH.MS_DET_HIGH: \"" + std::string(64, '7') + "\" is not a value", 0), 0u);

    // Read-only registers are skipped, one entry each; the rest is written.
    const json Applied = S.Post("sets/apply", SetOf({{{"name", "SR0_A_LASTADR"}, {"signals", {{"LASTADR", "1/d"}, {"READFIFO_LEVEL", "2/d"}}}},
                                                     {{"name", "DIN_CNTRL0"}, {"signals", {{"FIFOLEVEL", "7/d"}, {"SEL_IN", "SSRAMINT"}}}}}));
    EXPECT_EQ(Applied["skipped"], json({{{"register", "SR0_A_LASTADR"}, {"reason", "read-only: it cannot be written"}}}));
    EXPECT_EQ(Applied["results"], json({{{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"status", 200}},
                                        {{"register", "DIN_CNTRL0"}, {"signal", "SEL_IN"}, {"status", 200}}}));
    EXPECT_EQ(S.Post("value", {{"register", "DIN_CNTRL0"}, {"signal", "SEL_IN"}})["values"], json({"SSRAMINT"}));
    // Each field has its own answer: one the library refuses (a number no enumerator has) and
    // the rest written; with the host's report stream failing, that report is a fault and the
    // fields after it are not written.
    const json Mixed = SetOf({{{"name", "COR_CNTRL"}, {"signals", {{"IN_SEL", "3/d"}, {"ROUND_MODE_1", "ROUND_32_BIT"}}}},
                              {{"name", "DIN_CNTRL0"}, {"signals", {{"FIFOLEVEL", "7/d"}}}}});
    auto Statuses = [](const json& a_rAnswer) {
        std::vector<int> Found;
        for (const json& rResult : a_rAnswer["results"])
            Found.push_back(rResult["status"]);
        return Found;
    };
    const json Refused = Posted(S, 200, "sets/apply", Mixed);
    EXPECT_EQ(Statuses(Refused), std::vector<int>({422, 200, 200}));
    EXPECT_EQ(Refused["results"][0]["error"], "Invalid value(s) submitted: 00000003/h,");
    EXPECT_EQ(Refused["refused"], 1);
    EXPECT_EQ(S.AuditLines().back()["result"], "2 written, 1 refused");
    EXPECT_EQ(S.AuditLines().back()["status"], 200);
    struct SFailing : std::streambuf
    {
        int overflow(int) override { return traits_type::eof(); }
    } Failing;
    std::ostream& rReports = S.Reports;
    std::streambuf* pReports = rReports.rdbuf(&Failing);
    rReports.exceptions(std::ios::badbit);
    const json Faulted = Posted(S, 500, "sets/apply", Mixed);
    rReports.exceptions(std::ios::goodbit);
    rReports.rdbuf(pReports);
    EXPECT_EQ(Statuses(Faulted), std::vector<int>({500, 424, 424}));
    EXPECT_EQ(Faulted["results"][1]["error"], "not run: an earlier operation faulted");
    EXPECT_EQ(S.AuditLines().back()["status"], 500);
    EXPECT_EQ(S.AuditLines().back()["result"], Faulted["error"]);
    EXPECT_EQ(Faulted["error"].get<std::string>().rfind("host fault: ", 0), 0u) << Faulted["error"];
    // Write-only registers are written, and left out of a comparison.
    const json WriteOnly = SetOf({{{"name", "DET_RESET"}, {"signals", {{"DET0_RESET", "0/d"}, {"QP_RESET", "0/d"}}}}});
    EXPECT_EQ(S.Post("sets/apply", WriteOnly)["written"], 2);
    EXPECT_EQ(S.Post("sets/compare", WriteOnly)["skipped"], json({{{"register", "DET_RESET"}, {"reason", "write-only: it cannot be read"}}}));

    // A fault of the host's bus ends a save or a comparison with its text.
    S.Host.Bus.m_iThrowOnRead = -1;
    EXPECT_EQ(Posted(S, 500, "sets/save", {{"registers", {"DIN_MS_DET_LOW"}}})["error"], "host fault: simulated bus fault");
    EXPECT_EQ(Posted(S, 500, "sets/compare", {{"registers", {"DIN_MS_DET_LOW"}}})["error"], "host fault: simulated bus fault");
    S.Host.Bus.m_iThrowOnRead = 0;
    // A read never ready is told in the answer's reports.
    S.Host.Bus.m_udwReadyAfterPolls = 0;
    json Unready = S.Post("sets/save", {{"registers", {"AUD_CNTRL0"}}})["reports"][0];
    S.Host.Bus.m_udwReadyAfterPolls = 1;
    EXPECT_GT(Unready["line"], 0);
    EXPECT_FALSE(Unready["file"].get<std::string>().empty() || Unready["function"].get<std::string>().empty());
    for (const char* pcField : {"line", "file", "function"})
        Unready.erase(pcField);
    EXPECT_EQ(Unready, json({{"type", "report"}, {"message", ",HW device not ready!"}, {"accessDenied", false}}));

    // What is no set, or asks what a set cannot: 400 with what is wrong, nothing done.
    const std::string strBefore = S.State();
    const json Memory = {{"name", "ENT_H1"}, {"words", "00000001"}};
    const json Signals = {{"name", "DIN_CNTRL0"}, {"signals", {{"FIFOLEVEL", "7/d"}}}};
    const json Both = SetOf({Signals, Memory})["set"];
    const std::string strMemoryWords = "ENT_H1 is a memory: its 'words' are hexadecimal words separated by spaces";
    const std::string strSignals = "DIN_CNTRL0: its 'signals' are an object of signal names and value texts";
    const std::string strOnly = "field 'only' must be an array of {\"register\": R, \"signal\": S} (signal optional) or "
                                 "{\"register\": R, \"start\": N, \"count\": N} (a memory's words)";
    const std::string strRegisters = "field 'registers' must be an array of register names";
    const std::string strDevice = "the set was not saved from this device's register description (PD_ZEV.xml@@/main/kem_main/1)";
    const std::string strHolds = "a register set holds an array 'registers'";
    const std::string strName = "each register of a set is an object with its 'name'";
    const json Three = SetOf(json::array({{{"name", "ENT_H1"}, {"words", "00000001 00000002 00000003"}}}))["set"];
    const std::tuple<const char*, json, std::string> aRefused[] = {
        {"sets/save", {{"registers", "DIN_CNTRL0"}}, strRegisters},
        {"sets/save", {{"registers", {7}}}, strRegisters},
        {"sets/save", {{"memories", "yes"}}, "field 'memories' must be true or false"},
        {"sets/save", {{"register", {"DIN_CNTRL0"}}}, "unknown field 'register'"},
        {"sets/save", {{"registers", {"NOPE"}}}, "no register NOPE in this device"},
        {"sets/save", {{"registers", {"SWP_DATA_RAM", "DIN_CNTRL0", "SWP_DATA_RAM"}}}, "field 'registers' names SWP_DATA_RAM twice"},
        {"sets/compare", {{"registers", {"DIN_CNTRL0", "DIN_CNTRL0"}}}, "field 'registers' names DIN_CNTRL0 twice"},
        {"sets/save", json::array(), "the body must be a JSON object"},
        {"sets/compare", {{"set", SetOf({Signals})["set"]}, {"registers", {"DIN_CNTRL0"}}},
         "compare takes a 'set', or the 'registers' to hold against their defaults"},
        {"sets/apply", {{"set", "x"}}, "not a register set: its 'format' must be \"rl_zev register set 1\""},
        {"sets/apply", {{"set", {{"format", "rl_zev register set 1"}, {"registers", json::array()}}}}, strDevice},
        {"sets/apply", {{"set", {{"format", "rl_zev register set 1"}, {"device", "x"}, {"registers", json::array()}}}}, strDevice},
        {"sets/apply", {{"set", Header}}, strHolds},
        {"sets/apply", SetOf(json::object()), strHolds},
        {"sets/apply", SetOf({7}), strName},
        {"sets/apply", SetOf({{{"words", "00000001"}}}), strName},
        {"sets/apply", SetOf({{{"name", 7}}}), strName},
        {"sets/apply", SetOf({{{"name", "ENT_H1"}, {"words", 1}}}), strMemoryWords},
        {"sets/apply", SetOf({{{"name", "ENT_H1"}}}), strMemoryWords},
        {"sets/apply", SetOf({{{"name", "ENT_H1"}, {"words", ""}}}), strMemoryWords},
        {"sets/apply", SetOf({{{"name", "ENT_H1"}, {"words", "00000001"}, {"signals", json::object()}}}), strMemoryWords},
        {"sets/apply", SetOf({{{"name", "ENT_H1"}, {"words", "00000001 00000002 00000003 00000004 00000005 00000006 00000007 00000008"}}}),
         "ENT_H1 has 7 words, the set 8"},
        {"sets/apply", SetOf({{{"name", "ENT_H1"}, {"words", "0000001"}}}), "ENT_H1: word 0 is not eight hexadecimal digits"},
        {"sets/apply", SetOf({{{"name", "ENT_H1"}, {"words", "00000001,00000002"}}}), "ENT_H1: word 0 is not eight hexadecimal digits"},
        {"sets/apply", SetOf({{{"name", "DIN_CNTRL0"}, {"signals", {"FIFOLEVEL"}}}}), strSignals},
        {"sets/apply", SetOf({{{"name", "DIN_CNTRL0"}}}), strSignals},
        {"sets/apply", SetOf({{{"name", "DIN_CNTRL0"}, {"signals", {{"FIFOLEVEL", "7/d"}}}, {"words", "00000001"}}}), strSignals},
        {"sets/apply", SetOf({{{"name", "DIN_CNTRL0"}, {"signals", {{"FIFOLEVEL", 7}}}}}), "DIN_CNTRL0.FIFOLEVEL: a value is a text"},
        {"sets/apply", {{"set", Both}, {"only", "DIN_CNTRL0"}}, strOnly},
        {"sets/apply", {{"set", Both}, {"only", {"DIN_CNTRL0"}}}, strOnly},
        {"sets/apply", {{"set", Both}, {"only", {{{"signal", "FIFOLEVEL"}}}}}, strOnly},
        {"sets/apply", {{"set", Both}, {"only", {{{"register", "DIN_CNTRL0"}, {"signal", 7}}}}}, strOnly},
        {"sets/apply", {{"set", Both}, {"only", {{{"register", "DIN_CNTRL0"}, {"signal", "SEL_IN"}}}}}, "the set has no DIN_CNTRL0.SEL_IN"},
        {"sets/apply", {{"set", Both}, {"only", {{{"register", "ENT_H2"}}}}}, "the set has no ENT_H2"},
        {"sets/apply", {{"set", Three}, {"only", {{{"register", "ENT_H1"}, {"start", 2}, {"count", 2}}}}}, "the set has no words 2 to 3 of ENT_H1"},
        {"sets/apply", {{"set", Three}, {"only", {{{"register", "ENT_H1"}, {"start", 0}, {"count", 4}}}}}, "the set has no words 0 to beyond of ENT_H1"},
        {"sets/apply", {{"set", Both}, {"only", {{{"register", "DIN_CNTRL0"}, {"start", 0}, {"count", 1}}}}}, "the set has no words 0 to beyond of DIN_CNTRL0"},
        {"sets/apply", {{"set", Both}, {"only", {{{"register", "ENT_H1"}, {"start", 0}}}}}, strOnly},
        {"sets/apply", {{"set", Both}, {"only", {{{"register", "ENT_H1"}, {"start", 0}, {"count", 0}}}}}, strOnly},
        // A value echoed is cut where a character begins.
        {"sets/apply", SetOf({{{"name", "DIN_CNTRL0"}, {"signals", {{"FIFOLEVEL", std::string(63, 'x') + "\xC3\xA9"}}}}}),
         "DIN_CNTRL0.FIFOLEVEL: \"" + std::string(63, 'x') + "\" is not a value of it (an enumerator name, 1F/h or 31/d up to 255)"},
        // A field misspelt would have applied the whole register.
        {"sets/apply", {{"set", Both}, {"only", {{{"register", "DIN_CNTRL0"}, {"sgnal", "FIFOLEVEL"}}}}}, "unknown field 'sgnal' in 'only'"},
        // A name echoed is cut at 64 bytes, its control characters shown.
        {"sets/save", {{"registers", {"\x1B]0; \x7F" + std::string(100, 'A')}}}, "no register \\x1B]0; \\x7F" + std::string(58, 'A') + " in this device"},
        {"sets/apply", {{"set", SetOf({Signals})["set"]}, {"also", true}}, "unknown field 'also'"},
    };
    for (const auto& Case : aRefused)
        EXPECT_EQ(Posted(S, 400, std::get<0>(Case), std::get<1>(Case)).value("error", ""), std::get<2>(Case)) << std::get<1>(Case);
    EXPECT_TRUE(S.State() == strBefore);
    // An apply's ranges are taken up to a request's words and operations, not one past.
    std::string strWords = "00000000";
    for (int i = 1; i < 49152; ++i)
        strWords += " 00000000";
    const json Large = SetOf({{{"name", "SWP_DATA_RAM"}, {"words", strWords}}})["set"], Small = SetOf(json::array({Memory}))["set"];
    const auto Range = [](const char* a_pcRegister, unsigned a_udwCount) {
        return json{{"register", a_pcRegister}, {"start", 0}, {"count", a_udwCount}};
    };
    Posted(S, 200, "sets/apply", {{"set", Three}, {"only", {Range("ENT_H1", 3), {{"register", "ENT_H1"}, {"start", 1}, {"count", 2}}}}});
    for (const unsigned udwMore : {0u, 1u})
    {
        const json Words = {Range("SWP_DATA_RAM", 49152), Range("SWP_DATA_RAM", 16384 + udwMore)};
        const json Operations(16384 + udwMore, Range("ENT_H1", 1));
        for (const json& Body : {json{{"set", Large}, {"only", Words}}, json{{"set", Small}, {"only", Operations}}})
            EXPECT_EQ(Posted(S, udwMore == 0 ? 200 : 400, "sets/apply", Body).value("error", ""),
                      udwMore == 0 ? "" : "too many words: at most 65536 in one request");
    }
}

namespace
{
// Keeps the words written to one address, in the device's order.
struct CWriteWatcher : rlzev::CDeviceObserver
{
    explicit CWriteWatcher(std::string a_strPrefix) : m_strPrefix(std::move(a_strPrefix)) {}
    bool IsListening() const override { return true; }
    void OnEvent(const rlzev::SDeviceEvent& a_rEvent) override
    {
        if (a_rEvent.m_eKind == rlzev::SDeviceEvent::TRANSFER && a_rEvent.m_strText.compare(0, m_strPrefix.size(), m_strPrefix) == 0)
            m_Words.push_back(std::stoul(a_rEvent.m_strText.substr(m_strPrefix.size()), nullptr, 16));
    }
    std::string m_strPrefix;
    std::vector<unsigned long> m_Words;
};
} // namespace

TEST(Service, AuditLinesComeInTheDevicesOrder)
{
    SServed S;
    CWriteWatcher Watcher("bus: W 0x00100 4 ");  // DIN_CNTRL0, FIFOLEVEL in bits 9..2
    S.Runtime.AddObserver(Watcher);
    std::vector<std::thread> Writers;
    for (unsigned t = 0; t < 4; ++t)
        Writers.emplace_back([&S, t] {
            for (unsigned i = 0; i < 60; ++i)
                S.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {std::to_string(t * 60 + i) + "/d"}}});
        });
    for (std::thread& Writer : Writers)
        Writer.join();
    S.Runtime.RemoveObserver(Watcher);
    std::vector<std::string> Written;
    for (unsigned long ulWord : Watcher.m_Words)
        Written.push_back(std::to_string((ulWord >> 2) & 0xFF) + "/d");
    ASSERT_EQ(Written.size(), 240u);
    EXPECT_EQ(Audited(S, "values"), Written) << "each line is written while its write still holds the device";
}

// The answers kept for repeated requests are bounded in count and in bytes, oldest first; an
// answer too large to keep is kept as a note that the request was carried out.
TEST(Service, KeptAnswersAreBoundedInCountAndBytes)
{
    using rlzev::CAnswered;
    rlzev::SHttpResponse Answer, Found;
    Answer.m_iStatus = 200;
    CAnswered Bytes;
    Answer.m_strBody.assign(CAnswered::kMaxAnswerBytes, 'x');
    for (std::size_t i = 0; i <= CAnswered::kMaxBytes / CAnswered::kMaxAnswerBytes; ++i)
        Bytes.Keep("id" + std::to_string(i), i, Answer);
    EXPECT_EQ(Bytes.Find("id0", 0, Found), CAnswered::EFound::NONE) << "the oldest went for the bytes";
    EXPECT_EQ(Bytes.Find("id1", 1, Found), CAnswered::EFound::SAME);
    EXPECT_EQ(Found.m_strBody, Answer.m_strBody);
    Answer.m_strBody += 'x';
    Bytes.Keep("large", 99, Answer);
    ASSERT_EQ(Bytes.Find("large", 99, Found), CAnswered::EFound::SAME);
    EXPECT_EQ(Found.m_iStatus, 409);
    CAnswered Count;
    Answer.m_strBody = "{}";
    for (std::size_t i = 0; i <= CAnswered::kMaxCount; ++i)
        Count.Keep("id" + std::to_string(i), i, Answer);
    EXPECT_EQ(Count.Find("id0", 0, Found), CAnswered::EFound::NONE) << "the oldest went for the count";
    EXPECT_EQ(Count.Find("id1", 1, Found), CAnswered::EFound::SAME);
}
