#include "DeviceRuntime.h"

#include "FieldSignal.h"
#include "HWDeviceBase.h"
#include "RamRegister.h"
#include "ReportRouter.h"

#include <algorithm>
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
thread_local CDeviceRuntime* t_pCurrent = nullptr;

const unsigned kTracedWords = 8;  // a memory transfer is shown by its first words

// The simulator's own trace text, so that a trace reads alike in-process and over the network.
std::string TransferText(char a_cKind, unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount)
{
    char acPart[40];
    std::snprintf(acPart, sizeof acPart, "bus: %c 0x%05X %u%s", a_cKind, a_udwAddress, a_udwByteCount,
                  a_cKind == 'R' ? " ->" : "");
    std::string strText = acPart;
    const unsigned udwWords = (a_udwByteCount + 3) / 4;
    for (unsigned i = 0; i < udwWords && i < kTracedWords; ++i)
    {
        std::snprintf(acPart, sizeof acPart, " 0x%08X", a_udwpData[i]);
        strText += acPart;
    }
    if (udwWords > kTracedWords)
        strText += " ... (" + std::to_string(udwWords) + " words)";
    return strText;
}

bool MeansAll(const std::string& a_strName)
{
    return a_strName == "ALL" || a_strName == "all";
}

std::string HexText(unsigned a_udwWord)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "%08X/h", a_udwWord);
    return acText;
}
} // namespace

// The decorators the device is made on: they forward every call to the host's objects and
// tell the current call's record and the observer what happened.
struct CDeviceRuntime::SHooks
{
    struct CBus : CHWAccess
    {
        CBus(CHWAccess& a_rInner, SHooks& a_rHooks) : m_rInner(a_rInner), m_rHooks(a_rHooks) {}
        void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
        {
            m_rInner.Write(a_udwAddress, a_udwpData, a_udwByteCount);
            if (m_rHooks.WantsText())
                m_rHooks.Text(SDeviceEvent::TRANSFER, TransferText('W', a_udwAddress, a_udwpData, a_udwByteCount));
        }
        void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
        {
            try
            {
                m_rInner.Read(a_udwAddress, a_udwpData, a_udwByteCount);
            }
            catch (...)
            {
                if (m_rHooks.WantsText())
                {
                    char acText[48];
                    std::snprintf(acText, sizeof acText, "bus: R 0x%05X %u -> fault", a_udwAddress, a_udwByteCount);
                    m_rHooks.Text(SDeviceEvent::TRANSFER, acText);
                }
                throw;
            }
            if (m_rHooks.WantsText())
                m_rHooks.Text(SDeviceEvent::TRANSFER, TransferText('R', a_udwAddress, a_udwpData, a_udwByteCount));
        }
        void Wait(unsigned a_udwDuration) override
        {
            m_rInner.Wait(a_udwDuration);
            if (m_rHooks.WantsText())
                m_rHooks.Text(SDeviceEvent::TRANSFER, "bus: wait " + std::to_string(a_udwDuration));
        }
        CHWAccess& m_rInner;
        SHooks& m_rHooks;
    };

    struct CUtility : CUtility_Interface
    {
        CUtility(CUtility_Interface& a_rInner, SHooks& a_rHooks) : m_rInner(a_rInner), m_rHooks(a_rHooks) {}
        void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
        {
            m_rHooks.Report(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, false);
            m_rInner.ReportError(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
        }
        bool StopWaiting() override { return m_rInner.StopWaiting(); }
        void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                                const char* a_pcMessage) override
        {
            m_rHooks.Report(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, true);
            m_rInner.ReportAccessDenied(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
        }
        CUtility_Interface& m_rInner;
        SHooks& m_rHooks;
    };

    // Change-log text arrives in pieces; a line is an event once it is complete.
    struct CLines : std::streambuf
    {
        explicit CLines(SHooks& a_rHooks) : m_rHooks(a_rHooks) {}
        int_type overflow(int_type a_iChar) override
        {
            if (traits_type::eq_int_type(a_iChar, traits_type::eof()))
                return traits_type::not_eof(a_iChar);
            const char c = traits_type::to_char_type(a_iChar);
            if (c == '\n')
            {
                if (m_rHooks.WantsText())
                    m_rHooks.Text(SDeviceEvent::LOG, m_strLine);
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

    // A register found by name, and its typed block access when it is a memory.
    struct SEntry
    {
        CRegisterBase* m_pRegister = nullptr;
        CRamRegister<CParallelRead_ParallelWrite>* m_pParallelRam = nullptr;
        CRamRegister<CSequentialRead_ParallelWrite>* m_pSequentialRam = nullptr;
    };

    SHooks(CHWAccess& a_rBus, CUtility_Interface& a_rUtility)
        : m_Bus(a_rBus, *this), m_Utility(a_rUtility, *this), m_Lines(*this), m_EventLog(&m_Lines)
    {
        m_Bus.m_pUtility = &m_Utility;
    }

    bool Listening() const
    {
        for (const CDeviceObserver* pObserver : m_Observers)
            if (pObserver->IsListening())
                return true;
        return false;
    }
    bool WantsText() const { return (m_pRecord != nullptr && m_bTrace) || Listening(); }
    void Text(SDeviceEvent::EKind a_eKind, std::string a_strText)
    {
        SDeviceEvent Event;
        Event.m_eKind = a_eKind;
        Event.m_strText = std::move(a_strText);
        Tell(std::move(Event));
    }
    void Report(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage, bool a_bDenied)
    {
        SDeviceEvent Event;
        Event.m_eKind = SDeviceEvent::REPORT;
        Event.m_Report = {Text(a_pcFile), a_iLine, Text(a_pcFunction), Text(a_pcMessage), a_bDenied};
        if (m_pRecord != nullptr)
            m_pRecord->m_Reports.push_back(Event.m_Report);
        Tell(std::move(Event));
    }
    void Tell(SDeviceEvent a_Event)
    {
        for (CDeviceObserver* pObserver : m_Observers)
            if (pObserver->IsListening())
                pObserver->OnEvent(a_Event);
        if (m_pRecord != nullptr && m_bTrace)
            m_pRecord->m_Events.push_back(std::move(a_Event));
    }
    static std::string Text(const char* a_pcText) { return a_pcText == nullptr ? std::string() : std::string(a_pcText); }

    CBus m_Bus;
    CUtility m_Utility;
    CLines m_Lines;
    std::ostream m_EventLog;
    SCallRecord* m_pRecord = nullptr;
    bool m_bTrace = false;  // set by each call
    std::vector<CDeviceObserver*> m_Observers;
    std::unordered_map<std::string, SEntry> m_Registers;
};

CDeviceRuntime::CCall::CCall(CDeviceRuntime& a_rRuntime, SCallRecord* a_pRecord, bool a_bTrace)
    : m_rRuntime(a_rRuntime), m_pOuter(t_pCurrent)
{
    if (t_pCurrent == &a_rRuntime)
        throw std::logic_error("the device was called from inside its own call (a host object calling its device)");
    m_Lock = std::unique_lock<std::mutex>(a_rRuntime.m_Mutex);
    CLibraryGate::Instance().EnterShared();
    CReportRouter::Instance().Offer();
    SHooks& rHooks = *a_rRuntime.m_pHooks;
    rHooks.m_pRecord = a_pRecord;
    rHooks.m_bTrace = a_bTrace;
    t_pCurrent = &a_rRuntime;
    m_pOuterRoute = ExchangeRoute(&rHooks.m_Utility);
}

CDeviceRuntime::CCall::~CCall()
{
    ExchangeRoute(m_pOuterRoute);
    t_pCurrent = m_pOuter;
    // No event outside a call may reach this call's record (a change-log line written to
    // the event log meanwhile, say).
    m_rRuntime.m_pHooks->m_pRecord = nullptr;
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
    for (CRegisterBase* pRegister : BaseOf(*m_pDevice).GetRegisters())
    {
        SHooks::SEntry& rEntry = m_pHooks->m_Registers[pRegister->GetName()];
        rEntry.m_pRegister = pRegister;
        rEntry.m_pParallelRam = dynamic_cast<CRamRegister<CParallelRead_ParallelWrite>*>(pRegister);
        rEntry.m_pSequentialRam = dynamic_cast<CRamRegister<CSequentialRead_ParallelWrite>*>(pRegister);
    }
}

CDeviceRuntime::~CDeviceRuntime()
{
    // A call still running on another thread finishes first.
    std::lock_guard<std::mutex> Lock(m_Mutex);
    const SAlone Alone;
    DropDevice(m_pDevice);
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
    return t_pCurrent != nullptr;
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

void CDeviceRuntime::RunOne(const SOperation& a_rOperation, const SBatchOptions& a_rOptions, SOutcome& a_rOutcome)
{
    SOutcome& Outcome = a_rOutcome;
    CHWDeviceBase& rDevice = BaseOf(*m_pDevice);
    const std::string& strRegister = a_rOperation.m_strRegister;
    const std::string& strSignal = a_rOperation.m_strSignal;
    const auto It = m_pHooks->m_Registers.find(strRegister);
    const SHooks::SEntry* pEntry = It == m_pHooks->m_Registers.end() ? nullptr : &It->second;
    auto Refuse = [&Outcome](const std::string& a_strError) {
        Outcome.m_eStatus = SOutcome::REFUSED;
        Outcome.m_strError = a_strError;
    };
    auto HasSignal = [](const CRegisterBase& a_rRegister, const std::string& a_strName) {
        for (const CSignalBase* pSignal : a_rRegister.GetSignals())
            if (pSignal->GetName() == a_strName)
                return true;
        return false;
    };
    // A register's words as the service sees them, without a transfer of the rest of a
    // memory and without handing them to the application.
    auto ReadWords = [&](const SHooks::SEntry& a_rEntry) {
        CRegisterBase& rRegister = *a_rEntry.m_pRegister;
        const CRegisterBase::CServiceAccess View(rRegister);
        if (a_rEntry.m_pParallelRam == nullptr && a_rEntry.m_pSequentialRam == nullptr)
        {
            if (a_rOperation.m_udwStart != 0 || a_rOperation.m_udwCount != 1)
                return Refuse(strRegister + " is a one-word register: word 0 only");
            // A signal's service read reads the register and leaves the application's word.
            std::list<std::string> Ignored;
            std::string strIgnored;
            rRegister.GetSignals().front()->ServiceRead(Ignored, strIgnored);
            Outcome.m_Words.assign(1, rRegister.GetHwImage()[0]);
            return;
        }
        std::vector<unsigned> Block(a_rOperation.m_udwCount + 1);  // the library refuses a null buffer
        const unsigned udwStart = a_rOperation.m_udwStart, udwCount = a_rOperation.m_udwCount;
        const bool bRead = a_rEntry.m_pParallelRam != nullptr
                               ? a_rEntry.m_pParallelRam->Get(Block.data(), udwStart, udwCount, true)
                               : a_rEntry.m_pSequentialRam->Get(Block.data(), udwStart, udwCount, true);
        if (!bRead)
            return Refuse(", memory error, RAM frontiers have been hurt.");
        const unsigned* pudwImage = rRegister.GetHwImage() + udwStart;
        Outcome.m_Words.assign(pudwImage, pudwImage + udwCount);
    };

    std::string strError;
    switch (a_rOperation.m_eOperation)
    {
    case EOperation::READ:
    {
        std::list<std::string> Texts;
        const bool bWholeWord = strSignal.empty() && pEntry != nullptr && pEntry->m_pRegister->GetWordCount() == 1;
        if (a_rOptions.m_bKeepApplication && bWholeWord)
        {
            ReadWords(*pEntry);
            if (Outcome.m_eStatus == SOutcome::DONE)
                Outcome.m_Texts.push_back(HexText(Outcome.m_Words.front()));
            Outcome.m_Words.clear();
            break;
        }
        if (!rDevice.ServiceRead(strRegister, strSignal, Texts, strError, a_rOperation.m_udwStart, a_rOperation.m_udwCount))
            Refuse(strError);
        Outcome.m_Texts.assign(Texts.begin(), Texts.end());
        break;
    }
    case EOperation::VALUE:
    {
        std::list<std::string> Texts;
        if (a_rOptions.m_bKeepApplication && pEntry != nullptr)
        {
            const CRegisterBase::CServiceAccess View(*pEntry->m_pRegister);
            Texts = rDevice.GetValueByString(strRegister, strSignal);
        }
        else
        {
            Texts = rDevice.GetValueByString(strRegister, strSignal);
        }
        // The device answers an unknown name with one of these texts instead of a value.
        if (Texts.size() == 1 && (Texts.front() == "Register not found!" || Texts.front() == "Function not found!"))
            Refuse(Texts.front());
        else
            Outcome.m_Texts.assign(Texts.begin(), Texts.end());
        break;
    }
    case EOperation::WRITE:
    {
        const std::list<std::string> Texts(a_rOperation.m_Values.begin(), a_rOperation.m_Values.end());
        if (!rDevice.ServiceWrite(strRegister, strSignal, Texts, strError, a_rOperation.m_udwStart))
            Refuse(strError);
        break;
    }
    case EOperation::LOCK:
        if (!rDevice.Lock(strRegister, strSignal, strError))
            Refuse(strError);
        break;
    case EOperation::UNLOCK:
        if (!rDevice.Unlock(strRegister, strSignal, strError))
            Refuse(strError);
        break;
    case EOperation::LOGGING:
    {
        // The library answers Logging with the flag it was given; the names are checked here.
        const bool bAllRegisters = MeansAll(strRegister);
        bool bKnown = (bAllRegisters || pEntry != nullptr) && MeansAll(strSignal);
        if (pEntry != nullptr && !bKnown)
            bKnown = HasSignal(*pEntry->m_pRegister, strSignal);
        for (auto Item = m_pHooks->m_Registers.begin(); bAllRegisters && !bKnown && Item != m_pHooks->m_Registers.end(); ++Item)
            bKnown = HasSignal(*Item->second.m_pRegister, strSignal);
        if (!bKnown)
            Refuse(bAllRegisters || pEntry != nullptr ? "Invalid signal submitted: " + strSignal
                                                      : "Invalid register submitted: " + strRegister);
        else
            rDevice.Logging(strRegister, strSignal, &m_pHooks->m_EventLog, a_rOperation.m_bEnable);
        break;
    }
    case EOperation::DEFAULTS:
        rDevice.SetToDefault();
        break;
    case EOperation::SNAPSHOT:
    {
        std::ostringstream Stream;
        if (a_rOptions.m_bKeepApplication)
        {
            std::vector<std::unique_ptr<CRegisterBase::CServiceAccess>> Views;
            for (CRegisterBase* pRegister : rDevice.GetRegisters())
                Views.emplace_back(new CRegisterBase::CServiceAccess(*pRegister));
            rDevice.SnapShot(Stream);
        }
        else
        {
            rDevice.SnapShot(Stream);
        }
        Outcome.m_strSnapshot = Stream.str();
        break;
    }
    case EOperation::WORDS:
        if (pEntry == nullptr)
            Refuse("Invalid register submitted: " + strRegister);
        else
            ReadWords(*pEntry);
        break;
    case EOperation::WRITE_WORDS:
    {
        std::list<std::string> Texts;
        for (unsigned udwWord : a_rOperation.m_Words)
            Texts.push_back(HexText(udwWord));
        if (!rDevice.ServiceWrite(strRegister, "", Texts, strError, a_rOperation.m_udwStart))
            Refuse(strError);
        break;
    }
    case EOperation::GET:
    case EOperation::SET:
    {
        CFieldSignal* pSignal = nullptr;
        for (CSignalBase* pCandidate : pEntry == nullptr ? std::list<CSignalBase*>() : pEntry->m_pRegister->GetSignals())
            if (pCandidate->GetName() == strSignal)
                pSignal = dynamic_cast<CFieldSignal*>(pCandidate);
        if (pSignal == nullptr)
            return Refuse(pEntry == nullptr ? "Invalid register submitted: " + strRegister : "Invalid signal submitted: " + strSignal);
        if (a_rOperation.m_eOperation == EOperation::GET)
            Outcome.m_Words.assign(1, pSignal->Get(a_rOperation.m_bReadHw));
        else if (a_rOperation.m_Words.size() != 1 || a_rOperation.m_Words.front() > pSignal->GetMaxValue())
            Refuse("Value limit exceeded: " + strSignal + " takes 0 to " + std::to_string(pSignal->GetMaxValue()));
        else
            Outcome.m_bResult = pSignal->Set(a_rOperation.m_Words.front(),
                                             static_cast<CSignalBase::ESignalHwWrite>(a_rOperation.m_udwMode));
        break;
    }
    case EOperation::GET_BLOCK:
    case EOperation::SET_BLOCK:
    {
        if (pEntry == nullptr || (pEntry->m_pParallelRam == nullptr && pEntry->m_pSequentialRam == nullptr))
            return Refuse(pEntry == nullptr ? "Invalid register submitted: " + strRegister : strRegister + " is not a memory");
        const unsigned udwStart = a_rOperation.m_udwStart;
        if (a_rOperation.m_eOperation == EOperation::GET_BLOCK)
        {
            std::vector<unsigned> Words(a_rOperation.m_udwCount + 1);  // the library refuses a null buffer
            Outcome.m_bResult = pEntry->m_pParallelRam != nullptr
                                    ? pEntry->m_pParallelRam->Get(Words.data(), udwStart, a_rOperation.m_udwCount, a_rOperation.m_bReadHw)
                                    : pEntry->m_pSequentialRam->Get(Words.data(), udwStart, a_rOperation.m_udwCount, a_rOperation.m_bReadHw);
            Words.pop_back();
            Outcome.m_Words = std::move(Words);
        }
        else
        {
            const unsigned udwCount = static_cast<unsigned>(a_rOperation.m_Words.size());
            const unsigned* pudwWords = udwCount == 0 ? nullptr : a_rOperation.m_Words.data();
            Outcome.m_bResult = pEntry->m_pParallelRam != nullptr
                                    ? pEntry->m_pParallelRam->Set(pudwWords, udwStart, udwCount, false)
                                    : pEntry->m_pSequentialRam->Set(pudwWords, udwStart, udwCount, false);
        }
        break;
    }
    case EOperation::STATE:
        if (pEntry == nullptr)
        {
            Refuse("Invalid register submitted: " + strRegister);
            break;
        }
        {
            const CRegisterBase& rRegister = *pEntry->m_pRegister;
            Outcome.m_LockStates.push_back(rRegister.GetLockState());
            for (const CSignalBase* pSignal : rRegister.GetSignals())
            {
                Outcome.m_LockStates.push_back(pSignal->GetLockState());
                Outcome.m_Texts.push_back(pSignal->GetName());
            }
            if (rRegister.GetWordCount() == 1)
                Outcome.m_Words.assign(1, rRegister.GetHwImage()[0]);
        }
        break;
    }
}
} // namespace rlzev
