#include "ZevTango.h"

#include "BadRequest.h"
#include "Catalogue.h"
#include "DeviceRuntime.h"
#include "Operations.h"
#include "RegisterSet.h"
#include "SignalBase.h"

#include <tango.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace rlzev
{
namespace
{
// The runtime this server serves: set before Tango makes the class, which reads the catalogue.
CDeviceRuntime* g_pRuntime = nullptr;

class CZevDevice;

// The library's messages of one call, as one text.
void Append(std::string& a_rText, const std::string& a_strMessage)
{
    a_rText += (a_rText.empty() ? "" : "; ") + a_strMessage;
}

std::string ReportsText(const SCallRecord& a_rRecord)
{
    std::string strText;
    for (const SReport& rReport : a_rRecord.m_Reports)
        Append(strText, rReport.m_strMessage);
    return strText;
}

[[noreturn]] void Fail(const char* a_pcReason, const std::string& a_strText)
{
    Tango::Except::throw_exception(a_pcReason, a_strText, "ZEV");
}

SOperation Named(EOperation a_eOperation, const std::string& a_strRegister, const std::string& a_strSignal = "")
{
    SOperation Operation;
    Operation.m_eOperation = a_eOperation;
    Operation.m_strRegister = a_strRegister;
    Operation.m_strSignal = a_strSignal;
    return Operation;
}

// Where each register's words lie on the bus, for telling which one a write reached.
struct SSpan
{
    unsigned m_udwFirst;
    unsigned m_udwWords;
    std::size_t m_uRegister;  // in the catalogue's order
};

// The attribute of one catalogue entry: its register (and signal), and where its value is
// kept between the read and Tango's sending it.
struct SAttrPlace
{
    std::size_t m_uRegister = 0;
    long m_lSignal = -1;  // -1: the register's word (or a memory's words)
    std::size_t m_uSlot = 0;
};

class CZevDevice : public Tango::Device_5Impl, private CDeviceObserver
{
public:
    CZevDevice(Tango::DeviceClass* a_pClass, const char* a_pcName) : Tango::Device_5Impl(a_pClass, a_pcName)
    {
        init_device();
    }
    ~CZevDevice() override { delete_device(); }

    void init_device() override
    {
        const CCatalogue& rCatalogue = g_pRuntime->Catalogue();
        const std::vector<SRegisterEntry>& rRegisters = rCatalogue.Registers();
        m_Words.assign(rRegisters.size() + rCatalogue.SignalCount(), 0);
        m_Enums.assign(m_Words.size(), 0);
        m_Blocks.assign(rRegisters.size(), {});
        m_Spans.clear();  // Tango's Init command makes the device again
        for (std::size_t i = 0; i < rRegisters.size(); ++i)
            m_Spans.push_back({rRegisters[i].m_udwAddress, rRegisters[i].m_udwWords, i});
        std::sort(m_Spans.begin(), m_Spans.end(),
                  [](const SSpan& a_rA, const SSpan& a_rB) { return a_rA.m_udwFirst < a_rB.m_udwFirst; });
        set_state(Tango::ON);
        set_status("The device is ON");
        m_bStop = false;
        g_pRuntime->AddObserver(*this);
        m_Pusher = std::thread([this] { Push(); });
    }

    void delete_device() override
    {
        if (!m_Pusher.joinable())
            return;
        g_pRuntime->RemoveObserver(*this);
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            m_bStop = true;
        }
        m_Wake.notify_all();
        m_Pusher.join();
    }

    // What a false answer of the library means: refused, or (a memory's Set, which answers
    // false also when it holds those words already) refused only if the memory is locked.
    enum class EFalse
    {
        REFUSED,
        REFUSED_IF_LOCKED
    };

    // One operation of the runtime's table: its check, then its handler; the library's
    // refusal, its reports and a host's fault are a DevFailed with the library's text. The
    // state says whether the host faulted in the last call.
    SOutcome Operate(SOperation a_Operation, bool a_bCountGiven = true, EFalse a_eFalse = EFalse::REFUSED)
    {
        SBudget Budget;
        const std::string strRefusal = CheckOperation(g_pRuntime->Catalogue(), a_Operation, a_bCountGiven, Budget);
        if (!strRefusal.empty())
            Fail("ZEV_BAD_ARGUMENT", strRefusal);
        std::vector<SOperation> Batch{a_Operation};
        if (a_eFalse == EFalse::REFUSED_IF_LOCKED)  // in the same call: no other door locks in between
            Batch.push_back(Named(EOperation::STATE, a_Operation.m_strRegister));
        std::vector<SOutcome> Outcomes;
        try
        {
            Outcomes = g_pRuntime->RunBatch(Batch, SBatchOptions());
        }
        catch (const std::exception& e)
        {
            Fail("ZEV_REFUSED", e.what());  // a call from inside a call of this device
        }
        const SOutcome& Outcome = Outcomes.front();
        if (Outcome.m_eStatus == SOutcome::FAULT)
        {
            set_state(Tango::FAULT);
            set_status(Outcome.m_strError);  // "host fault: ..." 
            Fail("ZEV_HOST_FAULT", Outcome.m_strError);
        }
        // The read-back path takes a host's exception and reports it: still the host's fault.
        const bool bFaulted = Outcome.m_Record.m_uBusFaults != 0;  // this call's own, not another door's
        set_state(bFaulted ? Tango::FAULT : Tango::ON);
        set_status(bFaulted ? "host fault: a bus transfer failed; the library reported: " + ReportsText(Outcome.m_Record)
                            : "The device is ON");
        if (Outcome.m_eStatus == SOutcome::REFUSED)
        {
            const std::string strReports = ReportsText(Outcome.m_Record);
            Fail("ZEV_REFUSED", Outcome.m_strError + (strReports.empty() || strReports == Outcome.m_strError
                                                          ? ""
                                                          : " (" + strReports + ")"));
        }
        // A call on one register fails on what the library reports (a refused direction, a
        // read-back never ready); a call on the whole device is done whatever some registers
        // refused (a snapshot skips the write-only ones).
        const bool bWholeDevice = a_Operation.m_eOperation == EOperation::DEFAULTS ||
                                  a_Operation.m_eOperation == EOperation::SNAPSHOT || MeansAll(a_Operation.m_strRegister);
        if (!bWholeDevice && !Outcome.m_Record.m_Reports.empty())
            Fail("ZEV_REPORTED", ReportsText(Outcome.m_Record));
        const SOperationRow& rRow = RowOf(a_Operation.m_eOperation);
        if (!bWholeDevice && (rRow.m_eAnswer == EAnswer::RESULT || rRow.m_eAnswer == EAnswer::WORDS_RESULT) &&
            !Outcome.m_bResult &&
            (a_eFalse == EFalse::REFUSED || Outcomes.back().m_LockStates.at(0) != UNLOCKED))
            Fail("ZEV_REFUSED", std::string("the library refused ") + rRow.m_pcName + " of " + a_Operation.m_strRegister +
                                    (a_Operation.m_strSignal.empty() ? "" : "." + a_Operation.m_strSignal) +
                                    " without a report (a locked field is not changed)");
        return Outcome;
    }

    Tango::DevULong& Word(std::size_t a_uSlot) { return m_Words[a_uSlot]; }
    Tango::DevShort& Enum(std::size_t a_uSlot) { return m_Enums[a_uSlot]; }
    std::vector<Tango::DevULong>& Block(std::size_t a_uRegister) { return m_Blocks[a_uRegister]; }
    Tango::DevULong64& Count(std::size_t a_uSlot) { return m_Counts[a_uSlot]; }
    // Made at the first set call: the map they are checked against, parsed once.
    CRegisterSets& Sets()
    {
        if (!m_pSets)
        {
            m_SetMap = nlohmann::json::parse(CatalogueJson(g_pRuntime->Catalogue()));
            m_pSets = std::make_unique<CRegisterSets>(*g_pRuntime, m_SetMap);
        }
        return *m_pSets;
    }

private:
    // Told inside another door's call too, so only the register is noted here; its new
    // values are read and pushed by the pusher, outside any call.
    bool IsListening() const override { return true; }
    void OnEvent(const SDeviceEvent& a_rEvent) override
    {
        // "bus: W 0x00E00 3 0x00000003": a write at that address.
        static const std::string kWrite = "bus: W 0x";
        if (a_rEvent.m_eKind != SDeviceEvent::TRANSFER || a_rEvent.m_strText.compare(0, kWrite.size(), kWrite) != 0)
            return;
        const unsigned udwAddress =
            static_cast<unsigned>(std::strtoul(a_rEvent.m_strText.c_str() + kWrite.size(), nullptr, 16));
        const auto It = std::upper_bound(m_Spans.begin(), m_Spans.end(), udwAddress,
                                         [](unsigned a_udwWanted, const SSpan& a_rSpan) { return a_udwWanted < a_rSpan.m_udwFirst; });
        if (It == m_Spans.begin() || udwAddress - (It - 1)->m_udwFirst >= (It - 1)->m_udwWords)
            return;
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            m_Changed.insert((It - 1)->m_uRegister);
        }
        m_Wake.notify_one();
    }

    void Push();
    // Whether a_rValue is news for the attribute: a write of the same value is no change.
    bool Changes(const std::string& a_strAttribute, const std::vector<unsigned>& a_rValue)
    {
        std::vector<unsigned>& rLast = m_Pushed[a_strAttribute];
        if (rLast == a_rValue)
            return false;
        rLast = a_rValue;
        return true;
    }

    std::unordered_map<std::string, std::vector<unsigned>> m_Pushed;  // the pusher's alone
    std::vector<Tango::DevULong> m_Words;
    std::vector<Tango::DevShort> m_Enums;
    std::vector<std::vector<Tango::DevULong>> m_Blocks;
    nlohmann::json m_SetMap;
    std::unique_ptr<CRegisterSets> m_pSets;
        Tango::DevULong64 m_Counts[4] = {};  // one each: a read of several is sent after all are read
    std::vector<SSpan> m_Spans;
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::set<std::size_t> m_Changed;
    std::atomic<bool> m_bStop{false};
    std::thread m_Pusher;
};

const SRegisterEntry& RegisterAt(std::size_t a_uRegister)
{
    return g_pRuntime->Catalogue().Registers()[a_uRegister];
}

// The enumerator's place among its signal's labels, -1 for a value no enumerator has.
long EnumIndex(const SSignalEntry& a_rSignal, unsigned a_udwValue)
{
    for (std::size_t i = 0; i < a_rSignal.m_Enumerators.size(); ++i)
        if (a_rSignal.m_Enumerators[i].m_udwValue == a_udwValue)
            return static_cast<long>(i);
    return -1;
}

// The device's new values after a write by any door, as change events: read from what the
// library holds (no transfer), then pushed under the device's monitor.
void CZevDevice::Push()
{
    for (;;)
    {
        std::set<std::size_t> Changed;
        {
            std::unique_lock<std::mutex> Lock(m_Mutex);
            m_Wake.wait(Lock, [this] { return m_bStop || !m_Changed.empty(); });
            if (m_bStop)
                return;
            Changed.swap(m_Changed);
        }
        for (const std::size_t uRegister : Changed)
        {
            // Tango's Init holds the device's monitor while it waits for this thread: stop at once.
            if (m_bStop)
                return;
            const SRegisterEntry& rEntry = RegisterAt(uRegister);
            if (!rEntry.m_bReadable)
                continue;
            std::vector<SOperation> Operations;
            if (rEntry.IsMemory())
            {
                SOperation Block = Named(EOperation::GET_BLOCK, rEntry.m_strName);
                Block.m_udwCount = rEntry.m_udwWords;
                Operations.push_back(Block);
            }
            else
            {
                Operations.push_back(Named(EOperation::STATE, rEntry.m_strName));
                for (const SSignalEntry& rSignal : rEntry.m_Signals)
                    Operations.push_back(Named(EOperation::GET, rEntry.m_strName, rSignal.m_strName));
            }
            SBatchOptions Options;
            Options.m_bKeepApplication = true;  // what Get(false) answers, and nothing of the application's changes
            std::vector<SOutcome> Outcomes;
            try
            {
                Outcomes = g_pRuntime->RunBatch(Operations, Options);
                Tango::AutoTangoMonitor Hold(this);
                if (rEntry.IsMemory())
                {
                    std::vector<Tango::DevULong> Words(Outcomes[0].m_Words.begin(), Outcomes[0].m_Words.end());
                    if (Changes(rEntry.m_strName, Outcomes[0].m_Words))
                        push_change_event(rEntry.m_strName, Words.data(), static_cast<long>(Words.size()));
                    continue;
                }
                Tango::DevULong udwWord = Outcomes[0].m_Words.empty() ? 0 : Outcomes[0].m_Words[0];
                if (Changes(rEntry.m_strName, Outcomes[0].m_Words))
                    push_change_event(rEntry.m_strName, &udwWord);
                for (std::size_t i = 0; i < rEntry.m_Signals.size(); ++i)
                {
                    const SSignalEntry& rSignal = rEntry.m_Signals[i];
                    const std::vector<unsigned>& rValue = Outcomes[i + 1].m_Words;
                    const std::string strName = TangoSignalName(rEntry.m_strName, rSignal.m_strName);
                    if (Outcomes[i + 1].m_eStatus != SOutcome::DONE || rValue.empty() || !Changes(strName, rValue))
                        continue;
                    if (rSignal.m_Enumerators.empty())
                    {
                        Tango::DevULong udwValue = rValue[0];
                        push_change_event(strName, &udwValue);
                    }
                    else if (EnumIndex(rSignal, rValue[0]) >= 0)
                    {
                        Tango::DevShort sIndex = static_cast<Tango::DevShort>(EnumIndex(rSignal, rValue[0]));
                        push_change_event(strName, &sIndex);
                    }
                }
            }
            catch (const Tango::DevFailed& e)
            {
                // The monitor was not had in time: told again with the next change, not lost.
                std::cerr << "zev-tango: a change event of " << rEntry.m_strName << " is late: "
                          << e.errors[0].desc.in() << "\n";
                m_Pushed.erase(rEntry.m_strName);
                std::lock_guard<std::mutex> Lock(m_Mutex);
                m_Changed.insert(uRegister);
            }
            catch (const std::exception& e)
            {
                std::cerr << "zev-tango: a change event of " << rEntry.m_strName << " was not sent: " << e.what() << "\n";
            }
        }
    }
}

CZevDevice& Device(Tango::DeviceImpl* a_pDevice)
{
    return *static_cast<CZevDevice*>(a_pDevice);
}

Tango::AttrWriteType Direction(const SRegisterEntry& a_rEntry)
{
    return a_rEntry.m_bReadable && a_rEntry.m_bWritable ? Tango::READ_WRITE
           : a_rEntry.m_bWritable                       ? Tango::WRITE
                                                        : Tango::READ;
}

// A one-word register's word: the hardware's, read now; written as a service write of it.
class CWordAttr : public Tango::Attr
{
public:
    CWordAttr(const SRegisterEntry& a_rEntry, SAttrPlace a_Place)
        : Tango::Attr(a_rEntry.m_strName.c_str(), Tango::DEV_ULONG, Direction(a_rEntry)), m_Place(a_Place)
    {
    }
    void read(Tango::DeviceImpl* a_pDevice, Tango::Attribute& a_rAttribute) override
    {
        CZevDevice& rDevice = Device(a_pDevice);
        SOperation Words = Named(EOperation::WORDS, RegisterAt(m_Place.m_uRegister).m_strName);
        rDevice.Word(m_Place.m_uSlot) = rDevice.Operate(Words).m_Words.at(0);
        a_rAttribute.set_value(&rDevice.Word(m_Place.m_uSlot));
    }
    void write(Tango::DeviceImpl* a_pDevice, Tango::WAttribute& a_rAttribute) override
    {
        Tango::DevULong udwWord = 0;
        a_rAttribute.get_write_value(udwWord);
        SOperation Write = Named(EOperation::WRITE_WORDS, RegisterAt(m_Place.m_uRegister).m_strName);
        Write.m_Words.assign(1, udwWord);
        Device(a_pDevice).Operate(Write);
    }
    bool is_allowed(Tango::DeviceImpl*, Tango::AttReqType) override { return true; }

private:
    SAttrPlace m_Place;
};

// A memory's words, all of them: the application's typed block access.
class CMemoryAttr : public Tango::SpectrumAttr
{
public:
    CMemoryAttr(const SRegisterEntry& a_rEntry, SAttrPlace a_Place)
        : Tango::SpectrumAttr(a_rEntry.m_strName.c_str(), Tango::DEV_ULONG, Direction(a_rEntry),
                              static_cast<long>(a_rEntry.m_udwWords)),
          m_Place(a_Place)
    {
    }
    void read(Tango::DeviceImpl* a_pDevice, Tango::Attribute& a_rAttribute) override
    {
        CZevDevice& rDevice = Device(a_pDevice);
        const SRegisterEntry& rEntry = RegisterAt(m_Place.m_uRegister);
        SOperation Block = Named(EOperation::GET_BLOCK, rEntry.m_strName);
        Block.m_udwCount = rEntry.m_udwWords;
        Block.m_bReadHw = true;
        const SOutcome Outcome = rDevice.Operate(Block);
        std::vector<Tango::DevULong>& rWords = rDevice.Block(m_Place.m_uRegister);
        rWords.assign(Outcome.m_Words.begin(), Outcome.m_Words.end());
        a_rAttribute.set_value(rWords.data(), static_cast<long>(rWords.size()));
    }
    void write(Tango::DeviceImpl* a_pDevice, Tango::WAttribute& a_rAttribute) override
    {
        const Tango::DevULong* pWords = nullptr;
        a_rAttribute.get_write_value(pWords);
        SOperation Block = Named(EOperation::SET_BLOCK, RegisterAt(m_Place.m_uRegister).m_strName);
        Block.m_Words.assign(pWords, pWords + a_rAttribute.get_write_value_length());
        Device(a_pDevice).Operate(Block, true, CZevDevice::EFalse::REFUSED_IF_LOCKED);
    }
    bool is_allowed(Tango::DeviceImpl*, Tango::AttReqType) override { return true; }

private:
    SAttrPlace m_Place;
};

// A signal: the application's typed Get (of the hardware) and Set, as a host's code makes them.
class CSignalAttr : public Tango::Attr
{
public:
    CSignalAttr(const SRegisterEntry& a_rEntry, const SSignalEntry& a_rSignal, SAttrPlace a_Place)
        : Tango::Attr(TangoSignalName(a_rEntry.m_strName, a_rSignal.m_strName).c_str(),
                      a_rSignal.m_Enumerators.empty() ? Tango::DEV_ULONG : Tango::DEV_ENUM, Direction(a_rEntry)),
          m_Place(a_Place)
    {
        Tango::UserDefaultAttrProp Properties;
        if (a_rSignal.m_Enumerators.empty())
        {
            Properties.set_max_value(std::to_string(a_rSignal.m_udwMax).c_str());
        }
        else
        {
            std::vector<std::string> Labels;
            for (const SEnumeratorEntry& rEnumerator : a_rSignal.m_Enumerators)
                Labels.push_back(rEnumerator.m_strName);
            Properties.set_enum_labels(Labels);
        }
        Properties.set_description((a_rEntry.m_strName + "." + a_rSignal.m_strName).c_str());
        set_default_properties(Properties);
    }
    void read(Tango::DeviceImpl* a_pDevice, Tango::Attribute& a_rAttribute) override
    {
        CZevDevice& rDevice = Device(a_pDevice);
        const SSignalEntry& rSignal = Signal();
        SOperation Get = Named(EOperation::GET, RegisterAt(m_Place.m_uRegister).m_strName, rSignal.m_strName);
        Get.m_bReadHw = true;
        const unsigned udwValue = rDevice.Operate(Get).m_Words.at(0);
        if (rSignal.m_Enumerators.empty())
        {
            rDevice.Word(m_Place.m_uSlot) = udwValue;
            return a_rAttribute.set_value(&rDevice.Word(m_Place.m_uSlot));
        }
        const long lIndex = EnumIndex(rSignal, udwValue);
        if (lIndex < 0)
            Fail("ZEV_NO_ENUMERATOR", "the hardware holds " + std::to_string(udwValue) + " in " +
                                          RegisterAt(m_Place.m_uRegister).m_strName + "." + rSignal.m_strName +
                                          ", which no enumerator has");
        rDevice.Enum(m_Place.m_uSlot) = static_cast<Tango::DevShort>(lIndex);
        a_rAttribute.set_value(&rDevice.Enum(m_Place.m_uSlot));
    }
    void write(Tango::DeviceImpl* a_pDevice, Tango::WAttribute& a_rAttribute) override
    {
        const SSignalEntry& rSignal = Signal();
        SOperation Set = Named(EOperation::SET, RegisterAt(m_Place.m_uRegister).m_strName, rSignal.m_strName);
        if (rSignal.m_Enumerators.empty())
        {
            Tango::DevULong udwValue = 0;
            a_rAttribute.get_write_value(udwValue);
            Set.m_Words.assign(1, udwValue);
        }
        else
        {
            Tango::DevShort sIndex = 0;
            a_rAttribute.get_write_value(sIndex);
            if (sIndex < 0 || static_cast<std::size_t>(sIndex) >= rSignal.m_Enumerators.size())
                Fail("ZEV_BAD_ARGUMENT", "no enumerator " + std::to_string(sIndex) + " of " + rSignal.m_strName);
            Set.m_Words.assign(1, rSignal.m_Enumerators[static_cast<std::size_t>(sIndex)].m_udwValue);
        }
        Device(a_pDevice).Operate(Set);
    }
    bool is_allowed(Tango::DeviceImpl*, Tango::AttReqType) override { return true; }

private:
    const SSignalEntry& Signal() const
    {
        return RegisterAt(m_Place.m_uRegister).m_Signals[static_cast<std::size_t>(m_Place.m_lSignal)];
    }
    SAttrPlace m_Place;
};

// One of the runtime's counts, as zevd's metrics give them.
class CCountAttr : public Tango::Attr
{
public:
    CCountAttr(const char* a_pcName, unsigned long long SRuntimeCounts::*a_pCount, std::size_t a_uSlot)
        : Tango::Attr(a_pcName, Tango::DEV_ULONG64, Tango::READ), m_pCount(a_pCount), m_uSlot(a_uSlot)
    {
    }
    void read(Tango::DeviceImpl* a_pDevice, Tango::Attribute& a_rAttribute) override
    {
        Tango::DevULong64& rCount = Device(a_pDevice).Count(m_uSlot);
        rCount = g_pRuntime->Counts().*m_pCount;
        a_rAttribute.set_value(&rCount);
    }
    bool is_allowed(Tango::DeviceImpl*, Tango::AttReqType) override { return true; }

private:
    unsigned long long SRuntimeCounts::*m_pCount;
    std::size_t m_uSlot;
};

std::vector<std::string> Strings(const Tango::DevVarStringArray& a_rArray)
{
    std::vector<std::string> Result;
    for (CORBA::ULong i = 0; i < a_rArray.length(); ++i)
        Result.emplace_back(a_rArray[i].in());
    return Result;
}

unsigned Number(const std::string& a_strText, const char* a_pcWhat)
{
    char* pcEnd = nullptr;
    const unsigned long ulValue = std::strtoul(a_strText.c_str(), &pcEnd, 10);
    if (a_strText.empty() || *pcEnd != '\0' || a_strText[0] == '-' || ulValue > 0xFFFFFFFFul)
        Fail("ZEV_BAD_ARGUMENT", std::string(a_pcWhat) + " is a decimal number, not '" + a_strText + "'");
    return static_cast<unsigned>(ulValue);
}

// A command: its Tango types, and what it does with the arguments as texts.
class CCommand : public Tango::Command
{
public:
    using FRun = std::function<CORBA::Any*(CZevDevice&, const std::vector<std::string>&, CCommand&)>;
    CCommand(const char* a_pcName, Tango::CmdArgType a_eIn, Tango::CmdArgType a_eOut, const char* a_pcIn,
             const char* a_pcOut, FRun a_Run)
        : Tango::Command(a_pcName, a_eIn, a_eOut, a_pcIn, a_pcOut, Tango::OPERATOR), m_eIn(a_eIn), m_Run(std::move(a_Run))
    {
    }
    CORBA::Any* execute(Tango::DeviceImpl* a_pDevice, const CORBA::Any& a_rIn) override
    {
        std::vector<std::string> Arguments;
        if (m_eIn == Tango::DEVVAR_STRINGARRAY)
        {
            const Tango::DevVarStringArray* pArray = nullptr;
            extract(a_rIn, pArray);
            Arguments = Strings(*pArray);
        }
        else if (m_eIn == Tango::DEV_STRING)
        {
            Tango::ConstDevString pcText = nullptr;
            extract(a_rIn, pcText);
            Arguments.emplace_back(pcText);
        }
        return m_Run(Device(a_pDevice), Arguments, *this);
    }
    bool is_allowed(Tango::DeviceImpl*, const CORBA::Any&) override { return true; }

    CORBA::Any* Nothing() { return insert(); }
    CORBA::Any* Text(const std::string& a_strText) { return insert(CORBA::string_dup(a_strText.c_str())); }
    CORBA::Any* Texts(const std::vector<std::string>& a_rTexts)
    {
        auto* pArray = new Tango::DevVarStringArray();
        pArray->length(static_cast<CORBA::ULong>(a_rTexts.size()));
        for (std::size_t i = 0; i < a_rTexts.size(); ++i)
            (*pArray)[static_cast<CORBA::ULong>(i)] = CORBA::string_dup(a_rTexts[i].c_str());
        return insert(pArray);
    }

private:
    Tango::CmdArgType m_eIn;
    FRun m_Run;
};

// [REG] or [REG, SIGNAL]: a lock or unlock of one signal, or of every signal of REG.
CORBA::Any* LockCommand(EOperation a_eOperation, CZevDevice& a_rDevice, const std::vector<std::string>& a_rArguments,
                        CCommand& a_rCommand)
{
    if (a_rArguments.empty() || a_rArguments.size() > 2)
        Fail("ZEV_BAD_ARGUMENT", "give [REGISTER] or [REGISTER, SIGNAL]");
    a_rDevice.Operate(Named(a_eOperation, a_rArguments[0], a_rArguments.size() == 2 ? a_rArguments[1] : "ALL"));
    return a_rCommand.Nothing();
}

// The register sets, on their service's calls and in zevctl's file format.
// a_bSet: a register set's file, else a save's options.
nlohmann::json SetBody(const std::string& a_strText, bool a_bSet = true)
{
    if (a_strText.empty())
        return nlohmann::json::object();
    try
    {
        return a_bSet ? ParseSet(a_strText) : ParseBody(a_strText, "argument");
    }
    catch (const SBadRequest& Bad)
    {
        Fail("ZEV_BAD_ARGUMENT", Bad.m_strText);
    }
}

nlohmann::json RunSets(CZevDevice& a_rDevice, const std::string& a_strOperation, const nlohmann::json& a_rBody)
{
    nlohmann::json Answer;
    int iStatus = 0;
    try
    {
        iStatus = a_rDevice.Sets().Run(a_strOperation, a_rBody, Answer);
    }
    catch (const SBadRequest& Bad)
    {
        Fail("ZEV_BAD_ARGUMENT", Bad.m_strText);
    }
    // The state as after any call: this call's own faults, taken or only reported.
    // (A refused direction is reported, never made up: it refuses nothing here.)
    std::string strReports, strAll;
    for (const nlohmann::json& rReport : Answer.value("reports", nlohmann::json::array()))
    {
        const std::string strMessage = rReport.value("message", std::string());
        Append(strAll, strMessage);
        if (a_strOperation != "apply" && !rReport.value("accessDenied", false))
            Append(strReports, strMessage);
    }
    const bool bFaulted = iStatus == 500 || a_rDevice.Sets().BusFaults() != 0;
    a_rDevice.set_state(bFaulted ? Tango::FAULT : Tango::ON);
    a_rDevice.set_status(iStatus == 500 ? Answer.value("error", std::string())  // "host fault: ..."
                         : bFaulted ? "host fault: a bus transfer failed; the library reported: " + strAll
                                    : "The device is ON");
    if (iStatus != 200)
        Fail(iStatus == 500 ? "ZEV_HOST_FAULT" : "ZEV_REFUSED", Answer.value("error", Answer.dump()));
    // What a save or compare read while the library reported is not the device's: refused as
    // a read of one register is (an apply's refusals are in its answer, field by field).
    if (!strReports.empty())
        Fail("ZEV_REPORTED", strReports);
    return Answer;
}

class CZevClass : public Tango::DeviceClass
{
public:
    static CZevClass* Instance(const char* a_pcName)
    {
        static CZevClass* s_pClass = nullptr;
        if (s_pClass == nullptr)
        {
            std::string strName(a_pcName);
            s_pClass = new CZevClass(strName);
        }
        return s_pClass;
    }

    void attribute_factory(std::vector<Tango::Attr*>& a_rAttributes) override
    {
        const std::vector<SRegisterEntry>& rRegisters = g_pRuntime->Catalogue().Registers();
        std::size_t uSlot = 0;
        for (std::size_t i = 0; i < rRegisters.size(); ++i)
        {
            const SRegisterEntry& rEntry = rRegisters[i];
            if (!rEntry.m_bReadable && !rEntry.m_bWritable)
                continue;
            Tango::Attr* pRegister = rEntry.IsMemory() ? static_cast<Tango::Attr*>(new CMemoryAttr(rEntry, {i, -1, i}))
                                                       : new CWordAttr(rEntry, {i, -1, uSlot++});
            pRegister->set_change_event(true, false);
            a_rAttributes.push_back(pRegister);
            for (std::size_t j = 0; j < rEntry.m_Signals.size() && !rEntry.IsMemory(); ++j)
            {
                auto* pSignal = new CSignalAttr(rEntry, rEntry.m_Signals[j], {i, static_cast<long>(j), uSlot++});
                pSignal->set_change_event(true, false);
                a_rAttributes.push_back(pSignal);
            }
        }
        a_rAttributes.push_back(new CCountAttr("BusTransfers", &SRuntimeCounts::m_uTransfers, 0));
        a_rAttributes.push_back(new CCountAttr("BusFaults", &SRuntimeCounts::m_uFaults, 1));
        a_rAttributes.push_back(new CCountAttr("Reports", &SRuntimeCounts::m_uReports, 2));
        a_rAttributes.push_back(new CCountAttr("DeviceCalls", &SRuntimeCounts::m_uCalls, 3));
    }

    void command_factory() override
    {
        const auto Add = [this](const char* a_pcName, Tango::CmdArgType a_eIn, Tango::CmdArgType a_eOut,
                                const char* a_pcIn, const char* a_pcOut, CCommand::FRun a_Run) {
            command_list.push_back(new CCommand(a_pcName, a_eIn, a_eOut, a_pcIn, a_pcOut, std::move(a_Run)));
        };
        using Args = std::vector<std::string>;
        Add("SetToDefault", Tango::DEV_VOID, Tango::DEV_VOID, "", "", [](CZevDevice& d, const Args&, CCommand& c) {
            d.Operate(Named(EOperation::DEFAULTS, ""));
            return c.Nothing();
        });
        Add("SnapShot", Tango::DEV_VOID, Tango::DEV_STRING, "", "the snapshot script",
            [](CZevDevice& d, const Args&, CCommand& c) { return c.Text(d.Operate(Named(EOperation::SNAPSHOT, "")).m_strSnapshot); });
        Add("Lock", Tango::DEVVAR_STRINGARRAY, Tango::DEV_VOID, "[REGISTER] or [REGISTER, SIGNAL]", "",
            [](CZevDevice& d, const Args& a, CCommand& c) { return LockCommand(EOperation::LOCK, d, a, c); });
        Add("Unlock", Tango::DEVVAR_STRINGARRAY, Tango::DEV_VOID, "[REGISTER] or [REGISTER, SIGNAL]", "",
            [](CZevDevice& d, const Args& a, CCommand& c) { return LockCommand(EOperation::UNLOCK, d, a, c); });
        Add("LockAll", Tango::DEV_VOID, Tango::DEV_VOID, "", "", [](CZevDevice& d, const Args&, CCommand& c) {
            d.Operate(Named(EOperation::LOCK, "ALL", "ALL"));
            return c.Nothing();
        });
        Add("UnlockAll", Tango::DEV_VOID, Tango::DEV_VOID, "", "", [](CZevDevice& d, const Args&, CCommand& c) {
            d.Operate(Named(EOperation::UNLOCK, "ALL", "ALL"));
            return c.Nothing();
        });
        Add("ServiceRead", Tango::DEVVAR_STRINGARRAY, Tango::DEVVAR_STRINGARRAY,
            "[REGISTER], [REGISTER, SIGNAL] or a memory's [REGISTER, START, COUNT]", "value texts",
            [](CZevDevice& d, const Args& a, CCommand& c) {
                if (a.empty() || a.size() > 3)
                    Fail("ZEV_BAD_ARGUMENT", "give [REGISTER], [REGISTER, SIGNAL] or [REGISTER, START, COUNT]");
                SOperation Read = Named(EOperation::READ, a[0], a.size() == 2 ? a[1] : "");
                if (a.size() == 3)
                    Read.m_udwStart = Number(a[1], "START"), Read.m_udwCount = Number(a[2], "COUNT");
                return c.Texts(d.Operate(Read, a.size() == 3).m_Texts);
            });
        Add("ServiceWrite", Tango::DEVVAR_STRINGARRAY, Tango::DEV_VOID,
            "[REGISTER, SIGNAL, VALUE...]; a whole register's SIGNAL is \"\"; a memory's is its first word", "",
            [](CZevDevice& d, const Args& a, CCommand& c) {
                if (a.size() < 3)
                    Fail("ZEV_BAD_ARGUMENT", "give [REGISTER, SIGNAL, VALUE...]");
                const SRegisterEntry* pEntry = g_pRuntime->Catalogue().Find(a[0]);
                SOperation Write = Named(EOperation::WRITE, a[0]);
                if (pEntry != nullptr && pEntry->IsMemory())
                    Write.m_udwStart = a[1].empty() ? 0 : Number(a[1], "a memory's first word");
                else
                    Write.m_strSignal = a[1];
                Write.m_Values.assign(a.begin() + 2, a.end());
                d.Operate(Write);
                return c.Nothing();
            });
        Add("GetValueByString", Tango::DEVVAR_STRINGARRAY, Tango::DEV_STRING, "[REGISTER, SIGNAL]",
            "the value: an enumerator's name or a signed decimal", [](CZevDevice& d, const Args& a, CCommand& c) {
                if (a.size() != 2)
                    Fail("ZEV_BAD_ARGUMENT", "give [REGISTER, SIGNAL]");
                return c.Text(d.Operate(Named(EOperation::VALUE, a[0], a[1])).m_Texts.at(0));
            });
        Add("SaveSet", Tango::DEV_STRING, Tango::DEV_STRING,
            "{\"registers\": [names], \"memories\": bool} or \"\" for every register", "the register set file",
            [](CZevDevice& d, const Args& a, CCommand& c) { return c.Text(RunSets(d, "save", SetBody(a[0], false))["set"].dump(1) + "\n"); });
        Add("CompareSet", Tango::DEV_STRING, Tango::DEV_STRING, "a register set file, or \"\" for the defaults",
            "the differences (JSON)", [](CZevDevice& d, const Args& a, CCommand& c) {
                nlohmann::json Body = nlohmann::json::object();
                if (!a[0].empty())
                    Body["set"] = SetBody(a[0]);
                return c.Text(RunSets(d, "compare", Body)["differences"].dump());
            });
        Add("ApplySet", Tango::DEV_STRING, Tango::DEV_STRING, "a register set file", "the answer (JSON)",
            [](CZevDevice& d, const Args& a, CCommand& c) {
                return c.Text(RunSets(d, "apply", nlohmann::json{{"set", SetBody(a[0])}}).dump());
            });
    }

    void device_factory(const Tango::DevVarStringArray* a_pNames) override
    {
        if (a_pNames->length() != 1)
            Fail("ZEV_ONE_DEVICE", "zev-tango serves one ZEV per server: give it one device (there are " +
                                       std::to_string(a_pNames->length()) + ")");
        device_list.push_back(new CZevDevice(this, (*a_pNames)[0]));
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
            export_device(device_list.back());
        else
            export_device(device_list.back(), device_list.back()->get_name().c_str());
    }

private:
    explicit CZevClass(std::string& a_strName) : Tango::DeviceClass(a_strName) {}
};
} // namespace

std::string TangoSignalName(const std::string& a_strRegister, const std::string& a_strSignal)
{
    return a_strRegister + "__" + a_strSignal;
}

namespace
{
// TANGO_HOST from the environment, else from /etc/tangorc as Tango reads it.
std::string TangoHost()
{
    if (const char* pcHost = std::getenv("TANGO_HOST"))
        return pcHost;
    std::ifstream Rc("/etc/tangorc");
    std::string strLine;
    while (std::getline(Rc, strLine))
        if (strLine.compare(0, 11, "TANGO_HOST=") == 0)
            return strLine.substr(11);
    return {};
}

// Whether a TCP connection to HOST:PORT is taken within two seconds; else why not.
std::string Unreachable(const std::string& a_strAddress)
{
    const std::size_t uColon = a_strAddress.rfind(':');
    if (uColon == std::string::npos)
        return "not HOST:PORT";
    addrinfo Hints{};
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo* pFound = nullptr;
    if (getaddrinfo(a_strAddress.substr(0, uColon).c_str(), a_strAddress.substr(uColon + 1).c_str(), &Hints, &pFound) != 0)
        return "cannot resolve " + a_strAddress.substr(0, uColon);
    std::string strWhy = "no address";
    for (addrinfo* pAddress = pFound; pAddress != nullptr; pAddress = pAddress->ai_next)
    {
        const int iSocket = socket(pAddress->ai_family, pAddress->ai_socktype | SOCK_NONBLOCK, 0);
        if (iSocket < 0)
            continue;
        int iError = connect(iSocket, pAddress->ai_addr, pAddress->ai_addrlen) == 0 ? 0 : errno;
        if (iError == EINPROGRESS)
        {
            pollfd Poll{iSocket, POLLOUT, 0};
            socklen_t uLength = sizeof iError;
            iError = poll(&Poll, 1, 2000) == 1 && getsockopt(iSocket, SOL_SOCKET, SO_ERROR, &iError, &uLength) == 0
                         ? iError
                         : ETIMEDOUT;
        }
        close(iSocket);
        if (iError == 0)
        {
            freeaddrinfo(pFound);
            return {};
        }
        strWhy = std::strerror(iError);
    }
    freeaddrinfo(pFound);
    return strWhy;
}
} // namespace

int ServeTango(CDeviceRuntime& a_rRuntime, int argc, char** argv)
{
    g_pRuntime = &a_rRuntime;
    bool bDatabase = true;
    for (int i = 1; i < argc; ++i)
        bDatabase = bDatabase && std::string(argv[i]) != "-nodb" && std::string(argv[i]).compare(0, 6, "-file=") != 0;
    if (bDatabase)
    {
        // Tango would wait for a database that is down; a server that cannot start says so.
        const std::string strHost = TangoHost();
        if (strHost.empty())
        {
            std::cerr << "zev-tango: no Tango database: set TANGO_HOST=HOST:PORT, or run without one (-nodb -dlist NAME)\n";
            return 1;
        }
        const std::string strFirst = strHost.substr(0, strHost.find(','));
        const std::string strWhy = Unreachable(strFirst);
        if (!strWhy.empty())
        {
            std::cerr << "zev-tango: the Tango database at " << strFirst << " cannot be reached: " << strWhy << "\n";
            return 1;
        }
    }
    try
    {
        Tango::Util* pUtil = Tango::Util::init(argc, argv);
        pUtil->server_init(false);
        std::cout << "zev-tango: serving " << pUtil->get_ds_name() << "\n" << std::flush;
        pUtil->server_run();
        pUtil->server_cleanup();
    }
    catch (const CORBA::Exception& e)
    {
        std::cerr << "zev-tango: ";
        Tango::Except::print_exception(e);
        return 1;
    }
    return 0;
}
} // namespace rlzev

void Tango::DServer::class_factory()
{
    add_class(rlzev::CZevClass::Instance("ZEV"));
}
