// The flat C interface over the device runtime: handles into tables built once per device,
// errors as codes with the device's last error text, texts in the caller's buffers, and
// no exception past the boundary. Every call on a device passes the device's own gate, so
// calls from several threads are serialised; calls by name then run through the runtime
// (the library's gate, reports routed to their own device), while the typed get and set
// go straight to the inline field access, the gate's one atomic exchange all they add.
#define RL_ZEV_C_BUILD
#include "rl_zev_c.h"

#include "DeviceRuntime.h"
#include "FieldSignal.h"
#include "HWDeviceBase.h"
#include "RamRegister.h"
#include "ZevSimulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <list>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

static_assert(std::is_same<unsigned, uint32_t>::value, "the library's words are the C interface's uint32_t");

namespace
{
const std::size_t kKeptReports = 1000;
const char* const kRamFrontiers = ", memory error, RAM frontiers have been hurt.";  // the library's text

// What happened during the running call, besides its result.
const uint32_t kReported = 1;  // the library reported (its message is the device's last report)
const uint32_t kLogFault = 2;  // the log callback failed

// A host callback that returned non-zero: the call that made it ends in ZEV_HOST_FAULT.
class CHostFault : public std::runtime_error
{
public:
    CHostFault(const char* a_pcWhat, int32_t a_iResult, const char* a_pcWhere)
        : std::runtime_error(std::string("the host's ") + a_pcWhat + " callback returned " + std::to_string(a_iResult) +
                             a_pcWhere)
    {
    }
};

std::string Where(uint32_t a_udwAddress, uint32_t a_udwByteCount)
{
    char acText[64];
    std::snprintf(acText, sizeof acText, " (address 0x%05X, %u bytes)", a_udwAddress, a_udwByteCount);
    return acText;
}

// A device's calls one at a time. Taking a free gate is one atomic exchange; a caller that
// finds it taken spins briefly, then sleeps in short steps (calls on one device from several
// threads are the exception, and a call may wait on a slow bus for long).
class CCallGate
{
public:
    bool TryEnter() { return !m_bTaken.exchange(true, std::memory_order_acquire); }
    void Enter()
    {
        for (unsigned i = 0;; ++i)
        {
            if (!m_bTaken.load(std::memory_order_relaxed) && TryEnter())
                return;
            if (i < 100)
                std::this_thread::yield();
            else
                std::this_thread::sleep_for(std::chrono::microseconds(i < 1000 ? 20 : 200));
        }
    }
    void Leave() { m_bTaken.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_bTaken{false};
};

// The devices whose callbacks run on this thread, innermost first: a call from inside one
// of them must not wait for the gate its own thread holds.
struct SCallbackFrame
{
    const zev_device* m_pDevice;
    const SCallbackFrame* m_pOuter;
};
// Initial-exec: a load from the thread pointer, not a call, on every callback of the bus.
#if defined(__GNUC__) && !defined(_WIN32)
__attribute__((tls_model("initial-exec")))
#endif
thread_local const SCallbackFrame* t_pCallbacks = nullptr;

class CInCallback
{
public:
    explicit CInCallback(const zev_device* a_pDevice) : m_Frame{a_pDevice, t_pCallbacks} { t_pCallbacks = &m_Frame; }
    ~CInCallback() { t_pCallbacks = m_Frame.m_pOuter; }
    CInCallback(const CInCallback&) = delete;
    CInCallback& operator=(const CInCallback&) = delete;

private:
    SCallbackFrame m_Frame;
};

bool InsideCallbackOf(const zev_device* a_pDevice)
{
    for (const SCallbackFrame* pFrame = t_pCallbacks; pFrame != nullptr; pFrame = pFrame->m_pOuter)
        if (pFrame->m_pDevice == a_pDevice)
            return true;
    return false;
}

bool InsideAnyCall()
{
    return t_pCallbacks != nullptr || rlzev::CDeviceRuntime::IsInsideCall();
}

// The caller's bus as the library's CHWAccess.
class CCallbackBus : public CHWAccess
{
public:
    CCallbackBus(const zev_host& a_rHost, const zev_device* a_pDevice) : m_rHost(a_rHost), m_pDevice(a_pDevice) {}
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        const CInCallback Frame(m_pDevice);
        if (const int32_t iResult = m_rHost.write(m_rHost.context, a_udwAddress, a_udwpData, a_udwByteCount))
            throw CHostFault("write", iResult, Where(a_udwAddress, a_udwByteCount).c_str());
    }
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        const CInCallback Frame(m_pDevice);
        if (const int32_t iResult = m_rHost.read(m_rHost.context, a_udwAddress, a_udwpData, a_udwByteCount))
            throw CHostFault("read", iResult, Where(a_udwAddress, a_udwByteCount).c_str());
    }
    void Wait(unsigned a_udwDuration) override
    {
        const CInCallback Frame(m_pDevice);
        if (const int32_t iResult = m_rHost.wait(m_rHost.context, a_udwDuration))
            throw CHostFault("wait", iResult, "");
    }

private:
    const zev_host& m_rHost;
    const zev_device* m_pDevice;
};

class CCallbackStatus : public CIStatusRegister
{
public:
    CCallbackStatus(const zev_host& a_rHost, const zev_device* a_pDevice) : m_rHost(a_rHost), m_pDevice(a_pDevice) {}
    void PrepareSet(unsigned* a_udwpValue) override { Prepare(m_rHost.prepare_set, "prepare_set", a_udwpValue); }
    void PrepareReset(unsigned* a_udwpValue) override { Prepare(m_rHost.prepare_reset, "prepare_reset", a_udwpValue); }
    void PrepareResetAll(unsigned* a_udwpValue) override
    {
        Prepare(m_rHost.prepare_reset_all, "prepare_reset_all", a_udwpValue);
    }

private:
    using TPrepare = int32_t(ZEV_CALL*)(void*, uint32_t*);
    void Prepare(TPrepare a_pPrepare, const char* a_pcName, unsigned* a_udwpValue)
    {
        if (a_pPrepare == nullptr)
            return;  // the word goes out as the library made it
        const CInCallback Frame(m_pDevice);
        if (const int32_t iResult = a_pPrepare(m_rHost.context, a_udwpValue))
            throw CHostFault(a_pcName, iResult, "");
    }
    const zev_host& m_rHost;
    const zev_device* m_pDevice;
};

const char* Text(const char* a_pcText)
{
    return a_pcText == nullptr ? "" : a_pcText;
}

// Change-log text arrives in pieces; each complete line goes to the log callback. A failing
// callback never reaches the stream (whose bad bit would end logging for good): it is kept
// as the running call's host fault.
class CLogLines : public std::streambuf
{
public:
    explicit CLogLines(zev_device& a_rDevice) : m_rDevice(a_rDevice) {}
    zev_log_fn m_pLog = nullptr;
    void* m_pContext = nullptr;

protected:
    int_type overflow(int_type a_iChar) override;
    std::streamsize xsputn(const char* a_pcText, std::streamsize a_iCount) override
    {
        for (std::streamsize i = 0; i < a_iCount; ++i)
            overflow(traits_type::to_int_type(a_pcText[i]));
        return a_iCount;
    }

private:
    void Deliver();
    zev_device& m_rDevice;
    std::string m_strLine;
};

std::string HexText(unsigned a_udwWord)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "%08X/h", a_udwWord);
    return acText;
}

// Texts are lines: "\n" or "\r\n" ends each, the last may go without; "" is no text at all.
std::list<std::string> SplitTexts(const char* a_pcValues)
{
    std::list<std::string> Texts;
    std::string strText;
    for (const char* pc = a_pcValues; *pc != '\0'; ++pc)
    {
        if (*pc != '\n')
        {
            strText += *pc;
            continue;
        }
        if (!strText.empty() && strText.back() == '\r')
            strText.pop_back();
        Texts.push_back(strText);
        strText.clear();
    }
    if (!strText.empty())
        Texts.push_back(strText);
    return Texts;
}

std::string JoinTexts(const std::list<std::string>& a_rTexts)
{
    std::string strJoined;
    bool bFirst = true;
    for (const std::string& rText : a_rTexts)
    {
        if (!bFirst)
            strJoined += '\n';
        strJoined += rText;
        bFirst = false;
    }
    return strJoined;
}

bool MeansAll(const char* a_pcName)
{
    return std::strcmp(a_pcName, "ALL") == 0 || std::strcmp(a_pcName, "all") == 0;
}
} // namespace

struct zev_signal
{
    CFieldSignal* m_pSignal;  // first: the typed calls reach the field with one load
    zev_device* m_pDevice;
    uint32_t m_udwLimit;      // the largest value a typed set takes
    bool m_bSparse;           // enumerators with gaps: a value must be looked up
    zev_register* m_pRegister;
    const SSignalInfo* m_pInfo;
    const SEnumerator* const* m_ppEnumerators;  // ascending by value
};

struct zev_register
{
    zev_device* m_pDevice;
    CRegisterBase* m_pRegister;
    const SMapRegister* m_pMap;
    CRamRegister<CParallelRead_ParallelWrite>* m_pParallelRam;
    CRamRegister<CSequentialRead_ParallelWrite>* m_pSequentialRam;
    zev_signal* m_pSignals;
    uint32_t m_udwSignalCount;

    bool IsMemory() const { return m_pParallelRam != nullptr || m_pSequentialRam != nullptr; }
};

namespace
{
// The device's utility: its reports, kept and handed to the caller's callbacks.
class CDeviceUtility : public CUtility_Interface
{
public:
    explicit CDeviceUtility(zev_device& a_rDevice) : m_rDevice(a_rDevice) {}
    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override;
    bool StopWaiting() override;
    void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                            const char* a_pcMessage) override;

private:
    void Keep(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage);
    zev_device& m_rDevice;
};
} // namespace

struct zev_device
{
    zev_device() : m_Utility(*this), m_LogLines(*this), m_LogStream(&m_LogLines) {}

    CCallGate m_Gate;           // first: the typed calls' one atomic
    uint32_t m_udwNews = 0;     // kReported, kLogFault: cleared as each call begins
    bool m_bKept = false;       // m_strKept holds the text of the call before

    zev_host m_Host{};  // the caller's callbacks; all null for the simulated device
    std::unique_ptr<CSimBus> m_pSimBus;
    std::unique_ptr<CSimStatusRegister> m_pSimStatus;
    std::unique_ptr<CCallbackBus> m_pCallbackBus;
    std::unique_ptr<CCallbackStatus> m_pCallbackStatus;
    CDeviceUtility m_Utility;

    std::vector<zev_register> m_Registers;
    std::vector<zev_signal> m_Signals;
    std::vector<const SEnumerator*> m_Enumerators;
    std::unordered_map<std::string, uint32_t> m_RegisterIndex;

    std::string m_strLastError;
    std::string m_strKept;
    std::string m_strLogFault;  // the first log-callback failure of the running call

    zev_report_fn m_pReportError = nullptr;
    zev_report_fn m_pReportAccessDenied = nullptr;
    void* m_pReportContext = nullptr;
    std::deque<std::string> m_Reports;
    std::string m_strLastReport;  // the message of the last report

    CLogLines m_LogLines;
    std::ostream m_LogStream;
    // Last: the device goes before the host objects and the log stream it uses.
    std::unique_ptr<rlzev::CDeviceRuntime> m_pRuntime;

    CHWAccess* Bus() { return m_pSimBus ? static_cast<CHWAccess*>(m_pSimBus.get()) : m_pCallbackBus.get(); }
    CIStatusRegister* Status()
    {
        return m_pSimStatus ? static_cast<CIStatusRegister*>(m_pSimStatus.get()) : m_pCallbackStatus.get();
    }
};

namespace
{
void CDeviceUtility::Keep(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage)
{
    std::string strLine = std::string(Text(a_pcFile)) + ":" + std::to_string(a_iLine) + ": " + Text(a_pcFunction) +
                          ": " + Text(a_pcMessage);
    if (m_rDevice.m_Reports.size() == kKeptReports)
        m_rDevice.m_Reports.pop_front();
    m_rDevice.m_Reports.push_back(std::move(strLine));
    m_rDevice.m_strLastReport = Text(a_pcMessage);
    m_rDevice.m_udwNews |= kReported;
}

void CDeviceUtility::ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage)
{
    Keep(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
    if (m_rDevice.m_pReportError != nullptr)
    {
        const CInCallback Frame(&m_rDevice);
        m_rDevice.m_pReportError(m_rDevice.m_pReportContext, Text(a_pcFile), a_iLine, Text(a_pcFunction),
                                 Text(a_pcMessage));
    }
}

void CDeviceUtility::ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                                        const char* a_pcMessage)
{
    Keep(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
    if (m_rDevice.m_pReportAccessDenied != nullptr)
    {
        const CInCallback Frame(&m_rDevice);
        m_rDevice.m_pReportAccessDenied(m_rDevice.m_pReportContext, Text(a_pcFile), a_iLine, Text(a_pcFunction),
                                        Text(a_pcMessage));
    }
}

bool CDeviceUtility::StopWaiting()
{
    if (m_rDevice.m_Host.stop_waiting == nullptr)
        return false;
    const CInCallback Frame(&m_rDevice);
    return m_rDevice.m_Host.stop_waiting(m_rDevice.m_Host.context) != 0;
}

CLogLines::int_type CLogLines::overflow(int_type a_iChar)
{
    if (traits_type::eq_int_type(a_iChar, traits_type::eof()))
        return traits_type::not_eof(a_iChar);
    const char c = traits_type::to_char_type(a_iChar);
    if (c != '\n')
        m_strLine += c;
    else
        Deliver();
    return a_iChar;
}

void CLogLines::Deliver()
{
    std::string strLine;
    strLine.swap(m_strLine);
    if (m_pLog == nullptr)
        return;
    std::string strFault;
    try
    {
        const CInCallback Frame(&m_rDevice);
        if (const int32_t iResult = m_pLog(m_pContext, strLine.c_str()))
            strFault = "the log callback returned " + std::to_string(iResult);
    }
    catch (const std::exception& e)
    {
        strFault = std::string("the log callback threw: ") + e.what();
    }
    catch (...)
    {
        strFault = "the log callback threw";
    }
    if (!strFault.empty() && (m_rDevice.m_udwNews & kLogFault) == 0)
    {
        m_rDevice.m_strLogFault = strFault;
        m_rDevice.m_udwNews |= kLogFault;
    }
}

zev_status Fail(const zev_device* a_pDevice, zev_status a_iStatus, const std::string& a_strText)
{
    if (a_pDevice != nullptr)
        const_cast<zev_device*>(a_pDevice)->m_strLastError = a_strText;
    return a_iStatus;
}

zev_status Fault(const zev_device* a_pDevice)
{
    try
    {
        throw;
    }
    catch (const std::exception& e)
    {
        return Fail(a_pDevice, ZEV_HOST_FAULT, std::string("host fault: ") + e.what());
    }
    catch (...)
    {
        return Fail(a_pDevice, ZEV_HOST_FAULT, "host fault: unknown exception");
    }
}

// A text into the caller's buffer. A text too long is kept in the device for zev_fetch_text
// (a_pDevice null: nowhere), so that it need not be made, or the device read, again.
zev_status PutText(const zev_device* a_pDevice, const std::string& a_strText, char* a_pcText, uint32_t a_udwSize,
                   uint32_t* a_pudwNeeded)
{
    const std::size_t uNeeded = a_strText.size() + 1;
    if (uNeeded > std::numeric_limits<uint32_t>::max())
        return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "the text is longer than 4 GiB");
    if (a_pudwNeeded != nullptr)
        *a_pudwNeeded = static_cast<uint32_t>(uNeeded);
    if (a_pcText == nullptr || a_udwSize < uNeeded)
    {
        if (a_pcText != nullptr && a_udwSize > 0)
            a_pcText[0] = '\0';
        if (a_pDevice != nullptr)
        {
            zev_device* pDevice = const_cast<zev_device*>(a_pDevice);
            pDevice->m_strKept = a_strText;
            pDevice->m_bKept = true;
        }
        return Fail(a_pDevice, ZEV_BUFFER_TOO_SMALL,
                    "the text needs " + std::to_string(uNeeded) + " bytes, the buffer holds " + std::to_string(a_udwSize));
    }
    std::memcpy(a_pcText, a_strText.c_str(), uNeeded);
    return ZEV_OK;
}

// What the call's news make of its result: a failed log callback is a host fault; a report
// of the library on a call that concerns one register or signal (a refused direction, a
// read-back never ready, a memory range) is a refusal with the report's message.
zev_status Settle(zev_device& a_rDevice, zev_status a_iStatus, bool a_bReportRefuses)
{
    if ((a_rDevice.m_udwNews & kLogFault) != 0)
        return Fail(&a_rDevice, ZEV_HOST_FAULT, "host fault: " + a_rDevice.m_strLogFault);
    if (a_iStatus == ZEV_OK && a_bReportRefuses && (a_rDevice.m_udwNews & kReported) != 0)
        return Fail(&a_rDevice, ZEV_REFUSED, a_rDevice.m_strLastReport);
    return a_iStatus;
}

// A gate taken by this thread's own call (a callback calling its device) is never waited for.
bool EnterWaiting(zev_device& a_rDevice)
{
    if (InsideCallbackOf(&a_rDevice))
        return false;
    a_rDevice.m_Gate.Enter();
    return true;
}

class CLeave
{
public:
    explicit CLeave(CCallGate& a_rGate) : m_rGate(a_rGate) {}
    ~CLeave() { m_rGate.Leave(); }
    CLeave(const CLeave&) = delete;
    CLeave& operator=(const CLeave&) = delete;

private:
    CCallGate& m_rGate;
};

// Every call on a device: its gate held, the news of the call before cleared and, unless
// a_bKeepText, the kept text too (zev_fetch_text hands over only the text of the call just
// before). From inside a callback of the same device: ZEV_BAD_ARGUMENT, nothing done.
template <class TBody>
zev_status Hold(const zev_device* a_pDevice, TBody&& a_Body, bool a_bKeepText = false)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    zev_device& rDevice = const_cast<zev_device&>(*a_pDevice);
    if (!rDevice.m_Gate.TryEnter() && !EnterWaiting(rDevice))
        return ZEV_BAD_ARGUMENT;
    const CLeave Leave(rDevice.m_Gate);
    if (!a_bKeepText)
        rDevice.m_bKept = false;
    rDevice.m_udwNews = 0;
    try
    {
        return a_Body(rDevice);
    }
    catch (...)
    {
        return Fault(&rDevice);
    }
}

// A call that reaches the device through the runtime: the library's gate passed, its
// reports routed to this device.
template <class TBody>
zev_status Call(zev_device* a_pDevice, bool a_bReportRefuses, TBody&& a_Body)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        const zev_status iStatus =
            rDevice.m_pRuntime->Run([&](CZEV& rZev) { return a_Body(rlzev::BaseOf(rZev)); });
        return Settle(rDevice, iStatus, a_bReportRefuses);
    });
}

const char* kNullName = "a name is a null pointer";

zev_register* FindRegister(zev_device& a_rDevice, const char* a_pcName)
{
    const auto It = a_rDevice.m_RegisterIndex.find(a_pcName);
    return It == a_rDevice.m_RegisterIndex.end() ? nullptr : &a_rDevice.m_Registers[It->second];
}

zev_signal* FindSignal(zev_register& a_rRegister, const char* a_pcName)
{
    for (uint32_t i = 0; i < a_rRegister.m_udwSignalCount; ++i)
        if (std::strcmp(a_rRegister.m_pSignals[i].m_pInfo->m_pcName, a_pcName) == 0)
            return &a_rRegister.m_pSignals[i];
    return nullptr;
}

// The text for a name the device does not have, "" when both are known. a_bAll: "ALL" or
// "all" stands for every register or signal (locks, logging); else a signal "" is the
// whole register (the text service).
std::string UnknownName(zev_device& a_rDevice, const char* a_pcRegister, const char* a_pcSignal, bool a_bAll)
{
    const bool bAllRegisters = a_bAll && MeansAll(a_pcRegister);
    zev_register* pRegister = bAllRegisters ? nullptr : FindRegister(a_rDevice, a_pcRegister);
    if (!bAllRegisters && pRegister == nullptr)
        return std::string("Invalid register submitted: ") + a_pcRegister;
    if (a_bAll ? MeansAll(a_pcSignal) : (*a_pcSignal == '\0' || pRegister->IsMemory()))
        return "";
    bool bKnown = pRegister != nullptr && FindSignal(*pRegister, a_pcSignal) != nullptr;
    for (std::size_t i = 0; pRegister == nullptr && !bKnown && i < a_rDevice.m_Registers.size(); ++i)
        bKnown = FindSignal(a_rDevice.m_Registers[i], a_pcSignal) != nullptr;
    return bKnown ? "" : std::string("Invalid signal submitted: ") + a_pcSignal;
}

// A refusal of the library by name: ZEV_NOT_FOUND when it was for a name the device lacks.
zev_status RefuseByName(zev_device& a_rDevice, const char* a_pcRegister, const char* a_pcSignal,
                        const std::string& a_strError)
{
    const bool bUnknown = !UnknownName(a_rDevice, a_pcRegister, a_pcSignal, false).empty();
    return Fail(&a_rDevice, bUnknown ? ZEV_NOT_FOUND : ZEV_REFUSED, a_strError);
}

uint32_t AccessOf(const SMapRegister& a_rMap)
{
    const std::string strAccess = a_rMap.m_pcAccess;
    if (strAccess == "CSequentialRead_ParallelWrite")
        return ZEV_ACCESS_READ_BACK_WRITE;
    if (strAccess == "CParallelWrite")
        return ZEV_ACCESS_WRITE_ONLY;
    if (strAccess == "CParallelRead")
        return ZEV_ACCESS_READ_ONLY;
    return ZEV_ACCESS_READ_WRITE;
}

// The handles of every register and signal, in the device's list order, from the device's
// objects and the register map. The one place that knows where the catalogue comes from.
void BuildCatalogue(zev_device& a_rDevice, CHWDeviceBase& a_rZev)
{
    const std::list<CRegisterBase*>& rRegisters = a_rZev.GetRegisters();
    std::size_t uSignals = 0, uEnumerators = 0;
    for (const CRegisterBase* pRegister : rRegisters)
    {
        uSignals += pRegister->GetSignals().size();
        if (const SMapRegister* pMap = FindMapRegister(pRegister->GetName()))
            for (unsigned i = 0; i < pMap->m_udwSignalCount; ++i)
                uEnumerators += pMap->m_pSignals[i].m_udwEnumeratorCount;
    }
    // Handles point into these: sized once, never grown.
    a_rDevice.m_Registers.reserve(rRegisters.size());
    a_rDevice.m_Signals.reserve(uSignals);
    a_rDevice.m_Enumerators.reserve(uEnumerators);
    for (CRegisterBase* pRegister : rRegisters)
    {
        const SMapRegister* pMap = FindMapRegister(pRegister->GetName());
        if (pMap == nullptr)
            throw std::logic_error("the register map lacks " + pRegister->GetName());
        zev_register Register{};
        Register.m_pDevice = &a_rDevice;
        Register.m_pRegister = pRegister;
        Register.m_pMap = pMap;
        Register.m_pParallelRam = dynamic_cast<CRamRegister<CParallelRead_ParallelWrite>*>(pRegister);
        Register.m_pSequentialRam = dynamic_cast<CRamRegister<CSequentialRead_ParallelWrite>*>(pRegister);
        Register.m_pSignals = a_rDevice.m_Signals.data() + a_rDevice.m_Signals.size();
        a_rDevice.m_RegisterIndex.emplace(pRegister->GetName(), static_cast<uint32_t>(a_rDevice.m_Registers.size()));
        a_rDevice.m_Registers.push_back(Register);
        zev_register* pHandle = &a_rDevice.m_Registers.back();
        for (CSignalBase* pBase : pRegister->GetSignals())
        {
            CFieldSignal* pField = dynamic_cast<CFieldSignal*>(pBase);
            const std::string strName = pBase->GetName();
            const SSignalInfo* pInfo = nullptr;
            for (unsigned i = 0; i < pMap->m_udwSignalCount && pInfo == nullptr; ++i)
                if (strName == pMap->m_pSignals[i].m_pcName)
                    pInfo = &pMap->m_pSignals[i];
            if (pField == nullptr || pInfo == nullptr)
                throw std::logic_error("the register map lacks " + pRegister->GetName() + "." + strName);
            zev_signal Signal{};
            Signal.m_pSignal = pField;
            Signal.m_pDevice = &a_rDevice;
            Signal.m_pRegister = pHandle;
            Signal.m_pInfo = pInfo;
            Signal.m_udwLimit = pField->GetMaxValue();
            const std::size_t uFirst = a_rDevice.m_Enumerators.size();
            for (unsigned i = 0; i < pInfo->m_udwEnumeratorCount; ++i)
                a_rDevice.m_Enumerators.push_back(&pInfo->m_pEnumerators[i]);
            const auto Begin = a_rDevice.m_Enumerators.begin() + static_cast<std::ptrdiff_t>(uFirst);
            std::sort(Begin, a_rDevice.m_Enumerators.end(),
                      [](const SEnumerator* a, const SEnumerator* b) { return a->m_udwValue < b->m_udwValue; });
            Signal.m_ppEnumerators = a_rDevice.m_Enumerators.data() + uFirst;
            if (pInfo->m_udwEnumeratorCount > 0)
            {
                // Values 0 to n-1 need one comparison; any other set is looked up.
                const unsigned udwLast = Signal.m_ppEnumerators[pInfo->m_udwEnumeratorCount - 1]->m_udwValue;
                Signal.m_udwLimit = udwLast;
                Signal.m_bSparse = udwLast != pInfo->m_udwEnumeratorCount - 1;
            }
            a_rDevice.m_Signals.push_back(Signal);
            ++pHandle->m_udwSignalCount;
        }
    }
}

zev_status Make(std::unique_ptr<zev_device> a_pDevice, zev_device** a_ppDevice)
{
    // From inside a call the runtime would wait for that call to end.
    if (InsideAnyCall())
        return ZEV_BAD_ARGUMENT;
    zev_device& rDevice = *a_pDevice;
    rDevice.m_pRuntime.reset(new rlzev::CDeviceRuntime(*rDevice.Bus(), rDevice.m_Utility, *rDevice.Status()));
    rDevice.m_pRuntime->Run([&](CZEV& rZev) { BuildCatalogue(rDevice, rlzev::BaseOf(rZev)); });
    *a_ppDevice = a_pDevice.release();
    return ZEV_OK;
}

bool RangeOk(const zev_register& a_rRegister, uint32_t a_udwStart, uint32_t a_udwCount)
{
    const unsigned udwWords = a_rRegister.m_pRegister->GetWordCount();
    return a_udwStart <= udwWords && a_udwCount <= udwWords - a_udwStart;
}

// Words beyond a register: refused as the library refuses them beyond a memory.
zev_status RefuseRange(const zev_register& a_rRegister, uint32_t a_udwStart, uint32_t a_udwCount)
{
    if (a_rRegister.IsMemory())
        return Fail(a_rRegister.m_pDevice, ZEV_REFUSED, kRamFrontiers);
    return Fail(a_rRegister.m_pDevice, ZEV_REFUSED,
                a_rRegister.m_pRegister->GetName() + " has word 0 only: start " + std::to_string(a_udwStart) +
                    ", count " + std::to_string(a_udwCount));
}

// A value a typed set would refuse: beyond the field, or no enumerator of an enumerated signal.
zev_status RefuseValue(const zev_signal& a_rSignal, uint32_t a_udwValue)
{
    const std::string strName = a_rSignal.m_pRegister->m_pRegister->GetName() + "." + a_rSignal.m_pInfo->m_pcName;
    if (a_rSignal.m_pInfo->m_udwEnumeratorCount > 0)
        return Fail(a_rSignal.m_pDevice, ZEV_BAD_ARGUMENT,
                    strName + " has no enumerator of value " + std::to_string(a_udwValue));
    return Fail(a_rSignal.m_pDevice, ZEV_BAD_ARGUMENT,
                strName + " takes 0 to " + std::to_string(a_rSignal.m_udwLimit) + ", not " + std::to_string(a_udwValue));
}

bool Named(const zev_signal& a_rSignal, uint32_t a_udwValue)
{
    for (unsigned i = 0; i < a_rSignal.m_pInfo->m_udwEnumeratorCount; ++i)
        if (a_rSignal.m_ppEnumerators[i]->m_udwValue == a_udwValue)
            return true;
    return false;
}

// A look-up's handle, null unless found.
template <class THandle, class TFind>
zev_status Look(const zev_device* a_pDevice, THandle** a_ppHandle, TFind&& a_Find)
{
    if (a_ppHandle == nullptr)
        return ZEV_BAD_ARGUMENT;
    *a_ppHandle = nullptr;
    return Hold(a_pDevice, [&](zev_device& rDevice) { return a_Find(rDevice, *a_ppHandle); });
}
} // namespace

extern "C" {

ZEV_API uint32_t ZEV_CALL zev_abi_version(void)
{
    return ZEV_ABI_VERSION;
}

ZEV_API const char* ZEV_CALL zev_status_name(zev_status a_iStatus)
{
    switch (a_iStatus)
    {
    case ZEV_OK: return "ZEV_OK";
    case ZEV_REFUSED: return "ZEV_REFUSED";
    case ZEV_NOT_FOUND: return "ZEV_NOT_FOUND";
    case ZEV_BAD_ARGUMENT: return "ZEV_BAD_ARGUMENT";
    case ZEV_BUFFER_TOO_SMALL: return "ZEV_BUFFER_TOO_SMALL";
    case ZEV_HOST_FAULT: return "ZEV_HOST_FAULT";
    default: return "unknown status";
    }
}

// ---- Devices ----

ZEV_API zev_status ZEV_CALL zev_create_simulated(zev_device** a_ppDevice)
{
    if (a_ppDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    *a_ppDevice = nullptr;
    try
    {
        std::unique_ptr<zev_device> pDevice(new zev_device);
        pDevice->m_pSimBus.reset(new CSimBus);
        pDevice->m_pSimStatus.reset(new CSimStatusRegister);
        pDevice->m_pSimBus->m_pUtility = &pDevice->m_Utility;
        return Make(std::move(pDevice), a_ppDevice);
    }
    catch (...)
    {
        return ZEV_HOST_FAULT;
    }
}

ZEV_API zev_status ZEV_CALL zev_create(const zev_host* a_pHost, zev_device** a_ppDevice)
{
    if (a_ppDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    *a_ppDevice = nullptr;
    if (a_pHost == nullptr || a_pHost->write == nullptr || a_pHost->read == nullptr || a_pHost->wait == nullptr)
        return ZEV_BAD_ARGUMENT;
    try
    {
        std::unique_ptr<zev_device> pDevice(new zev_device);
        pDevice->m_Host = *a_pHost;
        pDevice->m_pReportError = a_pHost->report_error;
        pDevice->m_pReportAccessDenied = a_pHost->report_access_denied;
        pDevice->m_pReportContext = a_pHost->context;
        pDevice->m_pCallbackBus.reset(new CCallbackBus(pDevice->m_Host, pDevice.get()));
        pDevice->m_pCallbackStatus.reset(new CCallbackStatus(pDevice->m_Host, pDevice.get()));
        pDevice->m_pCallbackBus->m_pUtility = &pDevice->m_Utility;
        return Make(std::move(pDevice), a_ppDevice);
    }
    catch (...)
    {
        return ZEV_HOST_FAULT;
    }
}

ZEV_API zev_status ZEV_CALL zev_destroy(zev_device* a_pDevice)
{
    if (a_pDevice == nullptr)
        return ZEV_OK;
    // A call on the device is running: one of its callbacks, or another thread.
    if (!a_pDevice->m_Gate.TryEnter())
        return ZEV_BAD_ARGUMENT;
    if (InsideAnyCall())
    {
        // Another device's call: destroying now would pull the library's holder from under it.
        a_pDevice->m_strLastError = "a device cannot be destroyed from inside a device call";
        a_pDevice->m_Gate.Leave();
        return ZEV_BAD_ARGUMENT;
    }
    a_pDevice->m_pRuntime.reset();
    delete a_pDevice;
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_last_error(const zev_device* a_pDevice, char* a_pcText, uint32_t a_udwSize,
                                           uint32_t* a_pudwNeeded)
{
    // No device given to PutText: a buffer too small leaves the last error and the kept text.
    return Hold(
        a_pDevice,
        [&](zev_device& rDevice) { return PutText(nullptr, rDevice.m_strLastError, a_pcText, a_udwSize, a_pudwNeeded); },
        true);
}

ZEV_API zev_status ZEV_CALL zev_fetch_text(zev_device* a_pDevice, char* a_pcText, uint32_t a_udwSize,
                                           uint32_t* a_pudwNeeded)
{
    return Hold(
        a_pDevice,
        [&](zev_device& rDevice) {
            if (!rDevice.m_bKept)
                return Fail(&rDevice, ZEV_NOT_FOUND, "no text is kept: the call before did not run out of buffer");
            const std::string strKept = rDevice.m_strKept;
            const zev_status iStatus = PutText(&rDevice, strKept, a_pcText, a_udwSize, a_pudwNeeded);
            if (iStatus == ZEV_OK)
            {
                rDevice.m_bKept = false;
                rDevice.m_strKept.clear();
            }
            return iStatus;
        },
        true);
}

ZEV_API zev_status ZEV_CALL zev_device_identity(zev_device* a_pDevice, int32_t a_iWhich, char* a_pcText,
                                                uint32_t a_udwSize, uint32_t* a_pudwNeeded)
{
    return Call(a_pDevice, false, [&](CHWDeviceBase& rDevice) {
        switch (a_iWhich)
        {
        case ZEV_IDENTITY_NAME: return PutText(a_pDevice, rDevice.GetName(), a_pcText, a_udwSize, a_pudwNeeded);
        case ZEV_IDENTITY_XML_VERSION:
            return PutText(a_pDevice, rDevice.GetXMLVersion(), a_pcText, a_udwSize, a_pudwNeeded);
        case ZEV_IDENTITY_GENERATOR_VERSION:
            return PutText(a_pDevice, rDevice.GetCodeGeneratorVersion(), a_pcText, a_udwSize, a_pudwNeeded);
        default: return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "no identity text " + std::to_string(a_iWhich));
        }
    });
}

ZEV_API zev_status ZEV_CALL zev_set_report_callbacks(zev_device* a_pDevice, zev_report_fn a_pReportError,
                                                     zev_report_fn a_pReportAccessDenied, void* a_pContext)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        rDevice.m_pReportError = a_pReportError;
        rDevice.m_pReportAccessDenied = a_pReportAccessDenied;
        rDevice.m_pReportContext = a_pContext;
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_report_count(const zev_device* a_pDevice, uint32_t* a_pudwCount)
{
    if (a_pudwCount == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        *a_pudwCount = static_cast<uint32_t>(rDevice.m_Reports.size());
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_reports(const zev_device* a_pDevice, char* a_pcText, uint32_t a_udwSize,
                                        uint32_t* a_pudwNeeded)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        std::string strText;
        for (const std::string& rLine : rDevice.m_Reports)
            strText += rLine + "\n";
        return PutText(&rDevice, strText, a_pcText, a_udwSize, a_pudwNeeded);
    });
}

ZEV_API zev_status ZEV_CALL zev_clear_reports(zev_device* a_pDevice)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        rDevice.m_Reports.clear();
        return ZEV_OK;
    });
}

// ---- Device-wide operations ----

ZEV_API zev_status ZEV_CALL zev_set_to_default(zev_device* a_pDevice)
{
    return Call(a_pDevice, false, [](CHWDeviceBase& rDevice) {
        rDevice.SetToDefault();
        return ZEV_OK;
    });
}

} // extern "C"

namespace
{
// Lock or unlock by name; the library's own check blames the register for an unknown signal.
template <class TOperation>
zev_status LockByName(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal, TOperation a_Operation)
{
    if (a_pcRegister == nullptr || a_pcSignal == nullptr)
        return Hold(a_pDevice, [](zev_device& rDevice) { return Fail(&rDevice, ZEV_BAD_ARGUMENT, kNullName); });
    return Call(a_pDevice, !MeansAll(a_pcRegister), [&](CHWDeviceBase& rDevice) {
        const std::string strUnknown = UnknownName(*a_pDevice, a_pcRegister, a_pcSignal, true);
        if (!strUnknown.empty())
            return Fail(a_pDevice, ZEV_NOT_FOUND, strUnknown);
        std::string strError;
        if (!a_Operation(rDevice, strError))
            return Fail(a_pDevice, ZEV_REFUSED, strError);
        return ZEV_OK;
    });
}
} // namespace

extern "C" {

ZEV_API zev_status ZEV_CALL zev_lock(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal)
{
    return LockByName(a_pDevice, a_pcRegister, a_pcSignal, [&](CHWDeviceBase& rDevice, std::string& rError) {
        return rDevice.Lock(a_pcRegister, a_pcSignal, rError);
    });
}

ZEV_API zev_status ZEV_CALL zev_unlock(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal)
{
    return LockByName(a_pDevice, a_pcRegister, a_pcSignal, [&](CHWDeviceBase& rDevice, std::string& rError) {
        return rDevice.Unlock(a_pcRegister, a_pcSignal, rError);
    });
}

ZEV_API zev_status ZEV_CALL zev_lock_all(zev_device* a_pDevice)
{
    return Call(a_pDevice, false, [](CHWDeviceBase& rDevice) {
        rDevice.LockAll();
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_unlock_all(zev_device* a_pDevice)
{
    return Call(a_pDevice, false, [](CHWDeviceBase& rDevice) {
        rDevice.UnlockAll();
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_set_log_callback(zev_device* a_pDevice, zev_log_fn a_pLog, void* a_pContext)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        rDevice.m_LogLines.m_pLog = a_pLog;
        rDevice.m_LogLines.m_pContext = a_pContext;
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_logging(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                        int32_t a_iEnable)
{
    return Call(a_pDevice, false, [&](CHWDeviceBase& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, kNullName);
        // The library takes unknown names without a word; a C host is told.
        const std::string strUnknown = UnknownName(*a_pDevice, a_pcRegister, a_pcSignal, true);
        if (!strUnknown.empty())
            return Fail(a_pDevice, ZEV_NOT_FOUND, strUnknown);
        rDevice.Logging(a_pcRegister, a_pcSignal, &a_pDevice->m_LogStream, a_iEnable != 0);
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_snapshot(zev_device* a_pDevice, char* a_pcText, uint32_t a_udwSize,
                                         uint32_t* a_pudwNeeded)
{
    return Call(a_pDevice, false, [&](CHWDeviceBase& rDevice) {
        std::ostringstream Stream;
        rDevice.SnapShot(Stream);
        return PutText(a_pDevice, Stream.str(), a_pcText, a_udwSize, a_pudwNeeded);
    });
}

// ---- The text service by name ----

ZEV_API zev_status ZEV_CALL zev_service_read(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                             uint32_t a_udwStart, uint32_t a_udwCount, char* a_pcTexts,
                                             uint32_t a_udwSize, uint32_t* a_pudwNeeded, uint32_t* a_pudwTextCount)
{
    return Call(a_pDevice, true, [&](CHWDeviceBase& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, kNullName);
        std::list<std::string> Texts;
        std::string strError;
        if (!rDevice.ServiceRead(a_pcRegister, a_pcSignal, Texts, strError, a_udwStart, a_udwCount))
            return RefuseByName(*a_pDevice, a_pcRegister, a_pcSignal, strError);
        if (a_pudwTextCount != nullptr)
            *a_pudwTextCount = static_cast<uint32_t>(Texts.size());
        return PutText(a_pDevice, JoinTexts(Texts), a_pcTexts, a_udwSize, a_pudwNeeded);
    });
}

ZEV_API zev_status ZEV_CALL zev_service_write(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                              const char* a_pcValues, uint32_t a_udwStart)
{
    return Call(a_pDevice, true, [&](CHWDeviceBase& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr || a_pcValues == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "a name or the values are a null pointer");
        const std::list<std::string> Values = SplitTexts(a_pcValues);
        // The library would report a range beyond a memory, write nothing, lock the memory
        // and answer yes: refused here as zev_memory_set refuses it, with nothing changed.
        const zev_register* pRegister = FindRegister(*a_pDevice, a_pcRegister);
        if (pRegister != nullptr && pRegister->IsMemory() && !Values.empty() &&
            (Values.size() > pRegister->m_pRegister->GetWordCount() ||
             !RangeOk(*pRegister, a_udwStart, static_cast<uint32_t>(Values.size()))))
            return RefuseRange(*pRegister, a_udwStart, static_cast<uint32_t>(Values.size()));
        std::string strError;
        if (!rDevice.ServiceWrite(a_pcRegister, a_pcSignal, Values, strError, a_udwStart))
            return RefuseByName(*a_pDevice, a_pcRegister, a_pcSignal, strError);
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_value_by_string(zev_device* a_pDevice, const char* a_pcRegister,
                                                const char* a_pcSignal, char* a_pcTexts, uint32_t a_udwSize,
                                                uint32_t* a_pudwNeeded)
{
    return Call(a_pDevice, true, [&](CHWDeviceBase& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, kNullName);
        const std::list<std::string> Texts = rDevice.GetValueByString(a_pcRegister, a_pcSignal);
        // The device answers an unknown name with one of these texts instead of a value.
        if (Texts.size() == 1 && (Texts.front() == "Register not found!" || Texts.front() == "Function not found!"))
            return Fail(a_pDevice, ZEV_NOT_FOUND, Texts.front());
        return PutText(a_pDevice, JoinTexts(Texts), a_pcTexts, a_udwSize, a_pudwNeeded);
    });
}

// ---- The catalogue ----

ZEV_API zev_status ZEV_CALL zev_register_count(const zev_device* a_pDevice, uint32_t* a_pudwCount)
{
    if (a_pudwCount == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        *a_pudwCount = static_cast<uint32_t>(rDevice.m_Registers.size());
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_register_at(zev_device* a_pDevice, uint32_t a_udwIndex, zev_register** a_ppRegister)
{
    return Look(a_pDevice, a_ppRegister, [&](zev_device& rDevice, zev_register*& rpRegister) {
        if (a_udwIndex >= rDevice.m_Registers.size())
            return Fail(&rDevice, ZEV_NOT_FOUND,
                        "no register " + std::to_string(a_udwIndex) + ": the device has " +
                            std::to_string(rDevice.m_Registers.size()));
        rpRegister = &rDevice.m_Registers[a_udwIndex];
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_register_find(zev_device* a_pDevice, const char* a_pcName, zev_register** a_ppRegister)
{
    return Look(a_pDevice, a_ppRegister, [&](zev_device& rDevice, zev_register*& rpRegister) {
        if (a_pcName == nullptr)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, kNullName);
        rpRegister = FindRegister(rDevice, a_pcName);
        return rpRegister != nullptr ? ZEV_OK : Fail(&rDevice, ZEV_NOT_FOUND, std::string("no register ") + a_pcName);
    });
}

ZEV_API zev_status ZEV_CALL zev_register_name(const zev_register* a_pRegister, char* a_pcText, uint32_t a_udwSize,
                                              uint32_t* a_pudwNeeded)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pRegister->m_pDevice, [&](zev_device& rDevice) {
        return PutText(&rDevice, a_pRegister->m_pMap->m_pcName, a_pcText, a_udwSize, a_pudwNeeded);
    });
}

ZEV_API zev_status ZEV_CALL zev_register_describe(const zev_register* a_pRegister, zev_register_info* a_pInfo)
{
    if (a_pRegister == nullptr || a_pInfo == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pRegister->m_pDevice, [&](zev_device&) {
        const CRegisterBase& rRegister = *a_pRegister->m_pRegister;
        unsigned udwAddress = 0, udwSecond = 0;
        rRegister.GetAdresses(udwAddress, udwSecond);
        a_pInfo->address = udwAddress;
        a_pInfo->width = rRegister.GetWidth();
        a_pInfo->words = rRegister.GetWordCount();
        a_pInfo->access = AccessOf(*a_pRegister->m_pMap);
        a_pInfo->status = a_pRegister->m_pMap->m_bStatus ? 1u : 0u;
        a_pInfo->signal_count = a_pRegister->m_udwSignalCount;
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_at(zev_register* a_pRegister, uint32_t a_udwIndex, zev_signal** a_ppSignal)
{
    if (a_pRegister == nullptr)
    {
        if (a_ppSignal != nullptr)
            *a_ppSignal = nullptr;
        return ZEV_BAD_ARGUMENT;
    }
    return Look(a_pRegister->m_pDevice, a_ppSignal, [&](zev_device& rDevice, zev_signal*& rpSignal) {
        if (a_udwIndex >= a_pRegister->m_udwSignalCount)
            return Fail(&rDevice, ZEV_NOT_FOUND,
                        "no signal " + std::to_string(a_udwIndex) + ": " + a_pRegister->m_pMap->m_pcName + " has " +
                            std::to_string(a_pRegister->m_udwSignalCount));
        rpSignal = &a_pRegister->m_pSignals[a_udwIndex];
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_find(zev_register* a_pRegister, const char* a_pcName, zev_signal** a_ppSignal)
{
    if (a_pRegister == nullptr)
    {
        if (a_ppSignal != nullptr)
            *a_ppSignal = nullptr;
        return ZEV_BAD_ARGUMENT;
    }
    return Look(a_pRegister->m_pDevice, a_ppSignal, [&](zev_device& rDevice, zev_signal*& rpSignal) {
        if (a_pcName == nullptr)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, kNullName);
        rpSignal = FindSignal(*a_pRegister, a_pcName);
        return rpSignal != nullptr ? ZEV_OK
                                   : Fail(&rDevice, ZEV_NOT_FOUND,
                                          std::string(a_pRegister->m_pMap->m_pcName) + " has no signal " + a_pcName);
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_lookup(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                              zev_signal** a_ppSignal)
{
    zev_register* pRegister = nullptr;
    const zev_status iStatus = zev_register_find(a_pDevice, a_pcRegister, &pRegister);
    if (iStatus != ZEV_OK && a_ppSignal != nullptr)
        *a_ppSignal = nullptr;
    return iStatus != ZEV_OK ? iStatus : zev_signal_find(pRegister, a_pcSignal, a_ppSignal);
}

ZEV_API zev_status ZEV_CALL zev_signal_name(const zev_signal* a_pSignal, char* a_pcText, uint32_t a_udwSize,
                                            uint32_t* a_pudwNeeded)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pSignal->m_pDevice, [&](zev_device& rDevice) {
        return PutText(&rDevice, a_pSignal->m_pInfo->m_pcName, a_pcText, a_udwSize, a_pudwNeeded);
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_describe(const zev_signal* a_pSignal, zev_signal_info* a_pInfo)
{
    if (a_pSignal == nullptr || a_pInfo == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pSignal->m_pDevice, [&](zev_device&) {
        a_pInfo->low = a_pSignal->m_pSignal->GetLow();
        a_pInfo->width = a_pSignal->m_pInfo->m_udwWidth;
        a_pInfo->default_value = a_pSignal->m_pInfo->m_udwDefault;
        a_pInfo->max_value = a_pSignal->m_pSignal->GetMaxValue();
        a_pInfo->enumerator_count = a_pSignal->m_pInfo->m_udwEnumeratorCount;
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_enumerator(const zev_signal* a_pSignal, uint32_t a_udwIndex, uint32_t* a_pudwValue,
                                                  char* a_pcName, uint32_t a_udwSize, uint32_t* a_pudwNeeded)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pSignal->m_pDevice, [&](zev_device& rDevice) {
        if (a_udwIndex >= a_pSignal->m_pInfo->m_udwEnumeratorCount)
            return Fail(&rDevice, ZEV_NOT_FOUND,
                        "no enumerator " + std::to_string(a_udwIndex) + ": " + a_pSignal->m_pInfo->m_pcName + " has " +
                            std::to_string(a_pSignal->m_pInfo->m_udwEnumeratorCount));
        const SEnumerator& rEnumerator = *a_pSignal->m_ppEnumerators[a_udwIndex];
        if (a_pudwValue != nullptr)
            *a_pudwValue = rEnumerator.m_udwValue;
        return PutText(&rDevice, rEnumerator.m_pcName, a_pcName, a_udwSize, a_pudwNeeded);
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_enumerator_value(const zev_signal* a_pSignal, const char* a_pcName,
                                                        uint32_t* a_pudwValue)
{
    if (a_pSignal == nullptr || a_pudwValue == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pSignal->m_pDevice, [&](zev_device& rDevice) {
        if (a_pcName == nullptr)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, kNullName);
        for (unsigned i = 0; i < a_pSignal->m_pInfo->m_udwEnumeratorCount; ++i)
            if (std::strcmp(a_pSignal->m_ppEnumerators[i]->m_pcName, a_pcName) == 0)
            {
                *a_pudwValue = a_pSignal->m_ppEnumerators[i]->m_udwValue;
                return ZEV_OK;
            }
        return Fail(&rDevice, ZEV_NOT_FOUND,
                    std::string(a_pSignal->m_pInfo->m_pcName) + " has no enumerator " + a_pcName);
    });
}

// ---- Typed access: the hot path ----

ZEV_API zev_status ZEV_CALL zev_signal_get(const zev_signal* a_pSignal, int32_t a_iReadHW, uint32_t* a_pudwValue)
{
    if (a_pSignal == nullptr || a_pudwValue == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pSignal->m_pDevice, [&](zev_device& rDevice) {
        *a_pudwValue = a_pSignal->m_pSignal->Get(a_iReadHW != 0);
        return rDevice.m_udwNews == 0 ? ZEV_OK : Settle(rDevice, ZEV_OK, true);
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_set(zev_signal* a_pSignal, uint32_t a_udwValue, int32_t a_iMode,
                                           int32_t* a_piWritten)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_piWritten != nullptr)
        *a_piWritten = 0;
    // The library's rule for an unknown mode, kept without an out-of-range enumeration value.
    const CSignalBase::ESignalHwWrite eMode =
        a_iMode == ZEV_WRITE_IMMEDIATE    ? CSignalBase::HW_WRITE_IMMEDIATE
        : a_iMode == ZEV_WRITE_IF_CHANGED ? CSignalBase::HW_WRITE_IF_CHANGED
                                          : CSignalBase::HW_WRITE_DEFERRED;
    return Hold(a_pSignal->m_pDevice, [&](zev_device& rDevice) {
        if (a_udwValue > a_pSignal->m_udwLimit || (a_pSignal->m_bSparse && !Named(*a_pSignal, a_udwValue)))
            return RefuseValue(*a_pSignal, a_udwValue);
        const bool bWritten = a_pSignal->m_pSignal->Set(a_udwValue, eMode);
        if (rDevice.m_udwNews != 0)
            return Settle(rDevice, ZEV_OK, true);  // a refused write was not written
        if (a_piWritten != nullptr)
            *a_piWritten = bWritten ? 1 : 0;
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_lock_state(const zev_signal* a_pSignal, uint32_t* a_pudwState)
{
    if (a_pSignal == nullptr || a_pudwState == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pSignal->m_pDevice, [&](zev_device&) {
        *a_pudwState = a_pSignal->m_pSignal->GetLockState();
        return ZEV_OK;
    });
}

// ---- Whole registers and memories ----

ZEV_API zev_status ZEV_CALL zev_register_read(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                              uint32_t* a_pudwWords)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Call(a_pRegister->m_pDevice, true, [&](CHWDeviceBase&) {
        if (!RangeOk(*a_pRegister, a_udwStart, a_udwCount))
            return RefuseRange(*a_pRegister, a_udwStart, a_udwCount);
        if (a_pudwWords == nullptr && a_udwCount > 0)
            return Fail(a_pRegister->m_pDevice, ZEV_BAD_ARGUMENT, "the words are a null pointer");
        const std::vector<unsigned> Words = a_pRegister->m_pRegister->GetNotTypedValue(a_udwStart, a_udwCount);
        std::copy(Words.begin(), Words.end(), a_pudwWords);
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_register_write(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                               const uint32_t* a_pudwWords)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Call(a_pRegister->m_pDevice, true, [&](CHWDeviceBase&) {
        if (a_udwCount == 0 || a_pudwWords == nullptr)
            return Fail(a_pRegister->m_pDevice, ZEV_BAD_ARGUMENT, "no words: a count of 0 or a null pointer");
        if (!RangeOk(*a_pRegister, a_udwStart, a_udwCount))
            return RefuseRange(*a_pRegister, a_udwStart, a_udwCount);
        std::list<std::string> Texts;
        for (uint32_t i = 0; i < a_udwCount; ++i)
            Texts.push_back(HexText(a_pudwWords[i]));
        std::string strError;
        if (!a_pRegister->m_pRegister->ServiceWrite("", Texts, strError, a_udwStart))
            return Fail(a_pRegister->m_pDevice, ZEV_REFUSED, strError);
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_register_set_to_default(zev_register* a_pRegister, int32_t* a_piWritten)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_piWritten != nullptr)
        *a_piWritten = 0;
    return Call(a_pRegister->m_pDevice, false, [&](CHWDeviceBase&) {
        const bool bWritten = a_pRegister->m_pRegister->SetToDefault();
        zev_status iStatus = Settle(*a_pRegister->m_pDevice, ZEV_OK, true);
        if (iStatus == ZEV_OK && a_piWritten != nullptr)
            *a_piWritten = bWritten ? 1 : 0;
        return iStatus;
    });
}

ZEV_API zev_status ZEV_CALL zev_register_lock_state(const zev_register* a_pRegister, uint32_t* a_pudwState)
{
    if (a_pRegister == nullptr || a_pudwState == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pRegister->m_pDevice, [&](zev_device&) {
        *a_pudwState = a_pRegister->m_pRegister->GetLockState();
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_memory_get(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                           int32_t a_iReadHW, uint32_t* a_pudwWords, int32_t* a_piRead)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    zev_device* pDevice = a_pRegister->m_pDevice;
    return Call(pDevice, true, [&](CHWDeviceBase&) {
        if (!a_pRegister->IsMemory())
            return Fail(pDevice, ZEV_BAD_ARGUMENT, a_pRegister->m_pRegister->GetName() + " is not a memory");
        // The memory answers false both when it refuses (and reports why, which refuses the
        // call) and when it only handed over its words.
        const bool bRead = a_pRegister->m_pParallelRam != nullptr
                               ? a_pRegister->m_pParallelRam->Get(a_pudwWords, a_udwStart, a_udwCount, a_iReadHW != 0)
                               : a_pRegister->m_pSequentialRam->Get(a_pudwWords, a_udwStart, a_udwCount, a_iReadHW != 0);
        if (a_piRead != nullptr)
            *a_piRead = bRead ? 1 : 0;
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_memory_set(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                           const uint32_t* a_pudwWords, int32_t* a_piWritten)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    zev_device* pDevice = a_pRegister->m_pDevice;
    return Call(pDevice, true, [&](CHWDeviceBase&) {
        if (!a_pRegister->IsMemory())
            return Fail(pDevice, ZEV_BAD_ARGUMENT, a_pRegister->m_pRegister->GetName() + " is not a memory");
        const bool bWritten = a_pRegister->m_pParallelRam != nullptr
                                  ? a_pRegister->m_pParallelRam->Set(a_pudwWords, a_udwStart, a_udwCount, false)
                                  : a_pRegister->m_pSequentialRam->Set(a_pudwWords, a_udwStart, a_udwCount, false);
        if (a_piWritten != nullptr)
            *a_piWritten = bWritten ? 1 : 0;
        return ZEV_OK;
    });
}

// ---- The simulated ZEV ----

} // extern "C"

namespace
{
template <class TBody>
zev_status Simulated(const zev_device* a_pDevice, TBody&& a_Body)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        if (!rDevice.m_pSimBus)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, "not a simulated device");
        a_Body(*rDevice.m_pSimBus);
        return ZEV_OK;
    });
}
} // namespace

extern "C" {

ZEV_API zev_status ZEV_CALL zev_sim_peek(const zev_device* a_pDevice, uint32_t a_udwAddress, uint32_t* a_pudwWord)
{
    if (a_pudwWord == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Simulated(a_pDevice, [&](CSimBus& rBus) { *a_pudwWord = rBus.Peek(a_udwAddress); });
}

ZEV_API zev_status ZEV_CALL zev_sim_poke(zev_device* a_pDevice, uint32_t a_udwAddress, uint32_t a_udwWord)
{
    return Simulated(a_pDevice, [&](CSimBus& rBus) { rBus.Poke(a_udwAddress, a_udwWord); });
}

ZEV_API zev_status ZEV_CALL zev_sim_fail_reads(zev_device* a_pDevice, int32_t a_iCount)
{
    return Simulated(a_pDevice, [&](CSimBus& rBus) { rBus.m_iThrowOnRead = a_iCount; });
}

ZEV_API zev_status ZEV_CALL zev_sim_ready_after(zev_device* a_pDevice, uint32_t a_udwPolls)
{
    return Simulated(a_pDevice, [&](CSimBus& rBus) { rBus.m_udwReadyAfterPolls = a_udwPolls; });
}

} // extern "C"
