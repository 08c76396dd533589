#include "ZevCtl.h"

#include "ZEV.h"
#include "ZevSimulator.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>

namespace
{
const char* const kRegisterNotFound = "Register not found!";
const char* const kFunctionNotFound = "Function not found!";

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
};

// Subcommands shared by the command line and script lines; each fills a_rCommand.
void AddCommands(CLI::App& a_rApp, SCommand& a_rCommand, bool a_bWithRun)
{
    // "/name" is a path or a value text here, never an option, on every platform; set before
    // the subcommands, which take it over.
    a_rApp.allow_windows_style_options(false);
    auto Named = [&a_rCommand](const char* a_pcName) { return [&a_rCommand, a_pcName]() { a_rCommand.m_strName = a_pcName; }; };

    a_rApp.add_subcommand("snapshot", "Write the snapshot script of the device to stdout")->callback(Named("snapshot"));

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

    if (a_bWithRun)
    {
        CLI::App* pRun = a_rApp.add_subcommand("run", "Run commands one per line from FILE (or stdin); # starts a comment");
        pRun->add_option("file", a_rCommand.m_strFile, "Script file; none or - reads stdin");
        pRun->callback(Named("run"));
    }
    a_rApp.require_subcommand(1, 1);
}

// One device on the simulator, and the routing of commands to the library.
class CSession
{
public:
    CSession(std::ostream& a_rOut, std::ostream& a_rErr, bool a_bTrace, bool a_bDefaults)
        : m_rOut(a_rOut), m_rErr(a_rErr), m_Host(a_rErr), m_Device(&m_Host.Bus, &m_Host.Utility, &m_Host.Status)
    {
        if (a_bTrace)
            m_Host.Bus.SetTrace(&a_rErr);
        if (a_bDefaults)
            WithoutAccessDenied([this] { m_Device.SetToDefault(); });
    }

    int Execute(const SCommand& a_rCommand)
    {
        const unsigned udwReportsBefore = m_Host.Utility.m_udwReports;
        std::string strError;
        bool bOk = true;
        try
        {
            bOk = Dispatch(a_rCommand, strError);
        }
        catch (const std::exception& e)
        {
            bOk = false;
            strError = std::string("host fault: ") + e.what();
        }
        // A report is a refusal too (a read-only register, a range beyond a memory); it has
        // printed the library's message already.
        if (m_Host.Utility.m_udwReports != udwReportsBefore)
            return ZEVCTL_REFUSED;
        if (!bOk)
        {
            m_rErr << strError << "\n";
            return ZEVCTL_REFUSED;
        }
        return ZEVCTL_OK;
    }

private:
    bool Dispatch(const SCommand& a_rCommand, std::string& a_rError)
    {
        const std::string& strName = a_rCommand.m_strName;
        if (strName == "snapshot")
        {
            WithoutAccessDenied([this] { m_Device.SnapShot(m_rOut); });
            return true;
        }
        if (strName == "list")
            return List(a_rCommand.m_strRegister, a_rError);
        if (strName == "read")
            return Read(a_rCommand, a_rError);
        if (strName == "write")
            return Write(a_rCommand, a_rError);
        if (strName == "get")
        {
            const std::list<std::string> Texts = m_Device.GetValueByString(a_rCommand.m_strRegister, a_rCommand.m_strSignal);
            if (Texts.size() == 1 && (Texts.front() == kRegisterNotFound || Texts.front() == kFunctionNotFound))
            {
                a_rError = Texts.front();
                return false;
            }
            Print(Texts);
            return true;
        }
        if (strName == "lock")
            return m_Device.Lock(a_rCommand.m_strRegister, a_rCommand.m_strSignal, a_rError);
        return m_Device.Unlock(a_rCommand.m_strRegister, a_rCommand.m_strSignal, a_rError);
    }

    // Device-wide operations meet the read-only and write-only registers on every run: their
    // refused directions are expected there and are not shown.
    template <class TOperation>
    void WithoutAccessDenied(TOperation a_Operation)
    {
        m_Host.Utility.m_bQuietAccessDenied = true;
        try
        {
            a_Operation();
        }
        catch (...)
        {
            m_Host.Utility.m_bQuietAccessDenied = false;
            throw;
        }
        m_Host.Utility.m_bQuietAccessDenied = false;
    }

    void Print(const std::list<std::string>& a_rTexts)
    {
        for (const std::string& strText : a_rTexts)
            m_rOut << strText << "\n";
    }

    bool Read(const SCommand& a_rCommand, std::string& a_rError)
    {
        const SMapRegister* pMap = FindMapRegister(a_rCommand.m_strRegister);
        unsigned udwCount = a_rCommand.m_udwCount;
        if (!a_rCommand.m_bCountGiven)
            udwCount = pMap != nullptr && pMap->m_udwWords > a_rCommand.m_udwStart ? pMap->m_udwWords - a_rCommand.m_udwStart : 1;
        std::list<std::string> Texts;
        const bool bOk = m_Device.ServiceRead(a_rCommand.m_strRegister, a_rCommand.m_strSignal, Texts, a_rError,
                                              a_rCommand.m_udwStart, udwCount);
        if (bOk)
            Print(Texts);
        return bOk;
    }

    bool Write(const SCommand& a_rCommand, std::string& a_rError)
    {
        // A memory takes values only; a register takes SIGNAL VALUE... or one whole-register VALUE.
        const SMapRegister* pMap = FindMapRegister(a_rCommand.m_strRegister);
        std::string strSignal;
        std::list<std::string> Values(a_rCommand.m_Args.begin(), a_rCommand.m_Args.end());
        if (!Values.empty() && Values.front() == "-")
        {
            Values.pop_front();
        }
        else if ((pMap == nullptr || pMap->m_udwWords == 1) && Values.size() >= 2)
        {
            strSignal = Values.front();
            Values.pop_front();
        }
        return m_Device.ServiceWrite(a_rCommand.m_strRegister, strSignal, Values, a_rError, a_rCommand.m_udwStart);
    }

    bool List(const std::string& a_strRegister, std::string& a_rError)
    {
        char acLine[160];
        if (a_strRegister.empty())
        {
            for (unsigned i = 0; i < g_udwZevRegisterCount; ++i)
            {
                const SMapRegister& Reg = g_aZevRegisterMap[i];
                std::snprintf(acLine, sizeof acLine, "%-30s 0x%05X %2u %-29s %5u\n", Reg.m_pcName, Reg.m_udwAddress,
                              Reg.m_udwWidth, Reg.m_pcAccess, Reg.m_udwWords);
                m_rOut << acLine;
            }
            return true;
        }
        const SMapRegister* pReg = FindMapRegister(a_strRegister);
        if (pReg == nullptr)
        {
            a_rError = kRegisterNotFound;
            return false;
        }
        std::snprintf(acLine, sizeof acLine, "%s 0x%05X %u bits %s %u word%s\n", pReg->m_pcName, pReg->m_udwAddress,
                      pReg->m_udwWidth, pReg->m_pcAccess, pReg->m_udwWords, pReg->m_udwWords == 1 ? "" : "s");
        m_rOut << acLine;
        for (unsigned i = 0; i < pReg->m_udwSignalCount; ++i)
        {
            const SSignalInfo& Sig = pReg->m_pSignals[i];
            const unsigned udwHigh = Sig.m_udwLow + Sig.m_udwWidth - 1;
            const std::string strBits = udwHigh == Sig.m_udwLow ? std::to_string(udwHigh)
                                                                : std::to_string(udwHigh) + ".." + std::to_string(Sig.m_udwLow);
            std::snprintf(acLine, sizeof acLine, "  %-30s %6s  default %-10u ", Sig.m_pcName, strBits.c_str(), Sig.m_udwDefault);
            m_rOut << acLine;
            if (Sig.m_udwEnumeratorCount == 0)
                m_rOut << "number";
            for (unsigned e = 0; e < Sig.m_udwEnumeratorCount; ++e)
                m_rOut << (e > 0 ? ", " : "") << Sig.m_pEnumerators[e].m_udwValue << " " << Sig.m_pEnumerators[e].m_pcName;
            m_rOut << "\n";
        }
        return true;
    }

    std::ostream& m_rOut;
    std::ostream& m_rErr;
    SSimulatedHost m_Host;
    CZEV m_Device;
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

int RunZevctl(const std::vector<std::string>& a_rArgs, std::istream& a_rIn, std::ostream& a_rOut, std::ostream& a_rErr)
{
    CLI::App App("zevctl: the ZEV service tool, on the simulated device.\n"
                 "Exit codes: 0 success, 1 refused by the library, 2 usage error, 3 script file not readable.",
                 "zevctl");
    bool bTrace = false;
    bool bDefaults = true;
    bool bKeepGoing = false;
    App.add_flag("--trace", bTrace, "Print every bus transfer to stderr");
    App.add_flag("--defaults,!--no-defaults", bDefaults, "Run SetToDefault before the commands (default: on)");
    App.add_flag("--keep-going", bKeepGoing, "Let a script go on after a failing line");
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
    CSession Session(a_rOut, a_rErr, bTrace, bDefaults);
    if (Command.m_strName == "run")
        return RunScript(Session, File.is_open() ? static_cast<std::istream&>(File) : a_rIn, bKeepGoing, a_rErr);
    return Session.Execute(Command);
}
