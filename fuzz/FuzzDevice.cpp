// libFuzzer target: one simulated ZEV driven by a byte-decoded sequence of operations, with
// the library's promises checked after each: nothing outside a register's or memory's words
// is touched, a refused service write changes nothing, a typed Set changes only its field.
#include "ZEV.h"
#include "ZevSimulator.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>

namespace
{
[[noreturn]] void Broken(const char* a_pcWhat)
{
    std::fprintf(stderr, "invariant broken: %s\n", a_pcWhat);
    std::abort();
}

// Every transfer must lie inside one register's words (a memory's included). The simulated
// device behind it is replaced for every input.
class CCheckedBus : public CHWAccess
{
public:
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        Check(a_udwAddress, a_udwByteCount);
        ++m_udwWrites;
        m_pInner->Write(a_udwAddress, a_udwpData, a_udwByteCount);
    }
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        Check(a_udwAddress, a_udwByteCount);
        m_pInner->Read(a_udwAddress, a_udwpData, a_udwByteCount);
    }
    void Wait(unsigned a_udwDuration) override { m_pInner->Wait(a_udwDuration); }

    std::unique_ptr<CSimBus> m_pInner = std::make_unique<CSimBus>();
    unsigned m_udwWrites = 0;

private:
    // Register windows by first address: [first, first + words).
    static const std::map<unsigned, unsigned>& Windows()
    {
        static const std::map<unsigned, unsigned> s_Windows = [] {
            std::map<unsigned, unsigned> Windows;
            for (unsigned i = 0; i < g_udwZevRegisterCount; ++i)
                Windows[g_aZevRegisterMap[i].m_udwAddress] = g_aZevRegisterMap[i].m_udwWords;
            return Windows;
        }();
        return s_Windows;
    }

    static void Check(unsigned a_udwAddress, unsigned a_udwByteCount)
    {
        const unsigned long long uEnd = a_udwAddress + (a_udwByteCount + 3ULL) / 4;
        auto It = Windows().upper_bound(a_udwAddress);
        if (It == Windows().begin() || uEnd > static_cast<unsigned long long>((--It)->first) + It->second)
            Broken("a transfer outside every register's words");
    }
};

std::string Pick(FuzzedDataProvider& a_rIn, const std::vector<std::string>& a_rChoices)
{
    // A known name most of the time, otherwise whatever the bytes say.
    if (a_rIn.ConsumeIntegralInRange<int>(0, 7) == 0)
        return a_rIn.ConsumeRandomLengthString(24);
    return a_rChoices[a_rIn.ConsumeIntegralInRange<std::size_t>(0, a_rChoices.size() - 1)];
}

std::string ValueText(FuzzedDataProvider& a_rIn, const CSignalBase* a_pSignal)
{
    static const char* const s_apcMarkers[] = {"/d", "/D", "/h", "/H", "", "/x", "/d/h"};
    switch (a_rIn.ConsumeIntegralInRange<int>(0, 3))
    {
    case 0:
        return a_rIn.ConsumeRandomLengthString(16);
    case 1:
        if (a_pSignal != nullptr)
        {
            // An enumerator name as the snapshot shows it, or the field's largest value.
            const unsigned udwMax = a_pSignal->GetMaxValue();
            return std::to_string(a_rIn.ConsumeIntegralInRange<unsigned>(0, udwMax == 0 ? 1 : udwMax)) + "/d";
        }
        return "0/h";
    case 2:
    {
        const long long iValue = a_rIn.ConsumeIntegral<long long>();
        const char* pcMarker = s_apcMarkers[a_rIn.ConsumeIntegralInRange<int>(0, 6)];
        char acText[48];
        if (pcMarker[0] != '\0' && (pcMarker[1] == 'h' || pcMarker[1] == 'H'))
            std::snprintf(acText, sizeof acText, "%llx%s", static_cast<unsigned long long>(iValue), pcMarker);
        else
            std::snprintf(acText, sizeof acText, "%lld%s", iValue, pcMarker);
        return acText;
    }
    default:
        return a_pSignal != nullptr && a_rIn.ConsumeBool() ? "ON" : "OFF";
    }
}

// A register as the inspection observers show it, with what they showed when the device
// was fresh. The images and signals stay where they are for the device's life, so they are
// looked up once: the checks below then cost a few loads per register, uninstrumented
// (checking code, not code under test).
struct SRegisterView
{
    const CRegisterBase* m_pRegister = nullptr;
    const unsigned* m_pudwHw = nullptr;
    const unsigned* m_pudwApp = nullptr;
    unsigned m_udwWords = 0;
    std::vector<const CSignalBase*> m_Signals;
    // Fresh state.
    unsigned m_udwLock = 0;
    bool m_bPending = false;
    std::vector<unsigned> m_Words;  // hardware image, then application words
    std::vector<unsigned> m_SignalLocks;

    explicit SRegisterView(const CRegisterBase& a_rRegister)
        : m_pRegister(&a_rRegister), m_pudwHw(a_rRegister.GetHwImage()), m_pudwApp(a_rRegister.GetAppImage()),
          m_udwWords(a_rRegister.GetWordCount()),
          m_Signals(a_rRegister.GetSignals().begin(), a_rRegister.GetSignals().end()),
          m_udwLock(a_rRegister.GetLockState()), m_bPending(a_rRegister.IsWritePending()),
          m_Words(m_pudwHw, m_pudwHw + m_udwWords)
    {
        m_Words.insert(m_Words.end(), m_pudwApp, m_pudwApp + m_udwWords);
        for (const CSignalBase* pSignal : m_Signals)
            m_SignalLocks.push_back(pSignal->GetLockState());
    }

    // As fresh? A plain register's own lock state is left LOCKED by a whole-register service
    // write and nothing reads or clears it: only a memory's counts.
    __attribute__((no_sanitize("coverage", "address", "undefined"))) bool Fresh() const
    {
        if ((m_Signals.empty() && m_pRegister->GetLockState() != m_udwLock) ||
            m_pRegister->IsWritePending() != m_bPending ||
            std::memcmp(m_pudwHw, m_Words.data(), m_udwWords * sizeof(unsigned)) != 0 ||
            std::memcmp(m_pudwApp, m_Words.data() + m_udwWords, m_udwWords * sizeof(unsigned)) != 0)
            return false;
        const CSignalBase* const* ppSignal = m_Signals.data();
        const unsigned* pudwLock = m_SignalLocks.data();
        for (std::size_t i = 0, n = m_Signals.size(); i < n; ++i)
            if (ppSignal[i]->GetLockState() != pudwLock[i])
                return false;
        return true;
    }
};

// The device's state: every register's lock state, pending flag and word, and of the
// register a call names (a_pNamed) also its signals' lock states and, for a memory, its
// words. Hashing all 2,316 signals and 49,152 memory words for every check was most of the
// fuzzer's time.
__attribute__((no_sanitize("coverage", "address", "undefined")))
unsigned long long StateHash(const std::vector<SRegisterView>& a_rViews, const CRegisterBase* a_pNamed)
{
    unsigned long long uHash = 1469598103934665603ULL;
    for (const SRegisterView& rView : a_rViews)
    {
        const bool bNamed = rView.m_pRegister == a_pNamed;
        const unsigned n = rView.m_udwWords == 1 || bNamed ? rView.m_udwWords : 0;
        uHash = (uHash ^ (rView.m_pRegister->GetLockState() << 1 | rView.m_pRegister->IsWritePending())) * 1099511628211ULL;
        for (unsigned i = 0; i < n; ++i)
            uHash = (uHash ^ (static_cast<unsigned long long>(rView.m_pudwHw[i]) << 32 | rView.m_pudwApp[i])) *
                    1099511628211ULL;
        if (bNamed)
            for (const CSignalBase* pSignal : rView.m_Signals)
                uHash = (uHash ^ pSignal->GetLockState()) * 1099511628211ULL;
    }
    return uHash;
}

// One device for the whole run (constructing one per input would cost most of the time),
// brought back to its fresh state before every input: the registers the last input changed
// are unlocked and set to their defaults, and the simulated device is copied back from the
// one taken after the first SetToDefault. The reset checks itself against that state.
struct SHarness
{
    std::ostream Null{nullptr};
    CStreamUtility Utility{Null};
    CSimStatusRegister Status;
    CCheckedBus Bus;
    CZEV Device{&Bus, &Utility, &Status};
    std::vector<CRegisterBase*> Registers;
    std::vector<std::string> RegisterNames{"ALL", "all", "All", ""};
    std::map<std::string, CRegisterBase*> ByName;
    std::vector<SRegisterView> Views;
    std::vector<std::size_t> ResetRegisters;  // brought back by the last reset
    CSimBus FreshSim;
    bool bLogging = false;         // switched on during this input
    bool bLoggingEverywhere = false;  // switched by a name for all registers (or an unknown one)
    std::vector<CRegisterBase*> LoggingSwitched;

    CSimBus& Sim() { return *Bus.m_pInner; }

    // SetToDefault, which for a memory is Set with all words zero: given from a buffer zeroed
    // once, since the memory's own SetToDefault fills a fresh one of up to 16,384 words each
    // time, through instrumented code.
    void Defaults(CRegisterBase& a_rRegister)
    {
        if (auto* pDirect = dynamic_cast<CRamRegister<CParallelRead_ParallelWrite>*>(&a_rRegister))
            pDirect->Set(Zeros.data(), 0, pDirect->GetRAMSize(), false);
        else if (auto* pSequential = dynamic_cast<CRamRegister<CSequentialRead_ParallelWrite>*>(&a_rRegister))
            pSequential->Set(Zeros.data(), 0, pSequential->GetRAMSize(), false);
        else
            a_rRegister.SetToDefault();
    }
    std::vector<unsigned> Zeros = std::vector<unsigned>(1 << 16);

    void ResetDevice()
    {
        Utility.m_bStopWaiting = false;
        // Logging back off where an input switched it, everywhere after a name for all.
        if (bLoggingEverywhere)
            Device.Logging("ALL", "ALL", nullptr, false);
        else
            for (CRegisterBase* pRegister : LoggingSwitched)
                pRegister->Logging("ALL", nullptr, false);
        LoggingSwitched.clear();
        bLogging = bLoggingEverywhere = false;
        ResetRegisters.clear();
        for (std::size_t i = 0; i < Registers.size(); ++i)
        {
            CRegisterBase* pRegister = Registers[i];
            if (Views[i].Fresh())
                continue;
            ResetRegisters.push_back(i);
            // A memory unlocks only when it was locked, since unlocking writes all its words.
            if (!pRegister->GetSignals().empty() || pRegister->GetLockState() != UNLOCKED)
                pRegister->UnlockAll();
            // A deferred change left pending survives unlocking (status signals do not write on
            // unlock) and SetToDefault: a writing Set clears it, whatever the value.
            if (pRegister->IsWritePending())
                static_cast<CFieldSignal*>(pRegister->GetSignals().front())->Set(0, CSignalBase::HW_WRITE_IMMEDIATE);
            Defaults(*pRegister);
            if (!Views[i].Fresh() && pRegister->GetWordCount() == 1)
            {
                // Bits above the width, from a whole-register write, outlive SetToDefault:
                // the fresh word written whole takes them away.
                char acWord[16];
                std::snprintf(acWord, sizeof acWord, "%X/h", Views[i].m_Words[0]);
                std::string strIgnored;
                pRegister->ServiceWrite("", {acWord}, strIgnored, 0);
                pRegister->SetToDefault();
            }
        }
        Sim() = FreshSim;
        for (std::size_t i : ResetRegisters)  // a register's reset touches that register alone
            if (!Views[i].Fresh())
                Broken("the reset between inputs missed a change");
    }

    SHarness()
    {
        Bus.m_pUtility = &Utility;
        Utility.m_bQuietAccessDenied = true;
        Device.SetToDefault();
        FreshSim = Sim();
        for (CRegisterBase* pRegister : Device.GetRegisters())
        {
            Registers.push_back(pRegister);
            RegisterNames.push_back(pRegister->GetName());
            ByName[pRegister->GetName()] = pRegister;
            Views.emplace_back(*pRegister);
        }
    }

    CRegisterBase* AnyRegister(FuzzedDataProvider& a_rIn)
    {
        return Registers[a_rIn.ConsumeIntegralInRange<std::size_t>(0, Registers.size() - 1)];
    }

    std::string SignalName(FuzzedDataProvider& a_rIn, const CRegisterBase* a_pRegister, CSignalBase** a_ppSignal)
    {
        std::vector<std::string> Names{"ALL", "all", "All", ""};
        std::vector<CSignalBase*> Signals{nullptr, nullptr, nullptr, nullptr};
        if (a_pRegister != nullptr)
            for (CSignalBase* pSignal : a_pRegister->GetSignals())
            {
                Names.push_back(pSignal->GetName());
                Signals.push_back(pSignal);
            }
        const std::size_t uAt = a_rIn.ConsumeIntegralInRange<std::size_t>(0, Names.size() - 1);
        *a_ppSignal = Signals[uAt];
        return Names[uAt];
    }

    void ServiceWrite(FuzzedDataProvider& a_rIn)
    {
        const std::string strRegister = Pick(a_rIn, RegisterNames);
        const auto It = ByName.find(strRegister);
        const CRegisterBase* pRegister = It == ByName.end() ? nullptr : It->second;
        CSignalBase* pSignal = nullptr;
        const std::string strSignal = SignalName(a_rIn, pRegister, &pSignal);
        std::list<std::string> Values;
        for (int i = a_rIn.ConsumeIntegralInRange<int>(0, 3); i > 0; --i)
            Values.push_back(ValueText(a_rIn, pSignal));
        const unsigned udwStart = a_rIn.ConsumeIntegral<unsigned>() % 50000;
        const unsigned long long uBefore = StateHash(Views, pRegister);
        const unsigned udwWrites = Bus.m_udwWrites;
        std::string strError;
        if (!Device.ServiceWrite(strRegister, strSignal, Values, strError, udwStart))
        {
            if (StateHash(Views, pRegister) != uBefore)
                Broken("a refused service write changed the device's state");
            if (Bus.m_udwWrites != udwWrites)
                Broken("a refused service write reached the bus");
            if (strError.empty())
                Broken("a refused service write gave no error text");
        }
    }

    void TypedSet(FuzzedDataProvider& a_rIn)
    {
        CRegisterBase* pRegister = AnyRegister(a_rIn);
        if (pRegister->GetSignals().empty())
            return;
        auto It = pRegister->GetSignals().begin();
        std::advance(It, a_rIn.ConsumeIntegralInRange<std::size_t>(0, pRegister->GetSignals().size() - 1));
        CFieldSignal* pSignal = static_cast<CFieldSignal*>(*It);
        const unsigned udwHw = *pRegister->GetHwImage(), udwApp = *pRegister->GetAppImage();
        const auto eMode = static_cast<CSignalBase::ESignalHwWrite>(a_rIn.ConsumeIntegralInRange<int>(0, 3));
        pSignal->Set(a_rIn.ConsumeIntegral<unsigned>(), eMode);
        const bool bStatus = pRegister->GetName().rfind("PRI_STATUSREG", 0) == 0;
        if (!bLogging && !bStatus &&
            (((udwHw ^ *pRegister->GetHwImage()) | (udwApp ^ *pRegister->GetAppImage())) & ~pSignal->GetMask()) != 0)
            Broken("a typed Set changed bits outside its field");
        if (pSignal->Get(false) > pSignal->GetMaxValue())
            Broken("a field holds more than its width");
    }

    void Memory(FuzzedDataProvider& a_rIn)
    {
        static const char* const s_apcMemories[] = {"ENT_H1", "FR1_COEF", "SWP_CODE_RAM", "PWR_RAMP", "DET_APD_SSRAM"};
        const std::string strName = s_apcMemories[a_rIn.ConsumeIntegralInRange<int>(0, 4)];
        const unsigned udwStart = a_rIn.ConsumeIntegralInRange<unsigned>(0, 5000);
        const unsigned udwCount = a_rIn.ConsumeIntegralInRange<unsigned>(0, 5000);
        const bool bNull = a_rIn.ConsumeIntegralInRange<int>(0, 7) == 0;
        // The caller's buffer holds exactly the words asked for: the memory must refuse the rest.
        // (Zeroed in one go, the input's word at both ends: an instrumented fill of up to
        // 5,000 words was a tenth of the fuzzer's time.)
        std::vector<unsigned> Words(udwCount);
        if (udwCount != 0)
            Words.front() = Words.back() = a_rIn.ConsumeIntegral<unsigned>();
        unsigned* pudwWords = bNull || Words.empty() ? nullptr : Words.data();
        const bool bSet = a_rIn.ConsumeBool();
        const bool bFlag = a_rIn.ConsumeBool();
        auto Call = [&](auto& a_rRam) {
            if (bSet)
                a_rRam.Set(pudwWords, udwStart, udwCount, bFlag);
            else
                a_rRam.Get(pudwWords, udwStart, udwCount, bFlag);
            if (a_rIn.ConsumeIntegralInRange<int>(0, 5) == 0)
            {
                std::string strIgnored;
                a_rIn.ConsumeBool() ? a_rRam.Lock(strIgnored) : a_rRam.Unlock(strIgnored);
            }
        };
        if (strName == "ENT_H1")
            Call(Device.ENT_H1);
        else if (strName == "FR1_COEF")
            Call(Device.FR1_COEF);
        else if (strName == "SWP_CODE_RAM")
            Call(Device.SWP_CODE_RAM);
        else if (strName == "PWR_RAMP")
            Call(Device.PWR_RAMP);
        else
            Call(Device.DET_APD_SSRAM);
    }

    void Step(FuzzedDataProvider& a_rIn)
    {
        std::string strError;
        std::list<std::string> Values;
        switch (a_rIn.ConsumeIntegralInRange<int>(0, 10))
        {
        case 0:
            ServiceWrite(a_rIn);
            break;
        case 1:
        {
            CSignalBase* pSignal = nullptr;
            const std::string strRegister = Pick(a_rIn, RegisterNames);
            const std::string strSignal = SignalName(a_rIn, AnyRegister(a_rIn), &pSignal);
            Device.ServiceRead(strRegister, strSignal, Values, strError, a_rIn.ConsumeIntegral<unsigned>(),
                               a_rIn.ConsumeIntegralInRange<unsigned>(0, 300));
            break;
        }
        case 2:
        {
            CSignalBase* pSignal = nullptr;
            const std::string strRegister = Pick(a_rIn, RegisterNames);
            Device.GetValueByString(strRegister, SignalName(a_rIn, AnyRegister(a_rIn), &pSignal));
            break;
        }
        case 3:
        case 4:
        {
            CSignalBase* pSignal = nullptr;
            const std::string strRegister = Pick(a_rIn, RegisterNames);
            const std::string strSignal = SignalName(a_rIn, AnyRegister(a_rIn), &pSignal);
            if (a_rIn.ConsumeBool())
                Device.Lock(strRegister, strSignal, strError);
            else
                Device.Unlock(strRegister, strSignal, strError);
            break;
        }
        case 5:
        {
            CSignalBase* pSignal = nullptr;
            const std::string strRegister = Pick(a_rIn, RegisterNames);
            const std::string strSignal = SignalName(a_rIn, AnyRegister(a_rIn), &pSignal);
            const bool bOn = a_rIn.ConsumeBool();
            Device.Logging(strRegister, strSignal, a_rIn.ConsumeBool() ? &Null : nullptr, bOn);
            bLogging = bLogging || bOn;
            const auto It = ByName.find(strRegister);
            if (It != ByName.end())
                LoggingSwitched.push_back(It->second);
            else
                bLoggingEverywhere = true;
            break;
        }
        case 6:
            Memory(a_rIn);
            break;
        case 7:
            TypedSet(a_rIn);
            break;
        case 8:
            // One operation's worth of bus trouble.
            switch (a_rIn.ConsumeIntegralInRange<int>(0, 3))
            {
            case 0:
                Sim().m_udwReadyAfterPolls = 0;
                Utility.m_bStopWaiting = a_rIn.ConsumeIntegralInRange<int>(0, 3) != 0;
                break;
            case 1:
                Sim().m_udwReadyAfterPolls = a_rIn.ConsumeIntegralInRange<unsigned>(1, 20);
                break;
            case 2:
                Sim().m_iThrowOnRead = a_rIn.ConsumeIntegralInRange<int>(1, 8);
                break;
            default:
                Sim().RaiseStatus(24 + a_rIn.ConsumeIntegralInRange<unsigned>(0, 5), a_rIn.ConsumeIntegral<unsigned>());
            }
            return;
        case 9:
            if (Sim().m_udwReadyAfterPolls == 0 && !Utility.m_bStopWaiting)
                break;  // 10000 polls for every register: too slow to be useful here
            if (a_rIn.ConsumeIntegralInRange<int>(0, 63) == 0)
            {
                // The whole device, now and then: the next reset is then a full one. (Its
                // snapshot, a read of every signal, is the unit tests' business: here it
                // took most of the time of the inputs that had it, and the fuzzer keeps those.)
                switch (a_rIn.ConsumeIntegralInRange<int>(0, 2))
                {
                case 0:
                    Device.SetToDefault();
                    break;
                case 1:
                    Device.LockAll();
                    break;
                default:
                    Device.UnlockAll();
                }
                break;
            }
            switch (CRegisterBase* pRegister = AnyRegister(a_rIn); a_rIn.ConsumeIntegralInRange<int>(0, 3))
            {
            case 0:
                pRegister->SetToDefault();
                break;
            case 1:
                pRegister->LockAll();
                break;
            case 2:
                pRegister->UnlockAll();
                break;
            default:
                pRegister->SnapShot(Null, "ZEV");
            }
            break;
        default:
        {
            CRegisterBase* pRegister = AnyRegister(a_rIn);
            for (CSignalBase* pSignal : pRegister->GetSignals())
                if (static_cast<CFieldSignal*>(pSignal)->Get(a_rIn.ConsumeBool()) > pSignal->GetMaxValue())
                    Broken("a field holds more than its width");
        }
        }
        Sim().m_udwReadyAfterPolls = 1;
        Sim().m_iThrowOnRead = 0;
        Utility.m_bStopWaiting = false;
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* a_pData, size_t a_uSize)
{
    FuzzedDataProvider In(a_pData, a_uSize);
    static SHarness Harness;
    Harness.ResetDevice();
    for (int iSteps = 0; iSteps < 48 && In.remaining_bytes() > 0; ++iSteps)
    {
        try
        {
            Harness.Step(In);
        }
        catch (const std::runtime_error&)
        {
            // A direct read lets the host's bus fault through, as documented.
        }
    }
    return 0;
}
