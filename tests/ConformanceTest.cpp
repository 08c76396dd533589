// The conformance cases (conformance/cases.json) through the C++ doors: the runtime's
// operations, the HTTP service, and zevctl in-process and against a server. Each door turns
// a case into its own call and its answer back into the cases' terms; every door must give
// every case's answer. (The Python, ctypes and C doors run the same table from Python.)
#include "ConformanceCases.h"
#include "DeviceRuntime.h"
#include "HttpClient.h"
#include "HttpServer.h"
#include "Operations.h"
#include "ServedDevice.h"
#include "ServedOnLoopback.h"
#include "ZevCtl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <memory>
#include <sstream>
#include <thread>

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
    std::vector<std::string> m_Reports;
    std::vector<std::string> m_Transfers;
    std::vector<std::string> m_Log;
};

const json& Cases()
{
    static const json s_Cases = json::parse(kConformanceCases)["cases"];
    return s_Cases;
}

std::string Stripped(const std::string& a_strText, const std::string& a_strPrefix)
{
    return a_strText.compare(0, a_strPrefix.size(), a_strPrefix) == 0 ? a_strText.substr(a_strPrefix.size()) : a_strText;
}

// The value an answer of the service gives, as the cases put it.
json ValueOf(const std::string& a_strOperation, const json& a_rAnswer)
{
    if (a_strOperation == "read" || a_strOperation == "value")
        return a_rAnswer.value("values", json());
    if (a_strOperation == "words" || a_strOperation == "appWords" || a_strOperation == "getBlock")
        return a_rAnswer.value("words", json());
    if (a_strOperation == "get")
        return a_rAnswer.value("value", json());
    if (a_strOperation == "set" || a_strOperation == "setBlock" || a_strOperation == "registerDefaults")
        return a_rAnswer.value("result", json());
    if (a_strOperation == "state" && a_rAnswer.contains("lock"))
        return {{"lock", a_rAnswer["lock"]}, {"hardwareWord", a_rAnswer.value("hardwareWord", json())}};
    if (a_strOperation == "snapshot" && a_rAnswer.contains("snapshot"))
    {
        const std::string strText = a_rAnswer["snapshot"];
        return std::count(strText.begin(), strText.end(), '\n');
    }
    return json();
}

// Compares what a door answered with the case's expectation: the class always, the rest
// where the case names it.
void Check(const std::string& a_strDoor, const json& a_rCase, const SSeen& a_rSeen)
{
    const json& rExpect = a_rCase["expect"];
    const std::string strWhere = a_strDoor + ": " + a_rCase["name"].get<std::string>();
    EXPECT_EQ(a_rSeen.m_strClass, rExpect["class"].get<std::string>()) << strWhere << " (" << a_rSeen.m_strError << ")";
    if (rExpect.contains("value"))
    {
        EXPECT_EQ(a_rSeen.m_Value, rExpect["value"]) << strWhere;
    }
    if (rExpect.contains("error"))
    {
        EXPECT_EQ(a_rSeen.m_strError, rExpect["error"].get<std::string>()) << strWhere;
    }
    if (rExpect.contains("reports"))
    {
        EXPECT_EQ(json(a_rSeen.m_Reports), rExpect["reports"]) << strWhere;
    }
    if (rExpect.contains("transfers"))
    {
        EXPECT_EQ(json(a_rSeen.m_Transfers), rExpect["transfers"]) << strWhere;
    }
    if (rExpect.contains("log"))
    {
        EXPECT_EQ(json(a_rSeen.m_Log), rExpect["log"]) << strWhere;
    }
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
    // Empty when the door can run the case, else why not.
    virtual std::string Cannot(const json& a_rCase) const = 0;
    // A device as the case needs it: read-only, a host that faults.
    virtual void Reset(const json& a_rCase) = 0;
    // a_strFault: "read", the host's next bus read throws; "notReady", the read-back path never is.
    virtual SSeen Run(const json& a_rOperation, const std::string& a_strFault) = 0;
    // Every transfer count, word, flag and lock state of the device, where the door can see
    // them: a refusal must leave them as they were.
    virtual std::string State() { return ""; }
};

void RunEveryCase(const std::string& a_strDoor, CDoor& a_rDoor, json (*a_pTerms)(json) = nullptr)
{
    unsigned uRun = 0;
    for (const json& Case : Cases())
    {
        if (Case.contains("not") && Case["not"].contains(a_strDoor))
            continue;
        if (!a_rDoor.Cannot(Case).empty())
            continue;
        a_rDoor.Reset(Case);
        for (const json& Step : Case.value("setup", json::array()))
        {
            const SSeen Seen = a_rDoor.Run(Step, "");
            EXPECT_TRUE(Seen.m_strClass == "ok" || Seen.m_strClass == "reported")
                << a_strDoor << ": " << Case["name"] << ": setup " << Step.dump() << ": " << Seen.m_strError;
        }
        const std::string strBefore = a_rDoor.State();
        const SSeen Seen = a_rDoor.Run(Case["op"], Case.value("fault", ""));
        Check(a_strDoor, a_pTerms == nullptr ? Case : a_pTerms(Case), Seen);
        if (Seen.m_strClass == "refused" || Seen.m_strClass == "bad" || Seen.m_strClass == "read_only")
        {
            EXPECT_TRUE(a_rDoor.State() == strBefore) << a_strDoor << ": " << Case["name"] << ": a refusal changed the device";
        }
        ++uRun;
    }
    EXPECT_GT(uRun, 0u);
    std::printf("%s: %u of %zu cases\n", a_strDoor.c_str(), uRun, Cases().size());
}

// The runtime's own operations: the table's arguments from the case, its checks, RunBatch.
class CRuntimeDoor : public CDoor
{
public:
    std::string Cannot(const json& a_rCase) const override
    {
        return a_rCase.value("readOnly", false) ? "a device in the process has no read-only mode" : "";
    }
    void Reset(const json&) override
    {
        m_pServed.reset();
        m_pServed.reset(new SServed);
    }
    SSeen Run(const json& a_rOperation, const std::string& a_strFault) override
    {
        SSeen Seen;
        const rlzev::SOperationRow* pRow = rlzev::FindOperation(a_rOperation["op"]);
        if (pRow == nullptr)
            return {"bad", json(), "no such operation", {}, {}, {}};
        rlzev::SOperation Operation;
        Operation.m_eOperation = pRow->m_eOperation;
        Operation.m_strRegister = a_rOperation.value("register", "");
        Operation.m_strSignal = a_rOperation.value("signal", "");
        Operation.m_Values = a_rOperation.value("values", std::vector<std::string>());
        Operation.m_Words = a_rOperation.value("words", std::vector<unsigned>());
        if (a_rOperation.contains("value"))
            Operation.m_Words.assign(1, a_rOperation["value"].get<unsigned>());
        Operation.m_udwStart = a_rOperation.value("start", 0u);
        Operation.m_udwCount = a_rOperation.value("count", 0u);
        Operation.m_udwMode = a_rOperation.value("mode", 0u);
        Operation.m_bEnable = a_rOperation.value("enable", true);
        Operation.m_bReadHw = a_rOperation.value("readHw", false);
        rlzev::SBudget Budget;
        Seen.m_strError = rlzev::CheckOperation(m_pServed->Runtime.Catalogue(), Operation, a_rOperation.contains("count"), Budget);
        if (!Seen.m_strError.empty())
        {
            Seen.m_strClass = "bad";
            return Seen;
        }
        Fault(m_pServed->Host.Bus, a_strFault);
        rlzev::SBatchOptions Options;
        Options.m_bTrace = true;
        const rlzev::SOutcome Outcome = m_pServed->Runtime.RunBatch({Operation}, Options).front();
        for (const rlzev::SDeviceEvent& rEvent : Outcome.m_Record.m_Events)
            if (rEvent.m_eKind == rlzev::SDeviceEvent::TRANSFER)
                Seen.m_Transfers.push_back(Stripped(rEvent.m_strText, "bus: "));
            else if (rEvent.m_eKind == rlzev::SDeviceEvent::LOG)
                Seen.m_Log.push_back(rEvent.m_strText);
        for (const rlzev::SReport& rReport : Outcome.m_Record.m_Reports)
            Seen.m_Reports.push_back(rReport.m_strMessage);
        Seen.m_strError = Outcome.m_strError;
        switch (Outcome.m_eStatus)
        {
        case rlzev::SOutcome::DONE: Seen.m_strClass = Seen.m_Reports.empty() ? "ok" : "reported"; break;
        case rlzev::SOutcome::REFUSED: Seen.m_strClass = "refused"; break;
        default: Seen.m_strClass = "fault"; break;
        }
        // The answer's value, as the service words it (one table, one answer).
        json Answer;
        switch (pRow->m_eAnswer)
        {
        case rlzev::EAnswer::SERVICE_TEXTS:
        case rlzev::EAnswer::TEXTS: Answer["values"] = Outcome.m_Texts; break;
        case rlzev::EAnswer::WORDS:
        case rlzev::EAnswer::WORDS_RESULT: Answer["words"] = Outcome.m_Words; break;
        case rlzev::EAnswer::VALUE: Answer["value"] = Outcome.m_Words.empty() ? json() : json(Outcome.m_Words.front()); break;
        case rlzev::EAnswer::RESULT: Answer["result"] = Outcome.m_bResult; break;
        case rlzev::EAnswer::STATE:
            if (!Outcome.m_LockStates.empty())
            {
                static const char* const apcLocks[] = {"UNLOCKED", "LOCKED", "SERVICE_ACCESS"};
                Answer["lock"] = apcLocks[Outcome.m_LockStates.front() % 3];
                if (!Outcome.m_Words.empty())
                    Answer["hardwareWord"] = Outcome.m_Words.front();
            }
            break;
        case rlzev::EAnswer::SNAPSHOT: Answer["snapshot"] = Outcome.m_strSnapshot; break;
        case rlzev::EAnswer::NONE: break;
        }
        if (Outcome.m_eStatus == rlzev::SOutcome::DONE || pRow->m_eAnswer == rlzev::EAnswer::SERVICE_TEXTS)
            Seen.m_Value = ValueOf(a_rOperation["op"], Answer);
        return Seen;
    }
    std::string State() override { return m_pServed->State(); }

private:
    std::unique_ptr<SServed> m_pServed;
};


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
    Seen.m_Value = ValueOf(a_strOperation, a_rAnswer);
    return Seen;
}

class CHttpDoor : public CDoor
{
public:
    std::string Cannot(const json&) const override { return ""; }
    void Reset(const json& a_rCase) override
    {
        m_pClient.reset();
        m_pServer.reset();
        m_pServer.reset(new SServer(a_rCase.value("readOnly", false)));
        m_pClient.reset(new rlzev::CHttpClient(m_pServer->strUrl, kToken));
    }
    SSeen Run(const json& a_rOperation, const std::string& a_strFault) override
    {
        json Body = a_rOperation;
        const std::string strOperation = Body["op"];
        Body.erase("op");
        Body["trace"] = true;
        Fault(m_pServer->Served.Host.Bus, a_strFault);
        rlzev::SHttpResponse Response;
        std::string strError;
        const bool bGet = strOperation == "snapshot";
        if (!m_pClient->Send(bGet ? "GET" : "POST", "/api/v1/" + strOperation + (bGet ? "?trace=1" : ""),
                             bGet ? "" : Body.dump(), Response, strError))
            return {"no answer", json(), strError, {}, {}, {}};
        return FromAnswer(strOperation, Response.m_iStatus, json::parse(Response.m_strBody));
    }
    std::string State() override { return m_pServer->Served.State(); }
    std::unique_ptr<SServer> m_pServer;

private:
    std::unique_ptr<rlzev::CHttpClient> m_pClient;
};

// zevctl's commands for the operations it has; its exit code, output and error lines back
// into the cases' terms. It tells the library's refusals by their texts, not by status.
class CZevctlDoor : public CDoor
{
public:
    explicit CZevctlDoor(CHttpDoor* a_pServer) : m_pServer(a_pServer) {}
    std::string Cannot(const json& a_rCase) const override
    {
        static const std::set<std::string> kCommands = {"read", "write", "value", "lock", "unlock", "defaults", "snapshot"};
        for (const json& Step : a_rCase.value("setup", json::array()))
        {
            if (m_pServer == nullptr)
                return "zevctl in-process makes its device anew for each command: no setup carries over";
            if (kCommands.count(Step["op"]) == 0)
                return "zevctl has no command for a step of its setup";
        }
        if (kCommands.count(a_rCase["op"]["op"]) == 0)
            return "zevctl has no command for " + a_rCase["op"]["op"].get<std::string>();
        if (m_pServer == nullptr && (a_rCase.value("readOnly", false) || a_rCase.contains("fault")))
            return "zevctl's own device has no read-only mode and no faulting host";
        return "";
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
            Args = {"--connect", m_pServer->m_pServer->strUrl, "--token-file", TokenFile()};
            Fault(m_pServer->m_pServer->Served.Host.Bus, a_strFault);
        }
        Args.push_back("--trace");
        const std::string strOperation = a_rOperation["op"];
        Args.push_back(strOperation == "value" ? "get" : strOperation);
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
        // zevctl shows a refusal's reports, or its text where there are none; a report is a
        // refusal there too.
        Seen.m_strClass = iCode == ZEVCTL_OK ? "ok" : iCode == ZEVCTL_REFUSED ? "refused" : "bad";
        if (iCode == ZEVCTL_REFUSED && Seen.m_strError.empty() && !Seen.m_Reports.empty())
            Seen.m_strError = Seen.m_Reports.back();
        return Seen;
    }

private:
    std::string TokenFile()
    {
        const std::string strPath = ::testing::TempDir() + "conformance-token";
        std::ofstream(strPath) << kToken << "\n";
        return strPath;
    }
    CHttpDoor* m_pServer;
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

TEST(Conformance, TheRuntimesOperations)
{
    CRuntimeDoor Door;
    RunEveryCase("runtime", Door);
}

TEST(Conformance, TheHttpService)
{
    CHttpDoor Door;
    RunEveryCase("http", Door);
}

TEST(Conformance, Zevctl)
{
    CZevctlDoor Door(nullptr);
    RunEveryCase("zevctl", Door, &ForZevctl);
}

TEST(Conformance, ZevctlConnected)
{
    CHttpDoor Server;
    CZevctlDoor Door(&Server);
    RunEveryCase("zevctl --connect", Door, &ForZevctl);
}
