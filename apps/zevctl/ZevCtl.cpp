#include "ZevCtl.h"

#include "BadRequest.h"
#include "DeviceRuntime.h"
#include "DeviceService.h"
#include "HttpClient.h"
#include "RegisterSet.h"
#include "Token.h"
#include "ZevSimulator.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <iterator>
#include <memory>
#include <ostream>

namespace
{
const char* const kRegisterNotFound = "Register not found!";

using nlohmann::json;

// One command as parsed, from the command line or from a script line.
struct SCommand
{
    std::string m_strName;
    std::string m_strRegister;
    std::string m_strSignal;
    std::vector<std::string> m_Args;
    unsigned m_udwStart = 0;
    unsigned m_udwCount = 0;
    bool m_bCountGiven = false;
    std::string m_strFile;
    std::vector<std::string> m_Registers;  // save, compare, apply
    bool m_bMemories = false;
    bool m_bDefaults = false;
};

// Subcommands shared by the command line and script lines; each fills a_rCommand.
void AddCommands(CLI::App& a_rApp, SCommand& a_rCommand, bool a_bWithRun)
{
    // "/name" is a path or a value text here, never an option, on every platform; set before
    // the subcommands, which take it over.
    a_rApp.allow_windows_style_options(false);
    auto Named = [&a_rCommand](const char* a_pcName) { return [&a_rCommand, a_pcName]() { a_rCommand.m_strName = a_pcName; }; };

    a_rApp.add_subcommand("snapshot", "Write the snapshot script of the device to stdout")->callback(Named("snapshot"));
    a_rApp.add_subcommand("defaults", "Set every register to its defaults (SetToDefault)")->callback(Named("defaults"));

    CLI::App* pList = a_rApp.add_subcommand("list", "List the registers, or one register's signals");
    pList->add_option("register", a_rCommand.m_strRegister, "Register name");
    pList->callback(Named("list"));

    CLI::App* pRead = a_rApp.add_subcommand("read", "Read a signal, a whole register or a memory range (hexadecimal)");
    pRead->add_option("register", a_rCommand.m_strRegister, "Register name")->required();
    pRead->add_option("signal", a_rCommand.m_strSignal, "Signal name; none reads the whole register");
    pRead->add_option("--start", a_rCommand.m_udwStart, "First memory word");
    pRead->add_option("--count", a_rCommand.m_udwCount, "Memory words to read (default: to the end)")
        ->each([&a_rCommand](const std::string&) { a_rCommand.m_bCountGiven = true; });
    pRead->callback(Named("read"));

    CLI::App* pWrite = a_rApp.add_subcommand(
        "write", "Write values: REG SIG VALUE... for a signal, REG VALUE (or REG - VALUE) for a whole register, "
                 "REG VALUE... (or REG - VALUE...) for a memory from --start on. Values: 12/d, 0x1F/h, or an "
                 "enumerator name");
    pWrite->add_option("register", a_rCommand.m_strRegister, "Register name")->required();
    pWrite->add_option("arguments", a_rCommand.m_Args, "[SIGNAL] VALUE...")->required();
    pWrite->add_option("--start", a_rCommand.m_udwStart, "First memory word");
    pWrite->callback(Named("write"));

    CLI::App* pGet = a_rApp.add_subcommand("get", "Read a signal as a name or a signed decimal number");
    pGet->add_option("register", a_rCommand.m_strRegister, "Register name")->required();
    pGet->add_option("signal", a_rCommand.m_strSignal, "Signal name")->required();
    pGet->callback(Named("get"));

    for (const char* pcVerb : {"lock", "unlock"})
    {
        CLI::App* pLock = a_rApp.add_subcommand(
            pcVerb, std::string(pcVerb == std::string("lock") ? "Freeze" : "Release") +
                        " signals against the application; ALL or all stands for every register or signal");
        pLock->add_option("register", a_rCommand.m_strRegister, "Register name, or ALL")->required();
        pLock->add_option("signal", a_rCommand.m_strSignal, "Signal name, or ALL")->required();
        pLock->callback(Named(pcVerb));
    }

    CLI::App* pSave = a_rApp.add_subcommand("save", "Save register values to a register set FILE (- for stdout): the "
                                                    "registers named, or all; memories with --memories or by name");
    pSave->add_option("file", a_rCommand.m_strFile, "The register set's file")->required();
    pSave->add_option("registers", a_rCommand.m_Registers, "Register names (default: every register)");
    pSave->add_flag("--memories", a_rCommand.m_bMemories, "With every memory too (when no register is named)");
    pSave->callback(Named("save"));

    CLI::App* pCompare = a_rApp.add_subcommand(
        "compare", "Hold the device against a register set FILE, or with --defaults against its defaults; every "
                   "difference is printed, the exit code is 1 when there is one");
    pCompare->add_option("file", a_rCommand.m_strFile, "The register set's file (none with --defaults)");
    pCompare->add_option("registers", a_rCommand.m_Registers, "With --defaults: register names (default: every register)");
    pCompare->add_flag("--defaults", a_rCommand.m_bDefaults, "Against the defaults of the description");
    pCompare->callback(Named("compare"));

    CLI::App* pApply = a_rApp.add_subcommand("apply", "Write a register set FILE to the device (service writes: the fields "
                                                      "stay with the service until unlocked), or only REG or REG.SIG of it");
    pApply->add_option("file", a_rCommand.m_strFile, "The register set's file")->required();
    pApply->add_option("fields", a_rCommand.m_Registers, "REG or REG.SIG to write (default: the whole set)");
    pApply->callback(Named("apply"));

    if (a_bWithRun)
    {
        CLI::App* pRun = a_rApp.add_subcommand("run", "Run commands one per line from FILE (or stdin); # starts a comment");
        pRun->add_option("file", a_rCommand.m_strFile, "Script file; none or - reads stdin");
        pRun->callback(Named("run"));
    }
    a_rApp.require_subcommand(1, 1);
}

// How a command reaches a device. Both ways speak the device service's requests and answers,
// so a command behaves alike on the simulated device in this process and on a server.
class CEndpoint
{
public:
    virtual ~CEndpoint() = default;
    // False when no answer came at all (a_rError says why).
    virtual bool Send(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
                      rlzev::SHttpResponse& a_rResponse, std::string& a_rError) = 0;
    // A device of this process starts from its defaults; a server's device keeps its state.
    virtual bool IsLocal() const = 0;
};

// One simulated ZEV in this process, behind the same service a server runs.
class CLocalDevice : public CEndpoint
{
public:
    CLocalDevice() : m_Host(m_Quiet), m_Runtime(m_Host.Bus, m_Host.Utility, m_Host.Status), m_Service(m_Runtime, {kToken, false, nullptr})
    {
    }

    bool Send(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
              rlzev::SHttpResponse& a_rResponse, std::string&) override
    {
        const std::size_t uQuery = a_strPath.find('?');
        rlzev::SHttpRequest Request;
        Request.m_strMethod = a_strMethod;
        Request.m_strPath = a_strPath.substr(0, uQuery);
        Request.m_strQuery = uQuery == std::string::npos ? "" : a_strPath.substr(uQuery + 1);
        Request.m_strAuthorization = std::string("Bearer ") + kToken;
        Request.m_strBody = a_strBody;
        Request.m_strClient = "in-process";
        a_rResponse = m_Service.Handle(Request);
        return true;
    }
    bool IsLocal() const override { return true; }

private:
    static constexpr const char* kToken = "in-process";
    std::ostream m_Quiet{nullptr};  // the answers carry the reports; the simulator's own lines would repeat them
    SSimulatedHost m_Host;
    rlzev::CDeviceRuntime m_Runtime;
    rlzev::CDeviceService m_Service;
};

class CRemoteDevice : public CEndpoint
{
public:
    CRemoteDevice(const std::string& a_strUrl, const std::string& a_strToken) : m_Client(a_strUrl, a_strToken) {}
    bool Send(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
              rlzev::SHttpResponse& a_rResponse, std::string& a_rError) override
    {
        return m_Client.Send(a_strMethod, a_strPath, a_strBody, a_rResponse, a_rError);
    }
    bool IsLocal() const override { return false; }

private:
    rlzev::CHttpClient m_Client;
};

// The commands, on whichever device the endpoint reaches.
class CSession
{
public:
    CSession(CEndpoint& a_rEndpoint, std::ostream& a_rOut, std::ostream& a_rErr, bool a_bTrace)
        : m_rEndpoint(a_rEndpoint), m_rOut(a_rOut), m_rErr(a_rErr), m_bTrace(a_bTrace)
    {
    }

    int Execute(const SCommand& a_rCommand)
    {
        const std::string& strName = a_rCommand.m_strName;
        json Body = json::object();
        if (m_bTrace)
            Body["trace"] = true;
        if (strName == "snapshot")
            return Call("GET", m_bTrace ? "snapshot?trace=1" : "snapshot", "", true, [this](const json& a_rAnswer) {
                m_rOut << a_rAnswer.value("snapshot", "");
            });
        if (strName == "defaults")
            return Call("POST", "defaults", Body.dump(), true, [](const json&) {});
        if (strName == "list")
            return List(a_rCommand.m_strRegister);
        if (strName == "save" || strName == "compare" || strName == "apply")
            return Sets(a_rCommand);
        Body["register"] = a_rCommand.m_strRegister;
        if (strName == "read")
        {
            Body["signal"] = a_rCommand.m_strSignal;
            if (a_rCommand.m_udwStart != 0)
                Body["start"] = a_rCommand.m_udwStart;
            if (a_rCommand.m_bCountGiven)
                Body["count"] = a_rCommand.m_udwCount;
            return Call("POST", "read", Body.dump(), false, [this](const json& a_rAnswer) { PrintValues(a_rAnswer); });
        }
        if (strName == "write")
        {
            // A memory takes values only; a register takes SIGNAL VALUE... or one whole-register VALUE.
            const SMapRegister* pMap = FindMapRegister(a_rCommand.m_strRegister);
            std::vector<std::string> Values = a_rCommand.m_Args;
            std::string strSignal;
            if (!Values.empty() && Values.front() == "-")
            {
                Values.erase(Values.begin());
            }
            else if ((pMap == nullptr || pMap->m_udwWords == 1) && Values.size() >= 2)
            {
                strSignal = Values.front();
                Values.erase(Values.begin());
            }
            Body["signal"] = strSignal;
            Body["values"] = Values;
            if (a_rCommand.m_udwStart != 0)
                Body["start"] = a_rCommand.m_udwStart;
            return Call("POST", "write", Body.dump(), false, [](const json&) {});
        }
        Body["signal"] = a_rCommand.m_strSignal;
        if (strName == "get")
            return Call("POST", "value", Body.dump(), false, [this](const json& a_rAnswer) { PrintValues(a_rAnswer); });
        return Call("POST", strName, Body.dump(), false, [](const json&) {});  // lock, unlock
    }

    // The start-up SetToDefault of a device of this process: set-up, not part of the
    // commands, so not traced; a server's device was set up when the server started.
    int Defaults()
    {
        const bool bTrace = m_bTrace;
        m_bTrace = false;
        const int iCode = Call("POST", "defaults", "{}", true, [](const json&) {});
        m_bTrace = bTrace;
        return iCode;
    }

private:
    // Sends one request and shows its answer: the transfers with --trace, the reports, then
    // the output or the device's error text. A report is a refusal too (a read-only
    // register, a read-back that never got ready). Device-wide operations meet the
    // read-only and write-only registers on every run: their refused directions are
    // expected there and are not shown.
    template <class TPrint>
    int Call(const char* a_pcMethod, const std::string& a_strOperation, const std::string& a_strBody, bool a_bDeviceWide,
             TPrint a_Print)
    {
        rlzev::SHttpResponse Response;
        std::string strError;
        if (!m_rEndpoint.Send(a_pcMethod, "/api/v1/" + a_strOperation, a_strBody, Response, strError))
        {
            m_rErr << "zevctl: no answer from the server: " << strError << "\n";
            return ZEVCTL_UNREACHABLE;
        }
        const json Answer = json::parse(Response.m_strBody, nullptr, false);
        if (!Answer.is_object())
        {
            m_rErr << "zevctl: the server answered " << Response.m_iStatus << " without a JSON body\n";
            return ZEVCTL_UNREACHABLE;
        }
        if (Response.m_iStatus == 401)
        {
            m_rErr << "zevctl: the server refused the token: " << Answer.value("error", "") << "\n";
            return ZEVCTL_UNREACHABLE;
        }
        // An answer of another shape (a different server, a proxy) is not taken for one.
        try
        {
            return ShowAnswer(Response.m_iStatus, Answer, a_bDeviceWide, a_Print);
        }
        catch (const json::exception& e)
        {
            m_rErr << "zevctl: the server's answer (" << Response.m_iStatus << ") is not what zevctl expects: " << e.what()
                   << "\n";
            return ZEVCTL_UNREACHABLE;
        }
    }

    template <class TPrint>
    int ShowAnswer(int a_iStatus, const json& a_rAnswer, bool a_bDeviceWide, TPrint a_Print)
    {
        unsigned udwShown = 0;
        auto Show = [&](const json& a_rEvent) {
            if (a_rEvent.value("type", "") != "report")
            {
                m_rErr << a_rEvent.value("text", "") << "\n";
                return;
            }
            if (a_bDeviceWide && a_rEvent.value("accessDenied", false))
                return;
            ++udwShown;
            m_rErr << a_rEvent.value("file", "") << ":" << a_rEvent.value("line", 0) << ": " << a_rEvent.value("function", "")
                   << ": " << a_rEvent.value("message", "") << "\n";
        };
        for (const json& Event : a_rAnswer.value(m_bTrace ? "events" : "reports", json::array()))
            Show(Event);
        if (a_iStatus == 200)
            a_Print(a_rAnswer);
        if (udwShown > 0)
            return ZEVCTL_REFUSED;
        if (a_iStatus != 200)
        {
            m_rErr << a_rAnswer.value("error", "") << "\n";
            return ZEVCTL_REFUSED;
        }
        return ZEVCTL_OK;
    }

    // Register sets: the service saves, compares and applies; this reads and writes the file.
    int Sets(const SCommand& a_rCommand)
    {
        const std::string& strName = a_rCommand.m_strName;
        json Body = json::object();
        std::vector<std::string> Names = a_rCommand.m_Registers;
        if (strName == "save")
        {
            if (!Names.empty())
                Body["registers"] = Names;
            Body["memories"] = a_rCommand.m_bMemories;
            bool bWritten = true;
            const int iCode = Call("POST", "sets/save", Body.dump(), false, [&](const json& a_rAnswer) {
                for (const json& Skipped : a_rAnswer.at("skipped"))
                    m_rErr << "zevctl: not saved: " << Skipped.at("register").get<std::string>() << ": "
                           << Skipped.at("reason").get<std::string>() << "\n";
                const std::string strSet = a_rAnswer.at("set").dump(1) + "\n";
                if (a_rCommand.m_strFile == "-")
                    m_rOut << strSet;
                // (binary: the same bytes on Windows as the console and Python write)
                else if (!(std::ofstream(a_rCommand.m_strFile, std::ios::binary) << strSet << std::flush))
                {
                    m_rErr << "zevctl: cannot write " << a_rCommand.m_strFile << "\n";
                    bWritten = false;
                }
            });
            return iCode == ZEVCTL_OK && !bWritten ? ZEVCTL_NO_SCRIPT : iCode;
        }
        if (strName == "compare" && a_rCommand.m_bDefaults)
        {
            if (!a_rCommand.m_strFile.empty())
                Names.insert(Names.begin(), a_rCommand.m_strFile);  // no file then: a register
            if (!Names.empty())
                Body["registers"] = Names;
        }
        else
        {
            std::ifstream File(a_rCommand.m_strFile);
            if (!File)
            {
                m_rErr << "zevctl: cannot open " << a_rCommand.m_strFile << "\n";
                return ZEVCTL_NO_SCRIPT;
            }
            // Read as the service reads a body: a set nested past any set's depth is refused
            // before it is built (written out again, it would take the stack).
            try
            {
                Body["set"] = rlzev::ParseSet(std::string(std::istreambuf_iterator<char>(File), {}));
            }
            catch (const rlzev::SBadRequest& Bad)
            {
                m_rErr << "zevctl: " << a_rCommand.m_strFile << " is not a register set: " << Bad.m_strText << "\n";
                return ZEVCTL_USAGE;
            }
        }
        if (strName == "apply" && !Names.empty())
        {
            json Only = json::array();
            for (const std::string& strField : Names)
            {
                const std::size_t uDot = strField.find('.');
                json Item = {{"register", strField.substr(0, uDot)}};
                if (uDot != std::string::npos)
                    Item["signal"] = strField.substr(uDot + 1);
                Only.push_back(Item);
            }
            Body["only"] = Only;
        }
        bool bDiffers = false;
        const int iCode = Call("POST", strName == "apply" ? "sets/apply" : "sets/compare", Body.dump(), false, [&](const json& a_rAnswer) {
            if (strName == "apply")
            {
                for (const json& Result : a_rAnswer.at("results"))
                    if (Result.at("status") != 200)
                    {
                        bDiffers = true;
                        m_rErr << Result.at("register").get<std::string>()
                               << (Result.contains("signal") ? "." + Result.at("signal").get<std::string>() : "") << ": "
                               << Result.at("error").get<std::string>() << "\n";
                    }
                m_rOut << a_rAnswer.at("written").get<unsigned>() << " written, " << a_rAnswer.at("refused").get<unsigned>()
                       << " refused\n";
                return;
            }
            for (const json& Difference : a_rAnswer.at("differences"))
            {
                bDiffers = true;
                m_rOut << Difference.at("register").get<std::string>()
                       << (Difference.contains("signal") ? "." + Difference.at("signal").get<std::string>()
                                                         : "[" + std::to_string(Difference.at("word").get<unsigned>()) + "]")
                       << ": set " << Difference.at("set").get<std::string>() << ", device "
                       << Difference.at("device").get<std::string>() << "\n";
            }
        });
        return iCode == ZEVCTL_OK && bDiffers ? ZEVCTL_REFUSED : iCode;
    }

    void PrintValues(const json& a_rAnswer)
    {
        for (const json& Value : a_rAnswer.value("values", json::array()))
            m_rOut << Value.get<std::string>() << "\n";
    }

    int List(const std::string& a_strRegister)
    {
        char acLine[160];
        if (a_strRegister.empty())
            return Call("GET", "registers", "", false, [&](const json& a_rAnswer) {
                for (const json& Reg : a_rAnswer.value("registers", json::array()))
                {
                    std::snprintf(acLine, sizeof acLine, "%-30s 0x%05X %2u %-29s %5u\n", Reg.value("name", "").c_str(),
                                  Reg.value("address", 0u), Reg.value("width", 0u), Reg.value("access", "").c_str(),
                                  Reg.value("words", 0u));
                    m_rOut << acLine;
                }
            });
        if (FindMapRegister(a_strRegister) == nullptr)
        {
            m_rErr << kRegisterNotFound << "\n";
            return ZEVCTL_REFUSED;
        }
        return Call("GET", "registers/" + a_strRegister, "", false, [&](const json& a_rReg) {
            const unsigned udwWords = a_rReg.value("words", 0u);
            std::snprintf(acLine, sizeof acLine, "%s 0x%05X %u bits %s %u word%s\n", a_rReg.value("name", "").c_str(),
                          a_rReg.value("address", 0u), a_rReg.value("width", 0u), a_rReg.value("access", "").c_str(),
                          udwWords, udwWords == 1 ? "" : "s");
            m_rOut << acLine;
            for (const json& Sig : a_rReg.value("signals", json::array()))
            {
                const unsigned udwHigh = Sig.value("high", 0u), udwLow = Sig.value("low", 0u);
                const std::string strBits =
                    udwHigh == udwLow ? std::to_string(udwHigh) : std::to_string(udwHigh) + ".." + std::to_string(udwLow);
                std::snprintf(acLine, sizeof acLine, "  %-30s %6s  default %-10u ", Sig.value("name", "").c_str(),
                              strBits.c_str(), Sig.value("default", 0u));
                m_rOut << acLine;
                const json Enumerators = Sig.value("enumerators", json::array());
                if (Enumerators.empty())
                    m_rOut << "number";
                for (std::size_t e = 0; e < Enumerators.size(); ++e)
                    m_rOut << (e > 0 ? ", " : "") << Enumerators[e].value("value", 0u) << " "
                           << Enumerators[e].value("name", "");
                m_rOut << "\n";
            }
        });
    }

    CEndpoint& m_rEndpoint;
    std::ostream& m_rOut;
    std::ostream& m_rErr;
    bool m_bTrace;
};

std::string Trim(const std::string& a_strText)
{
    const std::size_t uFirst = a_strText.find_first_not_of(" \t\r");
    if (uFirst == std::string::npos)
        return "";
    return a_strText.substr(uFirst, a_strText.find_last_not_of(" \t\r") - uFirst + 1);
}

int RunScript(CSession& a_rSession, std::istream& a_rScript, bool a_bKeepGoing, std::ostream& a_rErr)
{
    int iResult = ZEVCTL_OK;
    unsigned udwLine = 0;
    for (std::string strLine; std::getline(a_rScript, strLine);)
    {
        ++udwLine;
        strLine = Trim(strLine.substr(0, strLine.find('#')));
        if (strLine.empty())
            continue;
        SCommand Command;
        CLI::App Line("script line");
        AddCommands(Line, Command, false);
        int iCode = ZEVCTL_OK;
        try
        {
            Line.parse(strLine, false);
            iCode = a_rSession.Execute(Command);
        }
        catch (const CLI::ParseError& e)
        {
            a_rErr << "zevctl: line " << udwLine << ": " << e.what() << "\n";
            iCode = ZEVCTL_USAGE;
        }
        if (iCode != ZEVCTL_OK)
        {
            if (iResult == ZEVCTL_OK)
                iResult = iCode;
            if (!a_bKeepGoing)
            {
                a_rErr << "zevctl: stopped at line " << udwLine << "\n";
                break;
            }
        }
    }
    return iResult;
}
} // namespace

namespace
{
int Run(const std::vector<std::string>& a_rArgs, std::istream& a_rIn, std::ostream& a_rOut, std::ostream& a_rErr);
} // namespace

// What was not written (a full disk, a closed pipe) is no success, whatever the commands did.
int RunZevctl(const std::vector<std::string>& a_rArgs, std::istream& a_rIn, std::ostream& a_rOut, std::ostream& a_rErr)
{
    int iCode = Run(a_rArgs, a_rIn, a_rOut, a_rErr);
    if (!a_rOut.flush())
    {
        a_rErr << "zevctl: cannot write the output\n";
        iCode = iCode == ZEVCTL_OK ? ZEVCTL_NO_SCRIPT : iCode;
    }
    return iCode;
}

namespace
{
int Run(const std::vector<std::string>& a_rArgs, std::istream& a_rIn, std::ostream& a_rOut, std::ostream& a_rErr)
{
    CLI::App App("zevctl: the ZEV service tool, on the simulated device or on a zevd server.\n"
                 "Exit codes: 0 success, 1 refused by the library, 2 usage error, 3 a file (script, set, output) not readable "
                 "or writable, "
                 "4 server not reachable or token refused.",
                 "zevctl");
    bool bTrace = false;
    bool bDefaults = true;
    bool bKeepGoing = false;
    const char* pcConnect = std::getenv("ZEVCTL_CONNECT");
    std::string strConnect = pcConnect != nullptr ? pcConnect : "";
    std::string strTokenFile;
    App.add_flag("--trace", bTrace, "Print every bus transfer to stderr");
    App.add_flag("--defaults,!--no-defaults", bDefaults,
                 "Run SetToDefault before the commands (default: on; a server's device keeps its state)");
    App.add_flag("--keep-going", bKeepGoing, "Let a script go on after a failing line");
    App.add_option("--connect", strConnect, "Work on the device of a zevd server, e.g. http://127.0.0.1:7411 "
                                            "(default: $ZEVCTL_CONNECT; none: a simulated device in this process)");
    App.add_option("--token-file", strTokenFile, "The server's token file (default: $ZEVD_TOKEN, then ~/.zevd-token)");
    App.fallthrough();  // the tool's options may also follow the command
    SCommand Command;
    AddCommands(App, Command, true);
    try
    {
        std::vector<std::string> Reversed(a_rArgs.rbegin(), a_rArgs.rend());
        App.parse(Reversed);
    }
    catch (const CLI::ParseError& e)
    {
        const int iCode = App.exit(e, a_rOut, a_rErr);
        return iCode == 0 ? ZEVCTL_OK : ZEVCTL_USAGE;
    }

    std::ifstream File;
    if (Command.m_strName == "run" && !Command.m_strFile.empty() && Command.m_strFile != "-")
    {
        File.open(Command.m_strFile);
        if (!File)
        {
            a_rErr << "zevctl: cannot open " << Command.m_strFile << "\n";
            return ZEVCTL_NO_SCRIPT;
        }
    }
    std::unique_ptr<CEndpoint> pEndpoint;
    if (strConnect.empty())
    {
        pEndpoint.reset(new CLocalDevice);
    }
    else
    {
        const char* pcToken = std::getenv("ZEVD_TOKEN");
        std::string strToken = strTokenFile.empty() && pcToken != nullptr ? pcToken : "";
        if (strToken.empty())
            strToken = rlzev::ReadTokenFile(strTokenFile.empty() ? rlzev::DefaultTokenPath() : strTokenFile);
        if (strToken.empty())
        {
            if (strTokenFile.empty())
                a_rErr << "zevctl: no token: give --token-file or set ZEVD_TOKEN\n";
            else  // named by the user: say which file failed, not that none was named
                a_rErr << "zevctl: no token in " << strTokenFile << ": it cannot be read or is empty\n";
            return ZEVCTL_UNREACHABLE;
        }
        pEndpoint.reset(new CRemoteDevice(strConnect, strToken));
    }
    CSession Session(*pEndpoint, a_rOut, a_rErr, bTrace);
    if (bDefaults && pEndpoint->IsLocal())
    {
        const int iCode = Session.Defaults();
        if (iCode != ZEVCTL_OK)
            return iCode;
    }
    if (Command.m_strName == "run")
        return RunScript(Session, File.is_open() ? static_cast<std::istream&>(File) : a_rIn, bKeepGoing, a_rErr);
    return Session.Execute(Command);
}
} // namespace
