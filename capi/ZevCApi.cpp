// The flat C interface over the device runtime: handles into the runtime's catalogue,
// errors as codes with the device's last error text, texts in the caller's buffers, and
// no exception past the boundary. Every call on a device passes the device's own gate, so
// calls from several threads are serialised. A call that names an operation of the
// runtime's table is checked and run as every door checks and runs it (CheckOperation,
// RunBatch); only the typed get and set go straight to the inline field access, the gate's
// one atomic exchange all they add, and ask the runtime's check for a refusal's text.
#define RL_ZEV_C_BUILD
#include "rl_zev_c.h"

#include "DeviceRuntime.h"
#include "FieldSignal.h"
#include "HWDeviceBase.h"
#include "Operations.h"
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
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

static_assert(std::is_same<unsigned, uint32_t>::value, "the library's words are the C interface's uint32_t");

using rlzev::MeansAll;

namespace
{
const std::size_t kKeptReports = 1000;

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

// Texts are lines: "\n" or "\r\n" ends each, the last may go without; "" is no text at all.
std::vector<std::string> SplitTexts(const char* a_pcValues)
{
    std::vector<std::string> Texts;
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

std::string JoinTexts(const std::vector<std::string>& a_rTexts)
{
    std::string strJoined;
    for (std::size_t i = 0; i < a_rTexts.size(); ++i)
        strJoined += (i == 0 ? "" : "\n") + a_rTexts[i];
    return strJoined;
}

} // namespace

struct zev_signal
{
    CFieldSignal* m_pSignal;  // first: the typed calls reach the field with one load
    zev_device* m_pDevice;
    uint32_t m_udwMax;        // the largest value a typed set takes
    zev_register* m_pRegister;
    const rlzev::SSignalEntry* m_pEntry;
};

struct zev_register
{
    zev_device* m_pDevice;
    CRegisterBase* m_pRegister;  // its lock state
    const rlzev::SRegisterEntry* m_pEntry;
    zev_signal* m_pSignals;
    uint32_t m_udwSignalCount;
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

// The runtime's change-log lines, each to the log callback. It listens only while there is
// a callback: a listener makes the runtime put every transfer into words too. A failing
// callback is kept as the running call's host fault.
class CLogObserver : public rlzev::CDeviceObserver
{
public:
    explicit CLogObserver(zev_device& a_rDevice) : m_rDevice(a_rDevice) {}
    bool IsListening() const override { return m_pLog != nullptr; }
    void OnEvent(const rlzev::SDeviceEvent& a_rEvent) override;
    zev_log_fn m_pLog = nullptr;
    void* m_pContext = nullptr;

private:
    zev_device& m_rDevice;
};
} // namespace

struct zev_device
{
    zev_device() : m_Utility(*this), m_LogObserver(*this) {}

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

    std::string m_strLastError;
    std::string m_strKept;
    std::string m_strLogFault;  // the first log-callback failure of the running call

    zev_report_fn m_pReportError = nullptr;
    zev_report_fn m_pReportAccessDenied = nullptr;
    void* m_pReportContext = nullptr;
    std::deque<std::string> m_Reports;
    std::string m_strLastReport;  // the message of the last report

    CLogObserver m_LogObserver;
    // Last: the device goes before the host objects and the observer it tells.
    std::unique_ptr<rlzev::CDeviceRuntime> m_pRuntime;

    const rlzev::CCatalogue& Catalogue() const { return m_pRuntime->Catalogue(); }

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

void CLogObserver::OnEvent(const rlzev::SDeviceEvent& a_rEvent)
{
    if (a_rEvent.m_eKind != rlzev::SDeviceEvent::LOG || m_pLog == nullptr)
        return;
    std::string strFault;
    try
    {
        const CInCallback Frame(&m_rDevice);
        if (const int32_t iResult = m_pLog(m_pContext, a_rEvent.m_strText.c_str()))
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
                    "the text needs " + std::to_string(uNeeded) + " bytes, the buffer " +
                        (a_pcText == nullptr ? std::string("is a null pointer") : "holds " + std::to_string(a_udwSize)));
    }
    std::memcpy(a_pcText, a_strText.c_str(), uNeeded);
    return ZEV_OK;
}

// What the call's news make of its result: a failed log callback is a host fault; a report
// of the library on a call that concerns one register or signal (a refused direction, a
// read-back never ready) is a refusal with the report's message. Both win over a buffer too
// small, whose text stays kept: a caller who stops at that status must still learn of them.
zev_status Settle(zev_device& a_rDevice, zev_status a_iStatus, bool a_bReportRefuses)
{
    if ((a_rDevice.m_udwNews & kLogFault) != 0)
        return Fail(&a_rDevice, ZEV_HOST_FAULT, "host fault: " + a_rDevice.m_strLogFault);
    if ((a_iStatus == ZEV_OK || a_iStatus == ZEV_BUFFER_TOO_SMALL) && a_bReportRefuses &&
        (a_rDevice.m_udwNews & kReported) != 0)
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

// A call of the library that is no operation of the table (LockAll, UnlockAll) through
// the runtime: the library's gate passed, its reports routed to this device.
template <class TBody>
zev_status Call(zev_device* a_pDevice, TBody&& a_Body)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        rDevice.m_pRuntime->Run([&](CZEV& rZev) { a_Body(rlzev::BaseOf(rZev)); });
        return Settle(rDevice, ZEV_OK, false);
    });
}

const char* kNullName = "a name is a null pointer";

// A null out pointer on a good handle: refused, and the device keeps why, as for any refusal.
zev_status NullOut(const zev_device* a_pDevice)
{
    return Hold(a_pDevice, [](zev_device& rDevice) { return Fail(&rDevice, ZEV_BAD_ARGUMENT, "an out pointer is a null pointer"); });
}

// Whether an operation the runtime refused named a register or signal the device lacks
// (ZEV_NOT_FOUND for a C caller; the text stays the runtime's). "ALL" names every register
// or signal where the operation takes it.
bool NamesUnknown(const rlzev::CCatalogue& a_rCatalogue, const rlzev::SOperation& a_rOperation)
{
    const rlzev::EOperation eOperation = a_rOperation.m_eOperation;
    const bool bAll = eOperation == rlzev::EOperation::LOCK || eOperation == rlzev::EOperation::UNLOCK ||
                      eOperation == rlzev::EOperation::LOGGING;
    const rlzev::SRegisterEntry* pEntry = a_rCatalogue.Find(a_rOperation.m_strRegister);
    if (pEntry == nullptr && !(bAll && MeansAll(a_rOperation.m_strRegister)))
        return true;
    const std::string& strSignal = a_rOperation.m_strSignal;
    if (strSignal.empty())  // locks, logging and a value name a signal; the rest then take the whole register
        return bAll || eOperation == rlzev::EOperation::VALUE;
    if (bAll && MeansAll(strSignal))
        return false;
    if (pEntry != nullptr)
        return pEntry->FindSignal(strSignal) == nullptr;
    for (const rlzev::SRegisterEntry& rEntry : a_rCatalogue.Registers())
        if (rEntry.FindSignal(strSignal) != nullptr)
            return false;
    return true;
}

// An operation of the table, as every door runs it: checked against the catalogue (a
// refusal there: ZEV_BAD_ARGUMENT, nothing reaches the device), then run by the runtime.
// a_Answer hands a done operation's answer to the caller. a_bOneRegister: a report of the
// library refuses the call.
template <class TAnswer>
zev_status RunOperation(zev_device& a_rDevice, rlzev::SOperation& a_rOperation, bool a_bOneRegister,
                        TAnswer&& a_Answer)
{
    rlzev::SBudget Budget;
    const std::string strRefusal = rlzev::CheckOperation(a_rDevice.Catalogue(), a_rOperation, true, Budget);
    if (!strRefusal.empty())
        return Fail(&a_rDevice, ZEV_BAD_ARGUMENT, strRefusal);
    const rlzev::SOutcome Outcome = a_rDevice.m_pRuntime->RunBatch({a_rOperation}, rlzev::SBatchOptions()).front();
    zev_status iStatus = ZEV_OK;
    switch (Outcome.m_eStatus)
    {
    case rlzev::SOutcome::FAULT: return Fail(&a_rDevice, ZEV_HOST_FAULT, Outcome.m_strError);
    case rlzev::SOutcome::REFUSED:
        iStatus = Fail(&a_rDevice, NamesUnknown(a_rDevice.Catalogue(), a_rOperation) ? ZEV_NOT_FOUND : ZEV_REFUSED,
                       Outcome.m_strError);
        break;
    default: iStatus = a_Answer(Outcome); break;
    }
    return Settle(a_rDevice, iStatus, a_bOneRegister);
}

zev_status NoAnswer(const rlzev::SOutcome&)
{
    return ZEV_OK;
}

rlzev::SOperation Operation(rlzev::EOperation a_eOperation, const std::string& a_strRegister = "",
                            const std::string& a_strSignal = "")
{
    rlzev::SOperation Result;
    Result.m_eOperation = a_eOperation;
    Result.m_strRegister = a_strRegister;
    Result.m_strSignal = a_strSignal;
    return Result;
}

// The runtime's refusal of a name the device lacks, for a look-up that failed: what a typed
// get of that name is told. Nothing reaches the device (the handler refuses first).
std::string UnknownNameText(zev_device& a_rDevice, const std::string& a_strRegister, const std::string& a_strSignal)
{
    rlzev::SBatchOptions Options;
    Options.m_bKeepApplication = true;
    return a_rDevice.m_pRuntime
        ->RunBatch({Operation(rlzev::EOperation::GET, a_strRegister, a_strSignal)}, Options)
        .front()
        .m_strError;
}

zev_register* FindRegister(zev_device& a_rDevice, const char* a_pcName)
{
    const rlzev::SRegisterEntry* pEntry = a_rDevice.Catalogue().Find(a_pcName);
    return pEntry == nullptr ? nullptr
                             : &a_rDevice.m_Registers[static_cast<std::size_t>(pEntry - a_rDevice.Catalogue().Registers().data())];
}

zev_signal* FindSignal(zev_register& a_rRegister, const char* a_pcName)
{
    const rlzev::SSignalEntry* pEntry = a_rRegister.m_pEntry->FindSignal(a_pcName);
    return pEntry == nullptr ? nullptr
                             : &a_rRegister.m_pSignals[static_cast<std::size_t>(pEntry - a_rRegister.m_pEntry->m_Signals.data())];
}

uint32_t AccessOf(const rlzev::SRegisterEntry& a_rEntry)
{
    if (!a_rEntry.m_bReadable)
        return ZEV_ACCESS_WRITE_ONLY;
    if (!a_rEntry.m_bWritable)
        return ZEV_ACCESS_READ_ONLY;
    return a_rEntry.m_bReadBack ? ZEV_ACCESS_READ_BACK_WRITE : ZEV_ACCESS_READ_WRITE;
}

// The handles of every register and signal: the runtime's catalogue, in the device's list
// order, beside the objects the typed calls and the lock states reach.
void BuildCatalogue(zev_device& a_rDevice, CHWDeviceBase& a_rZev)
{
    const std::vector<rlzev::SRegisterEntry>& rEntries = a_rDevice.Catalogue().Registers();
    const std::list<CRegisterBase*>& rRegisters = a_rZev.GetRegisters();
    if (rEntries.size() != rRegisters.size())
        throw std::logic_error("the catalogue and the device differ in their registers");
    // Handles point into these: sized once, never grown.
    a_rDevice.m_Registers.reserve(rEntries.size());
    a_rDevice.m_Signals.reserve(a_rDevice.Catalogue().SignalCount());
    auto It = rRegisters.begin();
    for (const rlzev::SRegisterEntry& rEntry : rEntries)
    {
        CRegisterBase* pRegister = *It++;
        const std::list<CSignalBase*>& rSignals = pRegister->GetSignals();
        if (pRegister->GetName() != rEntry.m_strName || rSignals.size() != rEntry.m_Signals.size())
            throw std::logic_error("the catalogue and the device differ at " + rEntry.m_strName);
        a_rDevice.m_Registers.push_back({&a_rDevice, pRegister, &rEntry,
                                         a_rDevice.m_Signals.data() + a_rDevice.m_Signals.size(),
                                         static_cast<uint32_t>(rSignals.size())});
        zev_register* pHandle = &a_rDevice.m_Registers.back();
        auto SignalIt = rEntry.m_Signals.begin();
        for (CSignalBase* pBase : rSignals)
        {
            const rlzev::SSignalEntry& rSignal = *SignalIt++;
            CFieldSignal* pField = dynamic_cast<CFieldSignal*>(pBase);
            if (pField == nullptr || pBase->GetName() != rSignal.m_strName)
                throw std::logic_error("the catalogue and the device differ at " + rEntry.m_strName + "." +
                                       rSignal.m_strName);
            a_rDevice.m_Signals.push_back({pField, &a_rDevice, rSignal.m_udwMax, pHandle, &rSignal});
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

// A look-up's handle, null unless found.
template <class THandle, class TFind>
zev_status Look(const zev_device* a_pDevice, THandle** a_ppHandle, TFind&& a_Find)
{
    if (a_ppHandle == nullptr)
        return NullOut(a_pDevice);
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
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        const rlzev::CCatalogue& rCatalogue = rDevice.Catalogue();
        switch (a_iWhich)
        {
        case ZEV_IDENTITY_NAME: return PutText(&rDevice, rCatalogue.DeviceName(), a_pcText, a_udwSize, a_pudwNeeded);
        case ZEV_IDENTITY_XML_VERSION:
            return PutText(&rDevice, rCatalogue.XmlVersion(), a_pcText, a_udwSize, a_pudwNeeded);
        case ZEV_IDENTITY_GENERATOR_VERSION:
            return PutText(&rDevice, rCatalogue.GeneratorVersion(), a_pcText, a_udwSize, a_pudwNeeded);
        default: return Fail(&rDevice, ZEV_BAD_ARGUMENT, "no identity text " + std::to_string(a_iWhich));
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
        return NullOut(a_pDevice);
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
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        rlzev::SOperation Defaults = Operation(rlzev::EOperation::DEFAULTS);
        return RunOperation(rDevice, Defaults, false, NoAnswer);
    });
}

} // extern "C"

namespace
{
// Lock or unlock by name; "ALL" for the register is device-wide (its reports refuse nothing).
zev_status LockByName(zev_device* a_pDevice, rlzev::EOperation a_eOperation, const char* a_pcRegister,
                      const char* a_pcSignal)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, kNullName);
        rlzev::SOperation Lock = Operation(a_eOperation, a_pcRegister, a_pcSignal);
        return RunOperation(rDevice, Lock, !MeansAll(a_pcRegister), NoAnswer);
    });
}
} // namespace

extern "C" {

ZEV_API zev_status ZEV_CALL zev_lock(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal)
{
    return LockByName(a_pDevice, rlzev::EOperation::LOCK, a_pcRegister, a_pcSignal);
}

ZEV_API zev_status ZEV_CALL zev_unlock(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal)
{
    return LockByName(a_pDevice, rlzev::EOperation::UNLOCK, a_pcRegister, a_pcSignal);
}

ZEV_API zev_status ZEV_CALL zev_lock_all(zev_device* a_pDevice)
{
    return Call(a_pDevice, [](CHWDeviceBase& rDevice) { rDevice.LockAll(); });
}

ZEV_API zev_status ZEV_CALL zev_unlock_all(zev_device* a_pDevice)
{
    return Call(a_pDevice, [](CHWDeviceBase& rDevice) { rDevice.UnlockAll(); });
}

ZEV_API zev_status ZEV_CALL zev_set_log_callback(zev_device* a_pDevice, zev_log_fn a_pLog, void* a_pContext)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        // Heard only while a callback is set: every transfer asks each observer whether it listens.
        if (a_pLog != nullptr && rDevice.m_LogObserver.m_pLog == nullptr)
            rDevice.m_pRuntime->AddObserver(rDevice.m_LogObserver);
        else if (a_pLog == nullptr && rDevice.m_LogObserver.m_pLog != nullptr)
            rDevice.m_pRuntime->RemoveObserver(rDevice.m_LogObserver);
        rDevice.m_LogObserver.m_pLog = a_pLog;
        rDevice.m_LogObserver.m_pContext = a_pContext;
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_logging(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                        int32_t a_iEnable)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, kNullName);
        rlzev::SOperation Logging = Operation(rlzev::EOperation::LOGGING, a_pcRegister, a_pcSignal);
        Logging.m_bEnable = a_iEnable != 0;
        return RunOperation(rDevice, Logging, false, NoAnswer);
    });
}

ZEV_API zev_status ZEV_CALL zev_snapshot(zev_device* a_pDevice, char* a_pcText, uint32_t a_udwSize,
                                         uint32_t* a_pudwNeeded)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        rlzev::SOperation Snapshot = Operation(rlzev::EOperation::SNAPSHOT);
        return RunOperation(rDevice, Snapshot, false, [&](const rlzev::SOutcome& rOutcome) {
            return PutText(&rDevice, rOutcome.m_strSnapshot, a_pcText, a_udwSize, a_pudwNeeded);
        });
    });
}

// ---- The text service by name ----

ZEV_API zev_status ZEV_CALL zev_service_read(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                             uint32_t a_udwStart, uint32_t a_udwCount, char* a_pcTexts,
                                             uint32_t a_udwSize, uint32_t* a_pudwNeeded, uint32_t* a_pudwTextCount)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, kNullName);
        rlzev::SOperation Read = Operation(rlzev::EOperation::READ, a_pcRegister, a_pcSignal);
        Read.m_udwStart = a_udwStart;
        Read.m_udwCount = a_udwCount;
        return RunOperation(rDevice, Read, true, [&](const rlzev::SOutcome& rOutcome) {
            if (a_pudwTextCount != nullptr)
                *a_pudwTextCount = static_cast<uint32_t>(rOutcome.m_Texts.size());
            return PutText(&rDevice, JoinTexts(rOutcome.m_Texts), a_pcTexts, a_udwSize, a_pudwNeeded);
        });
    });
}

ZEV_API zev_status ZEV_CALL zev_service_write(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                              const char* a_pcValues, uint32_t a_udwStart)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr || a_pcValues == nullptr)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, "a name or the values are a null pointer");
        rlzev::SOperation Write = Operation(rlzev::EOperation::WRITE, a_pcRegister, a_pcSignal);
        Write.m_Values = SplitTexts(a_pcValues);
        Write.m_udwStart = a_udwStart;
        return RunOperation(rDevice, Write, true, NoAnswer);
    });
}

ZEV_API zev_status ZEV_CALL zev_value_by_string(zev_device* a_pDevice, const char* a_pcRegister,
                                                const char* a_pcSignal, char* a_pcTexts, uint32_t a_udwSize,
                                                uint32_t* a_pudwNeeded)
{
    return Hold(a_pDevice, [&](zev_device& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, kNullName);
        rlzev::SOperation Value = Operation(rlzev::EOperation::VALUE, a_pcRegister, a_pcSignal);
        return RunOperation(rDevice, Value, true, [&](const rlzev::SOutcome& rOutcome) {
            return PutText(&rDevice, JoinTexts(rOutcome.m_Texts), a_pcTexts, a_udwSize, a_pudwNeeded);
        });
    });
}

// ---- The catalogue ----

ZEV_API zev_status ZEV_CALL zev_register_count(const zev_device* a_pDevice, uint32_t* a_pudwCount)
{
    if (a_pudwCount == nullptr)
        return NullOut(a_pDevice);
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
        return rpRegister != nullptr ? ZEV_OK : Fail(&rDevice, ZEV_NOT_FOUND, UnknownNameText(rDevice, a_pcName, ""));
    });
}

ZEV_API zev_status ZEV_CALL zev_register_name(const zev_register* a_pRegister, char* a_pcText, uint32_t a_udwSize,
                                              uint32_t* a_pudwNeeded)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pRegister->m_pDevice, [&](zev_device& rDevice) {
        return PutText(&rDevice, a_pRegister->m_pEntry->m_strName, a_pcText, a_udwSize, a_pudwNeeded);
    });
}

ZEV_API zev_status ZEV_CALL zev_register_describe(const zev_register* a_pRegister, zev_register_info* a_pInfo)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_pInfo == nullptr)
        return NullOut(a_pRegister->m_pDevice);
    return Hold(a_pRegister->m_pDevice, [&](zev_device&) {
        const rlzev::SRegisterEntry& rEntry = *a_pRegister->m_pEntry;
        a_pInfo->address = rEntry.m_udwAddress;
        a_pInfo->width = rEntry.m_udwWidth;
        a_pInfo->words = rEntry.m_udwWords;
        a_pInfo->access = AccessOf(rEntry);
        a_pInfo->status = rEntry.m_bStatus ? 1u : 0u;
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
                        "no signal " + std::to_string(a_udwIndex) + ": " + a_pRegister->m_pEntry->m_strName + " has " +
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
        return rpSignal != nullptr
                   ? ZEV_OK
                   : Fail(&rDevice, ZEV_NOT_FOUND, UnknownNameText(rDevice, a_pRegister->m_pEntry->m_strName, a_pcName));
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
        return PutText(&rDevice, a_pSignal->m_pEntry->m_strName, a_pcText, a_udwSize, a_pudwNeeded);
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_describe(const zev_signal* a_pSignal, zev_signal_info* a_pInfo)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_pInfo == nullptr)
        return NullOut(a_pSignal->m_pDevice);
    return Hold(a_pSignal->m_pDevice, [&](zev_device&) {
        const rlzev::SSignalEntry& rEntry = *a_pSignal->m_pEntry;
        a_pInfo->low = rEntry.m_udwLow;
        a_pInfo->width = rEntry.m_udwWidth;
        a_pInfo->default_value = rEntry.m_udwDefault;
        a_pInfo->max_value = rEntry.m_udwMax;
        a_pInfo->enumerator_count = static_cast<uint32_t>(rEntry.m_Enumerators.size());
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_enumerator(const zev_signal* a_pSignal, uint32_t a_udwIndex, uint32_t* a_pudwValue,
                                                  char* a_pcName, uint32_t a_udwSize, uint32_t* a_pudwNeeded)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pSignal->m_pDevice, [&](zev_device& rDevice) {
        const std::vector<rlzev::SEnumeratorEntry>& rEnumerators = a_pSignal->m_pEntry->m_Enumerators;
        if (a_udwIndex >= rEnumerators.size())
            return Fail(&rDevice, ZEV_NOT_FOUND,
                        "no enumerator " + std::to_string(a_udwIndex) + ": " + a_pSignal->m_pEntry->m_strName +
                            " has " + std::to_string(rEnumerators.size()));
        if (a_pudwValue != nullptr)
            *a_pudwValue = rEnumerators[a_udwIndex].m_udwValue;
        return PutText(&rDevice, rEnumerators[a_udwIndex].m_strName, a_pcName, a_udwSize, a_pudwNeeded);
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_enumerator_value(const zev_signal* a_pSignal, const char* a_pcName,
                                                        uint32_t* a_pudwValue)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_pudwValue == nullptr)
        return NullOut(a_pSignal->m_pDevice);
    return Hold(a_pSignal->m_pDevice, [&](zev_device& rDevice) {
        if (a_pcName == nullptr)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, kNullName);
        for (const rlzev::SEnumeratorEntry& rEnumerator : a_pSignal->m_pEntry->m_Enumerators)
            if (rEnumerator.m_strName == a_pcName)
            {
                *a_pudwValue = rEnumerator.m_udwValue;
                return ZEV_OK;
            }
        return Fail(&rDevice, ZEV_NOT_FOUND, a_pSignal->m_pEntry->m_strName + " has no enumerator " + a_pcName);
    });
}

// ---- Typed access: the hot path ----

ZEV_API zev_status ZEV_CALL zev_signal_get(const zev_signal* a_pSignal, int32_t a_iReadHW, uint32_t* a_pudwValue)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_pudwValue == nullptr)
        return NullOut(a_pSignal->m_pDevice);
    return Hold(a_pSignal->m_pDevice, [&](zev_device& rDevice) {
        *a_pudwValue = a_pSignal->m_pSignal->Get(a_iReadHW != 0);
        return rDevice.m_udwNews == 0 ? ZEV_OK : Settle(rDevice, ZEV_OK, true);
    });
}

} // extern "C"

namespace
{
// A typed set's value beyond its field: refused with the runtime's own check and text,
// asked only now so that a set within the field pays nothing for it.
zev_status RefuseValue(zev_device& a_rDevice, const zev_signal& a_rSignal, uint32_t a_udwValue, unsigned a_udwMode)
{
    rlzev::SOperation Set =
        Operation(rlzev::EOperation::SET, a_rSignal.m_pRegister->m_pEntry->m_strName, a_rSignal.m_pEntry->m_strName);
    Set.m_Words.assign(1, a_udwValue);
    Set.m_udwMode = a_udwMode;
    rlzev::SBudget Budget;
    return Fail(&a_rDevice, ZEV_BAD_ARGUMENT, rlzev::CheckOperation(a_rDevice.Catalogue(), Set, true, Budget));
}
} // namespace

extern "C" {

ZEV_API zev_status ZEV_CALL zev_signal_set(zev_signal* a_pSignal, uint32_t a_udwValue, int32_t a_iMode,
                                           int32_t* a_piWritten)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_piWritten != nullptr)
        *a_piWritten = 0;
    const CSignalBase::ESignalHwWrite eMode =
        a_iMode == ZEV_WRITE_IMMEDIATE    ? CSignalBase::HW_WRITE_IMMEDIATE
        : a_iMode == ZEV_WRITE_IF_CHANGED ? CSignalBase::HW_WRITE_IF_CHANGED
                                          : CSignalBase::HW_WRITE_DEFERRED;
    return Hold(a_pSignal->m_pDevice, [&](zev_device& rDevice) {
        // A mode there is not, or a value beyond the field: the runtime's refusal, as at every door.
        if (a_udwValue > a_pSignal->m_udwMax || a_iMode < ZEV_WRITE_IMMEDIATE || a_iMode > ZEV_WRITE_IF_CHANGED)
            return RefuseValue(rDevice, *a_pSignal, a_udwValue, static_cast<unsigned>(a_iMode));
        const bool bWritten = a_pSignal->m_pSignal->Set(a_udwValue, eMode);
        // A write refused for its direction was not written; one whose log line the host
        // failed to take was, and the caller must know it went out.
        if (a_piWritten != nullptr)
            *a_piWritten = bWritten && (rDevice.m_udwNews & kReported) == 0 ? 1 : 0;
        return rDevice.m_udwNews != 0 ? Settle(rDevice, ZEV_OK, true) : ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_signal_lock_state(const zev_signal* a_pSignal, uint32_t* a_pudwState)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_pudwState == nullptr)
        return NullOut(a_pSignal->m_pDevice);
    return Hold(a_pSignal->m_pDevice, [&](zev_device&) {
        *a_pudwState = a_pSignal->m_pSignal->GetLockState();
        return ZEV_OK;
    });
}

} // extern "C"

namespace
{
// A call on one register's words: a_pudwWords must hold a_udwCount words.
template <class TBody>
zev_status OnWords(zev_register* a_pRegister, uint32_t a_udwCount, const uint32_t* a_pudwWords, TBody&& a_Body)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Hold(a_pRegister->m_pDevice, [&](zev_device& rDevice) {
        if (a_pudwWords == nullptr && a_udwCount > 0)
            return Fail(&rDevice, ZEV_BAD_ARGUMENT, "the words are a null pointer");
        return a_Body(rDevice, a_pRegister->m_pEntry->m_strName);
    });
}

// The words a block operation answered, into the caller's buffer.
zev_status CopyWords(const rlzev::SOutcome& a_rOutcome, uint32_t a_udwCount, uint32_t* a_pudwWords)
{
    std::copy_n(a_rOutcome.m_Words.begin(), std::min<std::size_t>(a_udwCount, a_rOutcome.m_Words.size()), a_pudwWords);
    return ZEV_OK;
}
} // namespace

extern "C" {

// ---- Whole registers and memories ----

ZEV_API zev_status ZEV_CALL zev_register_read(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                              uint32_t* a_pudwWords)
{
    return OnWords(a_pRegister, a_udwCount, a_pudwWords, [&](zev_device& rDevice, const std::string& rName) {
        rlzev::SOperation Words = Operation(rlzev::EOperation::WORDS, rName);
        Words.m_udwStart = a_udwStart;
        Words.m_udwCount = a_udwCount;
        return RunOperation(rDevice, Words, true,
                            [&](const rlzev::SOutcome& rOutcome) { return CopyWords(rOutcome, a_udwCount, a_pudwWords); });
    });
}

ZEV_API zev_status ZEV_CALL zev_register_write(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                               const uint32_t* a_pudwWords)
{
    return OnWords(a_pRegister, a_udwCount, a_pudwWords, [&](zev_device& rDevice, const std::string& rName) {
        rlzev::SOperation Write = Operation(rlzev::EOperation::WRITE_WORDS, rName);
        Write.m_Words.assign(a_pudwWords, a_pudwWords + a_udwCount);
        Write.m_udwStart = a_udwStart;
        return RunOperation(rDevice, Write, true, NoAnswer);
    });
}

ZEV_API zev_status ZEV_CALL zev_register_set_to_default(zev_register* a_pRegister, int32_t* a_piWritten)
{
    if (a_piWritten != nullptr)
        *a_piWritten = 0;
    return OnWords(a_pRegister, 0, nullptr, [&](zev_device& rDevice, const std::string& rName) {
        rlzev::SOperation Defaults = Operation(rlzev::EOperation::REGISTER_DEFAULTS, rName);
        zev_status iStatus = RunOperation(rDevice, Defaults, true, [&](const rlzev::SOutcome& rOutcome) {
            if (a_piWritten != nullptr)
                *a_piWritten = rOutcome.m_bResult ? 1 : 0;
            return ZEV_OK;
        });
        if (iStatus != ZEV_OK && a_piWritten != nullptr)
            *a_piWritten = 0;  // a refused write was not written
        return iStatus;
    });
}

ZEV_API zev_status ZEV_CALL zev_register_lock_state(const zev_register* a_pRegister, uint32_t* a_pudwState)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_pudwState == nullptr)
        return NullOut(a_pRegister->m_pDevice);
    return Hold(a_pRegister->m_pDevice, [&](zev_device&) {
        *a_pudwState = a_pRegister->m_pRegister->GetLockState();
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_memory_get(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                           int32_t a_iReadHW, uint32_t* a_pudwWords, int32_t* a_piRead)
{
    return OnWords(a_pRegister, a_udwCount, a_pudwWords, [&](zev_device& rDevice, const std::string& rName) {
        rlzev::SOperation Get = Operation(rlzev::EOperation::GET_BLOCK, rName);
        Get.m_udwStart = a_udwStart;
        Get.m_udwCount = a_udwCount;
        Get.m_bReadHw = a_iReadHW != 0;
        return RunOperation(rDevice, Get, true, [&](const rlzev::SOutcome& rOutcome) {
            // The memory answers false both when it refuses (and reports why, which refuses
            // the call) and when it only handed over its words.
            if (a_piRead != nullptr)
                *a_piRead = rOutcome.m_bResult ? 1 : 0;
            return CopyWords(rOutcome, a_udwCount, a_pudwWords);
        });
    });
}

ZEV_API zev_status ZEV_CALL zev_memory_set(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                           const uint32_t* a_pudwWords, int32_t* a_piWritten)
{
    return OnWords(a_pRegister, a_udwCount, a_pudwWords, [&](zev_device& rDevice, const std::string& rName) {
        rlzev::SOperation Set = Operation(rlzev::EOperation::SET_BLOCK, rName);
        Set.m_Words.assign(a_pudwWords, a_pudwWords + a_udwCount);
        Set.m_udwStart = a_udwStart;
        return RunOperation(rDevice, Set, true, [&](const rlzev::SOutcome& rOutcome) {
            if (a_piWritten != nullptr)
                *a_piWritten = rOutcome.m_bResult ? 1 : 0;
            return ZEV_OK;
        });
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
        return NullOut(a_pDevice);
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
