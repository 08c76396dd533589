#include "DeviceRuntime.h"
#include "TransferRuns.h"

#include "Operations.h"

#include "FieldSignal.h"
#include "HWDeviceBase.h"
#include "RamRegister.h"
#include "ReportRouter.h"
#include "SequentialRead_ParallelWrite.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <unordered_map>

namespace rlzev
{
namespace
{
} // namespace

// The decorators the device is made on: they forward every call to the host's objects and
// tell the current call's record and the observer what happened.
struct CDeviceRuntime::SHooks
{
    struct CBus : CHWAccess
    {
        CBus(CHWAccess& a_rInner, SHooks& a_rHooks) : m_rInner(a_rInner), m_rHooks(a_rHooks) {}
        void Tell(char a_cKind, unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount)
        {
            if (m_rHooks.Tracing())
                m_rHooks.Record(TransferText(a_cKind, a_udwAddress, a_udwpData, a_udwByteCount));
            if (m_rHooks.Listening())
                m_rHooks.m_Runs.Transfer(a_cKind, a_udwAddress, a_udwpData, a_udwByteCount);
            else if (m_rHooks.m_Runs.Holds())
                m_rHooks.m_Runs.Forget();
        }
        // Once the host has done a transfer, telling it may still throw (an observer or the
        // trace out of memory): the call then fails as for a fault, and the register the
        // transfer was for is not trusted, though the host was not at fault.
        void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
        {
            Bump(m_rHooks.m_uTransfers);
            bool bDone = false;
            try
            {
                m_rInner.Write(a_udwAddress, a_udwpData, a_udwByteCount);
                bDone = true;
                Tell('W', a_udwAddress, a_udwpData, a_udwByteCount);
            }
            catch (...)
            {
                m_rHooks.Faulted(a_udwAddress, !bDone);
                throw;
            }
        }
        void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
        {
            Bump(m_rHooks.m_uTransfers);
            bool bDone = false;
            try
            {
                m_rInner.Read(a_udwAddress, a_udwpData, a_udwByteCount);
                bDone = true;
                Tell('R', a_udwAddress, a_udwpData, a_udwByteCount);
            }
            catch (...)
            {
                m_rHooks.Faulted(a_udwAddress, !bDone);
                if (!bDone && m_rHooks.WantsText())
                {
                    char acText[48];
                    std::snprintf(acText, sizeof acText, "bus: R 0x%05X %u -> fault", a_udwAddress, a_udwByteCount);
                    m_rHooks.Text(SDeviceEvent::TRANSFER, acText);
                }
                throw;
            }
        }
        // Only the read-back path waits: a wait that throws leaves its word made up. (No
        // transfer, so no transfer's fault is counted.)
        void Wait(unsigned a_udwDuration) override
        {
            try
            {
                m_rInner.Wait(a_udwDuration);
                if (m_rHooks.Tracing())
                    m_rHooks.Record("bus: wait " + std::to_string(a_udwDuration));
                if (m_rHooks.Listening())
                    m_rHooks.m_Runs.Wait(a_udwDuration);
                else if (m_rHooks.m_Runs.Holds())
                    m_rHooks.m_Runs.Forget();
            }
            catch (...)
            {
                m_rHooks.Faulted(CSequentialRead_ParallelWrite::ReadBackStatusAddress(), false);
                throw;
            }
        }
        CHWAccess& m_rInner;
        SHooks& m_rHooks;
    };

    struct CUtility : CUtility_Interface
    {
        CUtility(CUtility_Interface& a_rInner, SHooks& a_rHooks) : m_rInner(a_rInner), m_rHooks(a_rHooks) {}
        // The host hears a report also when telling it throws (an observer out of room).
        template <class THost>
        void Reported(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage, bool a_bDenied,
                      THost a_Host)
        {
            try
            {
                m_rHooks.Report(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, a_bDenied);
            }
            catch (...)
            {
                a_Host();
                throw;
            }
            a_Host();
        }
        void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
        {
            Reported(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, false,
                     [&] { m_rInner.ReportError(a_pcFile, a_iLine, a_pcFunction, a_pcMessage); });
        }
        // Asked by the read-back path, which takes a throw for a word it never got. (A host
        // asking the library's holder during a call comes here too: more writes go out then.)
        bool StopWaiting() override
        {
            try
            {
                return m_rInner.StopWaiting();
            }
            catch (...)
            {
                m_rHooks.Faulted(CSequentialRead_ParallelWrite::ReadBackStatusAddress(), false);
                throw;
            }
        }
        void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                                const char* a_pcMessage) override
        {
            Reported(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, true,
                     [&] { m_rInner.ReportAccessDenied(a_pcFile, a_iLine, a_pcFunction, a_pcMessage); });
        }
        CUtility_Interface& m_rInner;
        SHooks& m_rHooks;
    };

    // Change-log text arrives in pieces; a line is an event once it is complete.
    struct CLines : std::streambuf
    {
        explicit CLines(SHooks& a_rHooks) : m_rHooks(a_rHooks) { m_strLine.reserve(4096); }  // no allocation per character
        int_type overflow(int_type a_iChar) override
        {
            if (traits_type::eq_int_type(a_iChar, traits_type::eof()))
                return traits_type::not_eof(a_iChar);
            const char c = traits_type::to_char_type(a_iChar);
            if (c == '\n')
            {
                // A throw here would set the stream's bad bit and end the change log for good.
                try
                {
                    if (m_rHooks.WantsText())
                        m_rHooks.Text(SDeviceEvent::LOG, m_strLine);
                }
                catch (...)
                {
                    // the observers lose this line, not the lines after it
                }
                m_strLine.clear();
            }
            else if (m_strLine.size() < 4096)  // a runaway line is cut, not kept without bound
            {
                m_strLine += c;
            }
            return a_iChar;
        }
        std::streamsize xsputn(const char* a_pcText, std::streamsize a_iCount) override
        {
            for (std::streamsize i = 0; i < a_iCount; ++i)
                overflow(traits_type::to_int_type(a_pcText[i]));
            return a_iCount;
        }
        SHooks& m_rHooks;
        std::string m_strLine;
    };

    SHooks(CHWAccess& a_rBus, CUtility_Interface& a_rUtility)
        : m_Bus(a_rBus, *this), m_Utility(a_rUtility, *this), m_Lines(*this), m_EventLog(&m_Lines),
          m_Runs(CSequentialRead_ParallelWrite::ReadBackStatusAddress(), CSequentialRead_ParallelWrite::ReadBackDataAddress(),
                 [this](const SDeviceEvent& a_rEvent) { Observe(a_rEvent); })
    {
        m_Bus.m_pUtility = &m_Utility;
    }

    // A transfer the host did not finish, or one whose telling threw after it: the image of
    // its register no longer tells what the hardware holds. Marked now and again as the
    // call ends, after whatever the library put back while the exception passed (until then
    // a register put back is trusted as the library left it). A fault at the read-back
    // path's own addresses makes up the image of the register being read, which those
    // transfers do not name: every register is marked, once. The library puts back only
    // images from before such a fault, and a write it sends after one is its last step,
    // whose every throw passes here with its own address. Never throws: the list has room
    // for every register, each once.
    void Faulted(unsigned a_udwAddress, bool a_bByTheHost) noexcept
    {
        if (a_bByTheHost)
        {
            Bump(m_uFaults);
            if (m_pRecord != nullptr)
                ++m_pRecord->m_uBusFaults;
        }
        if (a_udwAddress == CSequentialRead_ParallelWrite::ReadBackStatusAddress() ||
            a_udwAddress == CSequentialRead_ParallelWrite::ReadBackDataAddress())
        {
            for (const SSpan& rSpan : m_ByAddress)
                rSpan.m_pRegister->ForgetHwImage();
            return;
        }
        const auto It = std::upper_bound(m_ByAddress.begin(), m_ByAddress.end(), a_udwAddress,
                                         [](unsigned a_udwWanted, const SSpan& a_rSpan) { return a_udwWanted < a_rSpan.m_udwFirst; });
        if (It == m_ByAddress.begin())
            return;
        const SSpan& rSpan = *(It - 1);
        if (a_udwAddress - rSpan.m_udwFirst >= rSpan.m_udwWords)
            return;
        rSpan.m_pRegister->ForgetHwImage();
        if (std::find(m_Faulted.begin(), m_Faulted.end(), rSpan.m_pRegister) == m_Faulted.end())
            m_Faulted.push_back(rSpan.m_pRegister);
    }
    void ForgetFaulted() noexcept
    {
        for (CRegisterBase* pRegister : m_Faulted)
            pRegister->ForgetHwImage();
        m_Faulted.clear();
    }

    bool Listening() const
    {
        for (const CDeviceObserver* pObserver : m_Observers)
            if (pObserver->IsListening())
                return true;
        return false;
    }
    bool Tracing() const { return m_pRecord != nullptr && m_bTrace; }
    bool WantsText() const { return Tracing() || Listening(); }
    // A transfer for the call's trace; the observers have it through m_Runs.
    void Record(std::string a_strText)
    {
        SDeviceEvent Event;
        Event.m_strText = std::move(a_strText);
        m_pRecord->m_Events.push_back(std::move(Event));
    }
    void Text(SDeviceEvent::EKind a_eKind, std::string a_strText)
    {
        SDeviceEvent Event;
        Event.m_eKind = a_eKind;
        Event.m_strText = std::move(a_strText);
        Tell(Event);
    }
    void Report(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage, bool a_bDenied)
    {
        Bump(m_uReports);
        SDeviceEvent Event;
        Event.m_eKind = SDeviceEvent::REPORT;
        Event.m_Report = {Text(a_pcFile), a_iLine, Text(a_pcFunction), Text(a_pcMessage), a_bDenied};
        if (m_pRecord != nullptr)
            m_pRecord->m_Reports.push_back(Event.m_Report);
        Tell(Event);
    }
    // The record first: an observer that throws does not cost the caller its trace.
    void Tell(const SDeviceEvent& a_rEvent)
    {
        if (Tracing())
            m_pRecord->m_Events.push_back(a_rEvent);
        if (Listening())
        {
            m_Runs.Flush();  // the transfers before it first
            Observe(a_rEvent);
        }
    }
    void Observe(const SDeviceEvent& a_rEvent)
    {
        for (CDeviceObserver* pObserver : m_Observers)
            if (pObserver->IsListening())
                pObserver->OnEvent(a_rEvent);
    }
    static std::string Text(const char* a_pcText) { return a_pcText == nullptr ? std::string() : std::string(a_pcText); }
    // Only a call holding the device counts, so no read-modify-write is needed; a monitor
    // on another thread reads whole values.
    static void Bump(std::atomic<unsigned long long>& a_ruCount)
    {
        a_ruCount.store(a_ruCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    CBus m_Bus;
    CUtility m_Utility;
    CLines m_Lines;
    std::ostream m_EventLog;
    CTransferRuns m_Runs;  // the transfers as the observers are told them
    std::atomic<unsigned long long> m_uTransfers{0}, m_uReports{0}, m_uFaults{0}, m_uCalls{0};
    SCallRecord* m_pRecord = nullptr;
    bool m_bTrace = false;  // set by each call
    std::vector<CDeviceObserver*> m_Observers;
    std::unordered_map<std::string, SRegisterObjects> m_Registers;
    struct SSpan
    {
        unsigned m_udwFirst;
        unsigned m_udwWords;
        CRegisterBase* m_pRegister;
    };
    std::vector<SSpan> m_ByAddress;  // by first address
    std::vector<CRegisterBase*> m_Faulted;
};

CDeviceRuntime::CCall*& CDeviceRuntime::CurrentCall()
{
    thread_local CCall* t_pCall = nullptr;
    return t_pCall;
}

CDeviceRuntime::CCall::CCall(CDeviceRuntime& a_rRuntime, SCallRecord* a_pRecord, bool a_bTrace)
    : m_rRuntime(a_rRuntime), m_pOuter(CurrentCall())
{
    // The whole chain of calls on this thread, not only the innermost: X's host calling Y
    // whose host calls X would wait for itself.
    for (const CCall* pCall = m_pOuter; pCall != nullptr; pCall = pCall->m_pOuter)
        if (&pCall->m_rRuntime == &a_rRuntime)
            throw std::logic_error("the device was called from inside its own call (a host object calling its device)");
    // The gate before the device: a thread holding a device while it waits at the gate
    // for a maker, who waits for a call that waits for that device, would stop all three.
    CLibraryGate::Instance().EnterShared();
    try
    {
        m_Lock = std::unique_lock<std::mutex>(a_rRuntime.m_Mutex);
    }
    catch (...)
    {
        CLibraryGate::Instance().LeaveShared();
        throw;
    }
    CReportRouter::Instance().Offer();
    SHooks& rHooks = *a_rRuntime.m_pHooks;
    SHooks::Bump(rHooks.m_uCalls);
    rHooks.m_pRecord = a_pRecord;
    rHooks.m_bTrace = a_bTrace;
    CurrentCall() = this;
    m_pOuterRoute = ExchangeRoute(&rHooks.m_Utility);
}

CDeviceRuntime::CCall::~CCall()
{
    ExchangeRoute(m_pOuterRoute);
    CurrentCall() = m_pOuter;
    // No event outside a call may reach this call's record (a change-log line written to
    // the event log meanwhile, say).
    m_rRuntime.m_pHooks->m_pRecord = nullptr;
    m_rRuntime.m_pHooks->ForgetFaulted();
    try
    {
        m_rRuntime.m_pHooks->m_Runs.Flush();  // the call's last run, before the next caller's transfers
    }
    catch (...)
    {
        // An observer that cannot take it (out of memory) loses it: the call itself is done,
        // and nothing of it is held over to the next.
        m_rRuntime.m_pHooks->m_Runs.Forget();
    }
    m_Lock.unlock();
    CLibraryGate::Instance().LeaveShared();
}

namespace
{
// Making or destroying a device: alone in the library, and the router back in the holder
// after, whatever the device's constructor or destructor did to it (or threw).
struct SAlone
{
    SAlone() { CLibraryGate::Instance().EnterAlone(); }
    ~SAlone()
    {
        CReportRouter::Instance().Install();
        CLibraryGate::Instance().LeaveAlone();
    }
    SAlone(const SAlone&) = delete;
    SAlone& operator=(const SAlone&) = delete;
};
} // namespace

CDeviceRuntime::CDeviceRuntime(CHWAccess& a_rBus, CUtility_Interface& a_rUtility, CIStatusRegister& a_rStatus)
    : m_pHooks(new SHooks(a_rBus, a_rUtility))
{
    {
        const SAlone Alone;
        m_pDevice = MakeDevice(m_pHooks->m_Bus, CReportRouter::Instance(), a_rStatus);
    }
    m_pCatalogue.reset(new CCatalogue(BaseOf(*m_pDevice)));
    for (CRegisterBase* pRegister : BaseOf(*m_pDevice).GetRegisters())
    {
        SRegisterObjects& rEntry = m_pHooks->m_Registers[pRegister->GetName()];
        rEntry.m_pRegister = pRegister;
        rEntry.m_pEntry = m_pCatalogue->Find(pRegister->GetName());
        rEntry.m_pParallelRam = dynamic_cast<CRamRegister<CParallelRead_ParallelWrite>*>(pRegister);
        rEntry.m_pSequentialRam = dynamic_cast<CRamRegister<CSequentialRead_ParallelWrite>*>(pRegister);
        m_pHooks->m_ByAddress.push_back({rEntry.m_pEntry->m_udwAddress, rEntry.m_pEntry->m_udwWords, pRegister});
    }
    std::sort(m_pHooks->m_ByAddress.begin(), m_pHooks->m_ByAddress.end(),
              [](const SHooks::SSpan& a_rLeft, const SHooks::SSpan& a_rRight) { return a_rLeft.m_udwFirst < a_rRight.m_udwFirst; });
    m_pHooks->m_Faulted.reserve(m_pHooks->m_ByAddress.size());
}

CDeviceRuntime::~CDeviceRuntime()
{
    // Alone first: every call anywhere has ended then, this device's too, and a call of
    // another device whose host calls this one never waits for a destroyer that waits for it.
    const SAlone Alone;
    std::lock_guard<std::mutex> Lock(m_Mutex);
    DropDevice(m_pDevice);
}

SRuntimeCounts CDeviceRuntime::Counts() const
{
    const SHooks& rHooks = *m_pHooks;
    SRuntimeCounts Counts;
    Counts.m_uTransfers = rHooks.m_uTransfers.load(std::memory_order_relaxed);
    Counts.m_uReports = rHooks.m_uReports.load(std::memory_order_relaxed);
    Counts.m_uFaults = rHooks.m_uFaults.load(std::memory_order_relaxed);
    Counts.m_uCalls = rHooks.m_uCalls.load(std::memory_order_relaxed);
    return Counts;
}

void CDeviceRuntime::AddObserver(CDeviceObserver& a_rObserver)
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    m_pHooks->m_Observers.push_back(&a_rObserver);
}

void CDeviceRuntime::RemoveObserver(CDeviceObserver& a_rObserver)
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    auto& rList = m_pHooks->m_Observers;
    rList.erase(std::remove(rList.begin(), rList.end(), &a_rObserver), rList.end());
}

std::ostream& CDeviceRuntime::EventLog()
{
    return m_pHooks->m_EventLog;
}

bool CDeviceRuntime::IsInsideCall()
{
    return CurrentCall() != nullptr;
}

std::vector<SOutcome> CDeviceRuntime::RunBatch(const std::vector<SOperation>& a_rOperations,
                                               const SBatchOptions& a_rOptions)
{
    std::vector<SOutcome> Outcomes(a_rOperations.size());
    CCall Call(*this, nullptr, a_rOptions.m_bTrace);
    for (std::size_t i = 0; i < a_rOperations.size(); ++i)
    {
        SOutcome& rOutcome = Outcomes[i];
        m_pHooks->m_pRecord = &rOutcome.m_Record;
        rOutcome.m_eStatus = SOutcome::DONE;
        try
        {
            RunOne(a_rOperations[i], a_rOptions, rOutcome);
        }
        catch (const std::exception& e)
        {
            rOutcome.m_eStatus = SOutcome::FAULT;
            rOutcome.m_strError = std::string("host fault: ") + e.what();
        }
        catch (...)
        {
            rOutcome.m_eStatus = SOutcome::FAULT;
            rOutcome.m_strError = "host fault: unknown exception";
        }
        if (rOutcome.m_eStatus == SOutcome::FAULT)
            break;
    }
    if (a_rOptions.m_OnDone)
        a_rOptions.m_OnDone(a_rOperations, Outcomes);
    return Outcomes;
}

SOutcome CDeviceRuntime::RunHeld(const SOperation& a_rOperation, bool a_bKeepApplication)
{
    if (CurrentCall() == nullptr || &CurrentCall()->m_rRuntime != this)
        throw std::logic_error("an operation of the device was run outside a call of the device");
    SOutcome Outcome;
    Outcome.m_eStatus = SOutcome::DONE;
    SBatchOptions Options;
    Options.m_bKeepApplication = a_bKeepApplication;
    RunOne(a_rOperation, Options, Outcome);
    return Outcome;
}

void CDeviceRuntime::RunOne(const SOperation& a_rOperation, const SBatchOptions& a_rOptions, SOutcome& a_rOutcome)
{
    const auto It = m_pHooks->m_Registers.find(a_rOperation.m_strRegister);
    const SRunContext Context{BaseOf(*m_pDevice), *m_pCatalogue,
                              It == m_pHooks->m_Registers.end() ? nullptr : &It->second, m_pHooks->m_EventLog,
                              a_rOptions.m_bKeepApplication};
    RowOf(a_rOperation.m_eOperation).m_pRun(Context, a_rOperation, a_rOutcome);
}
} // namespace rlzev
