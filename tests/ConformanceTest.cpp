// The conformance cases (conformance/cases.json) through the C++ doors: the service
// in-process and over HTTP, and zevctl in-process and against a server. Each door turns a
// case into its own call and its answer back into the cases' terms; every door must give
// every case's answer. (The Python, ctypes and C doors run the same table from Python.)
#include "ConformanceCases.h"
#include "HttpClient.h"
#include "ServedOnLoopback.h"
#include "ZevCtl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace
{
using nlohmann::json;
using rlzevtest::kToken;
using rlzevtest::SServed;
using rlzevtest::SServer;

// What a door answered, in the cases' terms.
struct SSeen
{
    std::string m_strClass;
    json m_Value;
    std::string m_strError;
    std::vector<std::string> m_Reports, m_Transfers, m_Log;
};

std::string Stripped(const std::string& a_strText, const std::string& a_strPrefix)
{
    return a_strText.compare(0, a_strPrefix.size(), a_strPrefix) == 0 ? a_strText.substr(a_strPrefix.size()) : a_strText;
}

void Fault(CSimBus& a_rBus, const std::string& a_strFault)
{
    if (a_strFault == "read")
        a_rBus.m_iThrowOnRead = 1;
    else if (a_strFault == "notReady")
        a_rBus.m_udwReadyAfterPolls = 0;
}

class CDoor
{
public:
    virtual ~CDoor() = default;
    // Whether the door can run the case.
    virtual bool Can(const json&) const { return true; }
    // A device as the case needs it: read-only or not.
    virtual void Reset(const json& a_rCase) = 0;
    // a_strFault: "read", the host's next bus read throws; "notReady", the read-back path never is.
    virtual SSeen Run(const json& a_rOperation, const std::string& a_strFault) = 0;
    // Every transfer count, word, flag and lock state of the device: a refusal must leave them.
    virtual std::string State() = 0;
};

// The case's expectation: the class always, the rest where the case names it.
void Check(const std::string& a_strWhere, const json& a_rExpect, const SSeen& a_rSeen)
{
    EXPECT_EQ(a_rSeen.m_strClass, a_rExpect["class"].get<std::string>()) << a_strWhere << " (" << a_rSeen.m_strError << ")";
    const std::pair<const char*, json> aSeen[] = {{"value", a_rSeen.m_Value},         {"error", a_rSeen.m_strError},
                                                  {"reports", a_rSeen.m_Reports},     {"transfers", a_rSeen.m_Transfers},
                                                  {"log", a_rSeen.m_Log}};
    for (const auto& rSeen : aSeen)
        EXPECT_TRUE(!a_rExpect.contains(rSeen.first) || rSeen.second == a_rExpect[rSeen.first])
            << a_strWhere << ": " << rSeen.first << " " << rSeen.second << ", not " << a_rExpect[rSeen.first];
}

void RunEveryCase(const std::string& a_strDoor, CDoor& a_rDoor, json (*a_pTerms)(json) = nullptr)
{
    unsigned uRun = 0;
    const json Cases = json::parse(kConformanceCases)["cases"];
    for (const json& Case : Cases)
    {
        if ((Case.contains("not") && Case["not"].contains(a_strDoor)) || !a_rDoor.Can(Case))
            continue;
        const std::string strWhere = a_strDoor + ": " + Case["name"].get<std::string>();
        a_rDoor.Reset(Case);
        for (const json& Step : Case.value("setup", json::array()))
        {
            const SSeen Seen = a_rDoor.Run(Step, "");
            EXPECT_TRUE(Seen.m_strClass == "ok" || Seen.m_strClass == "reported") << strWhere << ": setup " << Step << ": " << Seen.m_strError;
        }
        const std::string strBefore = a_rDoor.State();
        const SSeen Seen = a_rDoor.Run(Case["op"], Case.value("fault", ""));
        Check(strWhere, (a_pTerms == nullptr ? Case : a_pTerms(Case))["expect"], Seen);
        const bool bRefused = Seen.m_strClass == "refused" || Seen.m_strClass == "bad" || Seen.m_strClass == "read_only";
        EXPECT_TRUE(!bRefused || a_rDoor.State() == strBefore) << strWhere << ": a refusal changed the device";
        ++uRun;
    }
    EXPECT_GT(uRun, 0u);
    std::printf("%s: %u of %zu cases\n", a_strDoor.c_str(), uRun, Cases.size());
}

// The service's answer in the cases' terms.
SSeen FromAnswer(const std::string& a_strOperation, int a_iStatus, const json& a_rAnswer)
{
    SSeen Seen;
    for (const json& Event : a_rAnswer.value("events", json::array()))
        if (Event["type"] == "transfer")
            Seen.m_Transfers.push_back(Stripped(Event["text"], "bus: "));
        else if (Event["type"] == "log")
            Seen.m_Log.push_back(Event["text"]);
    for (const json& Report : a_rAnswer.value("reports", json::array()))
        Seen.m_Reports.push_back(Report["message"]);
    Seen.m_strError = a_rAnswer.value("error", "");
    switch (a_iStatus)
    {
    case 200: Seen.m_strClass = Seen.m_Reports.empty() ? "ok" : "reported"; break;
    case 400: Seen.m_strClass = "bad"; break;
    case 403: Seen.m_strClass = "read_only"; break;
    case 422: Seen.m_strClass = "refused"; break;
    case 500: Seen.m_strClass = "fault"; break;
    default: Seen.m_strClass = "status " + std::to_string(a_iStatus); break;
    }
    // The value, as the cases put it.
    const std::string& o = a_strOperation;
    if (o == "read" || o == "value")
        Seen.m_Value = a_rAnswer.value("values", json());
    else if (o == "words" || o == "appWords" || o == "getBlock")
        Seen.m_Value = a_rAnswer.value("words", json());
    else if (o == "get")
        Seen.m_Value = a_rAnswer.value("value", json());
    else if (o == "set" || o == "setBlock" || o == "registerDefaults")
        Seen.m_Value = a_rAnswer.value("result", json());
    else if (o == "state" && a_rAnswer.contains("lock"))
        Seen.m_Value = {{"lock", a_rAnswer["lock"]}, {"hardwareWord", a_rAnswer.value("hardwareWord", json())}};
    else if (o == "snapshot" && a_rAnswer.contains("snapshot"))
    {
        const std::string strText = a_rAnswer["snapshot"];
        Seen.m_Value = std::count(strText.begin(), strText.end(), '\n');
    }
    return Seen;
}

// The service in-process, or over HTTP on loopback.
class CServiceDoor : public CDoor
{
public:
    explicit CServiceDoor(bool a_bHttp) : m_bHttp(a_bHttp) {}
    void Reset(const json& a_rCase) override
    {
        m_pClient.reset();
        m_pServer.reset();
        m_pServed.reset();
        if (!m_bHttp)
        {
            m_pServed.reset(new SServed(a_rCase.value("readOnly", false)));
            return;
        }
        m_pServer.reset(new SServer(a_rCase.value("readOnly", false)));
        m_pClient.reset(new rlzev::CHttpClient(m_pServer->strUrl, kToken));
    }
    SSeen Run(const json& a_rOperation, const std::string& a_strFault) override
    {
        json Body = a_rOperation;
        const std::string strOperation = Body["op"];
        Body.erase("op");
        Body["trace"] = true;
        Fault(Served().Host.Bus, a_strFault);
        const bool bGet = strOperation == "snapshot";
        const std::string strPath = "/api/v1/" + strOperation + (bGet ? "?trace=1" : "");
        const std::string strBody = bGet ? "" : Body.dump();
        if (!m_bHttp)
        {
            int iStatus = 0;
            const json Answer = m_pServed->Call(bGet ? "GET" : "POST", strPath, strBody, &iStatus);
            return FromAnswer(strOperation, iStatus, Answer);
        }
        rlzev::SHttpResponse Response;
        std::string strError;
        if (!m_pClient->Send(bGet ? "GET" : "POST", strPath, strBody, Response, strError))
            return {"no answer", json(), strError, {}, {}, {}};
        return FromAnswer(strOperation, Response.m_iStatus, json::parse(Response.m_strBody));
    }
    std::string State() override { return Served().State(); }
    SServed& Served() { return m_bHttp ? m_pServer->Served : *m_pServed; }
    std::unique_ptr<SServer> m_pServer;

private:
    bool m_bHttp;
    std::unique_ptr<SServed> m_pServed;
    std::unique_ptr<rlzev::CHttpClient> m_pClient;
};

// zevctl's commands for the operations it has; its exit code, output and error lines back
// into the cases' terms. It tells the library's refusals by their texts, not by status.
class CZevctlDoor : public CDoor
{
public:
    explicit CZevctlDoor(CServiceDoor* a_pServer) : m_pServer(a_pServer) {}
    bool Can(const json& a_rCase) const override
    {
        // zevctl in-process makes its device anew for each command (no setup carries over),
        // and has no read-only mode and no faulting host.
        static const std::set<std::string> kCommands = {"read", "write", "value", "lock", "unlock", "defaults", "snapshot"};
        for (const json& Step : a_rCase.value("setup", json::array()))
            if (m_pServer == nullptr || kCommands.count(Step["op"]) == 0)
                return false;
        return kCommands.count(a_rCase["op"]["op"]) != 0 &&
               (m_pServer != nullptr || !(a_rCase.value("readOnly", false) || a_rCase.contains("fault")));
    }
    void Reset(const json& a_rCase) override
    {
        if (m_pServer != nullptr)
            m_pServer->Reset(a_rCase);
    }
    SSeen Run(const json& a_rOperation, const std::string& a_strFault) override
    {
        std::vector<std::string> Args;
        if (m_pServer != nullptr)
        {
            const std::string strToken = ::testing::TempDir() + "conformance-token";
            std::ofstream(strToken) << kToken << "\n";
            Args = {"--connect", m_pServer->m_pServer->strUrl, "--token-file", strToken};
            Fault(m_pServer->Served().Host.Bus, a_strFault);
        }
        const std::string strOperation = a_rOperation["op"];
        Args.insert(Args.end(), {"--trace", strOperation == "value" ? "get" : strOperation});
        if (a_rOperation.contains("register"))
            Args.push_back(a_rOperation["register"]);
        if (a_rOperation.contains("signal"))
            Args.push_back(a_rOperation["signal"]);
        else if (strOperation == "write")
            Args.push_back("-");
        for (const json& Value : a_rOperation.value("values", json::array()))
            Args.push_back(Value);
        for (const char* pcOption : {"start", "count"})
            if (a_rOperation.contains(pcOption))
                Args.insert(Args.end(), {std::string("--") + pcOption, std::to_string(a_rOperation[pcOption].get<unsigned>())});
        std::istringstream In;
        std::ostringstream Out, Err;
        const int iCode = RunZevctl(Args, In, Out, Err);
        SSeen Seen;
        std::istringstream ErrLines(Err.str());
        for (std::string strLine; std::getline(ErrLines, strLine);)
        {
            const std::size_t uFunction = strLine.find(": ");
            const std::size_t uMessage = uFunction == std::string::npos ? uFunction : strLine.find(": ", uFunction + 2);
            if (strLine.compare(0, 5, "bus: ") == 0)
                Seen.m_Transfers.push_back(strLine.substr(5));
            else if (uMessage != std::string::npos && strLine.find(':') < uFunction && strLine.find("::") < uMessage)
                Seen.m_Reports.push_back(strLine.substr(uMessage + 2));
            else
                Seen.m_strError = strLine;
        }
        std::vector<std::string> Lines;
        std::istringstream OutLines(Out.str());
        for (std::string strLine; std::getline(OutLines, strLine);)
            Lines.push_back(strLine);
        if (strOperation == "read" || strOperation == "value")
            Seen.m_Value = iCode == ZEVCTL_OK || !Lines.empty() ? json(Lines) : json();
        else if (strOperation == "snapshot")
            Seen.m_Value = Lines.size();
        // zevctl shows a refusal's reports, or its text where there are none.
        Seen.m_strClass = iCode == ZEVCTL_OK ? "ok" : iCode == ZEVCTL_REFUSED ? "refused" : "bad";
        if (iCode == ZEVCTL_REFUSED && Seen.m_strError.empty() && !Seen.m_Reports.empty())
            Seen.m_strError = Seen.m_Reports.back();
        return Seen;
    }
    std::string State() override { return ""; }  // its refusals are not the device's alone

private:
    CServiceDoor* m_pServer;
};

// zevctl tells a refusal only by its text: a refusal before the device, a read-only server,
// a host fault and a report are each a refusal there (exit code 1). Device-wide commands
// leave out the refused directions they always meet.
json ForZevctl(json a_Case)
{
    json& rExpect = a_Case["expect"];
    std::string& rClass = rExpect["class"].get_ref<std::string&>();
    const std::string strOperation = a_Case["op"]["op"];
    if (strOperation == "defaults" || strOperation == "snapshot")
        rClass = "ok", rExpect.erase("reports");
    else if (rClass == "bad" || rClass == "read_only" || rClass == "fault" || rClass == "reported")
        rClass = "refused";
    return a_Case;
}
} // namespace

TEST(Conformance, TheServiceInProcess)
{
    CServiceDoor Door(false);
    RunEveryCase("service", Door);
}

TEST(Conformance, TheHttpService)
{
    CServiceDoor Door(true);
    RunEveryCase("http", Door);
}

TEST(Conformance, Zevctl)
{
    CZevctlDoor Door(nullptr);
    RunEveryCase("zevctl", Door, &ForZevctl);
}

TEST(Conformance, ZevctlConnected)
{
    CServiceDoor Server(true);
    CZevctlDoor Door(&Server);
    RunEveryCase("zevctl --connect", Door, &ForZevctl);
}
