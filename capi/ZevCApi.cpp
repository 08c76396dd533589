// The flat C interface over the C++ device: handles into tables built once per device,
// errors as codes with the device's last error text, texts in the caller's buffers, and
// no exception past the boundary. Calls by name pass the library gate and route their
// reports to their own device; the typed get and set go straight to the inline field
// access, with nothing but a try block around them.
#define RL_ZEV_C_BUILD
#include "rl_zev_c.h"

#include "ReportRouter.h"
#include "ZEV.h"
#include "ZevSimulator.h"

#include <algorithm>
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
#include <type_traits>
#include <unordered_map>
#include <vector>

static_assert(std::is_same<unsigned, uint32_t>::value, "the library's words are the C interface's uint32_t");

namespace
{
const std::size_t kKeptReports = 1000;

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

// The caller's bus as the library's CHWAccess.
class CCallbackBus : public CHWAccess
{
public:
    explicit CCallbackBus(const zev_host& a_rHost) : m_rHost(a_rHost) {}
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        if (const int32_t iResult = m_rHost.write(m_rHost.context, a_udwAddress, a_udwpData, a_udwByteCount))
            throw CHostFault("write", iResult, Where(a_udwAddress, a_udwByteCount).c_str());
    }
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        if (const int32_t iResult = m_rHost.read(m_rHost.context, a_udwAddress, a_udwpData, a_udwByteCount))
            throw CHostFault("read", iResult, Where(a_udwAddress, a_udwByteCount).c_str());
    }
    void Wait(unsigned a_udwDuration) override
    {
        if (const int32_t iResult = m_rHost.wait(m_rHost.context, a_udwDuration))
            throw CHostFault("wait", iResult, "");
    }

private:
    const zev_host& m_rHost;
};

class CCallbackStatus : public CIStatusRegister
{
public:
    explicit CCallbackStatus(const zev_host& a_rHost) : m_rHost(a_rHost) {}
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
        if (const int32_t iResult = a_pPrepare(m_rHost.context, a_udwpValue))
            throw CHostFault(a_pcName, iResult, "");
    }
    const zev_host& m_rHost;
};

const char* Text(const char* a_pcText)
{
    return a_pcText == nullptr ? "" : a_pcText;
}

// Change-log text arrives in pieces; each complete line goes to the log callback.
class CLogLines : public std::streambuf
{
public:
    zev_log_fn m_pLog = nullptr;
    void* m_pContext = nullptr;

protected:
    int_type overflow(int_type a_iChar) override
    {
        if (traits_type::eq_int_type(a_iChar, traits_type::eof()))
            return traits_type::not_eof(a_iChar);
        const char c = traits_type::to_char_type(a_iChar);
        if (c == '\n')
        {
            if (m_pLog != nullptr)
                m_pLog(m_pContext, m_strLine.c_str());
            m_strLine.clear();
        }
        else
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

private:
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
    uint32_t m_udwLimit;      // the largest value a typed set takes
    bool m_bSparse;           // enumerators with gaps: a value must be looked up
    zev_device* m_pDevice;
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
    zev_device() : m_Utility(*this), m_LogStream(&m_LogLines) {}

    zev_host m_Host{};  // the caller's callbacks; all null for the simulated device
    std::unique_ptr<CSimBus> m_pSimBus;
    std::unique_ptr<CSimStatusRegister> m_pSimStatus;
    std::unique_ptr<CCallbackBus> m_pCallbackBus;
    std::unique_ptr<CCallbackStatus> m_pCallbackStatus;
    CDeviceUtility m_Utility;
    CZEV* m_pDevice = nullptr;

    std::vector<zev_register> m_Registers;
    std::vector<zev_signal> m_Signals;
    std::vector<const SEnumerator*> m_Enumerators;
    std::unordered_map<std::string, uint32_t> m_RegisterIndex;

    std::string m_strLastError;
    std::string m_strKept;
    bool m_bKept = false;

    zev_report_fn m_pReportError = nullptr;
    zev_report_fn m_pReportAccessDenied = nullptr;
    void* m_pReportContext = nullptr;
    std::deque<std::string> m_Reports;
    unsigned long long m_uReportsMade = 0;
    std::string m_strLastReport;  // the message of the last report

    CLogLines m_LogLines;
    std::ostream m_LogStream;

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
    ++m_rDevice.m_uReportsMade;
}

void CDeviceUtility::ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage)
{
    Keep(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
    if (m_rDevice.m_pReportError != nullptr)
        m_rDevice.m_pReportError(m_rDevice.m_pReportContext, Text(a_pcFile), a_iLine, Text(a_pcFunction),
                                 Text(a_pcMessage));
}

void CDeviceUtility::ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                                        const char* a_pcMessage)
{
    Keep(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
    if (m_rDevice.m_pReportAccessDenied != nullptr)
        m_rDevice.m_pReportAccessDenied(m_rDevice.m_pReportContext, Text(a_pcFile), a_iLine, Text(a_pcFunction),
                                        Text(a_pcMessage));
}

bool CDeviceUtility::StopWaiting()
{
    return m_rDevice.m_Host.stop_waiting != nullptr && m_rDevice.m_Host.stop_waiting(m_rDevice.m_Host.context) != 0;
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

// A text into the caller's buffer. A text too long is kept in the device when it came
// from reading the device, so that zev_fetch_text need not read it again.
zev_status PutText(const zev_device* a_pDevice, const std::string& a_strText, char* a_pcText, uint32_t a_udwSize,
                   uint32_t* a_pudwNeeded, bool a_bKeep)
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
        if (a_bKeep && a_pDevice != nullptr)
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

// A call that may report through the library's shared holder: it passes the gate shared
// (devices are not made or destroyed meanwhile), and its reports go to its own device.
class CDeviceCall
{
public:
    explicit CDeviceCall(zev_device& a_rDevice)
    {
        rlzev::CLibraryGate::Instance().EnterShared();
        // A device made outside the router and then destroyed leaves the holder empty.
        rlzev::CReportRouter::Instance().Offer();
        m_pPrevious = rlzev::ExchangeRoute(&a_rDevice.m_Utility);
    }
    ~CDeviceCall()
    {
        rlzev::ExchangeRoute(m_pPrevious);
        rlzev::CLibraryGate::Instance().LeaveShared();
    }
    CDeviceCall(const CDeviceCall&) = delete;
    CDeviceCall& operator=(const CDeviceCall&) = delete;

private:
    CUtility_Interface* m_pPrevious = nullptr;
};

template <class TBody>
zev_status Call(zev_device* a_pDevice, TBody&& a_Body)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    try
    {
        CDeviceCall Scope(*a_pDevice);
        return a_Body(*a_pDevice->m_pDevice);
    }
    catch (...)
    {
        return Fault(a_pDevice);
    }
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

// The handles of every register and signal, in the device's list order.
void BuildCatalogue(zev_device& a_rDevice)
{
    const std::list<CRegisterBase*>& rRegisters = a_rDevice.m_pDevice->GetRegisters();
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
    rlzev::CLibraryGate& rGate = rlzev::CLibraryGate::Instance();
    rGate.EnterAlone();
    try
    {
        // The device reports through the router, which hands each report to the device
        // whose call is running; its bus reports straight to its own utility.
        a_pDevice->m_pDevice = new CZEV(a_pDevice->Bus(), &rlzev::CReportRouter::Instance(), a_pDevice->Status());
    }
    catch (...)
    {
        rlzev::CReportRouter::Instance().Install();
        rGate.LeaveAlone();
        throw;
    }
    rlzev::CReportRouter::Instance().Install();
    rGate.LeaveAlone();
    try
    {
        BuildCatalogue(*a_pDevice);
    }
    catch (...)
    {
        zev_destroy(a_pDevice.release());
        throw;
    }
    *a_ppDevice = a_pDevice.release();
    return ZEV_OK;
}

bool RangeOk(const zev_register& a_rRegister, uint32_t a_udwStart, uint32_t a_udwCount)
{
    const unsigned udwWords = a_rRegister.m_pRegister->GetWordCount();
    return a_udwStart <= udwWords && a_udwCount <= udwWords - a_udwStart;
}

zev_status RefuseRange(const zev_register& a_rRegister, uint32_t a_udwStart, uint32_t a_udwCount)
{
    return Fail(a_rRegister.m_pDevice, ZEV_BAD_ARGUMENT,
                a_rRegister.m_pRegister->GetName() + " has words 0 to " +
                    std::to_string(a_rRegister.m_pRegister->GetWordCount() - 1) + ": start " +
                    std::to_string(a_udwStart) + ", count " + std::to_string(a_udwCount));
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
        pDevice->m_pCallbackBus.reset(new CCallbackBus(pDevice->m_Host));
        pDevice->m_pCallbackStatus.reset(new CCallbackStatus(pDevice->m_Host));
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
    if (a_pDevice->m_pDevice != nullptr)
    {
        rlzev::CLibraryGate& rGate = rlzev::CLibraryGate::Instance();
        try
        {
            rGate.EnterAlone();
        }
        catch (...)
        {
            // From inside a device call: destroying now would pull a device from under it.
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "a device cannot be destroyed from inside a device call");
        }
        delete a_pDevice->m_pDevice;
        // The library empties the shared holder with every device it destroys.
        rlzev::CReportRouter::Instance().Install();
        rGate.LeaveAlone();
    }
    delete a_pDevice;
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_last_error(const zev_device* a_pDevice, char* a_pcText, uint32_t a_udwSize,
                                           uint32_t* a_pudwNeeded)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    try
    {
        // No device given: a buffer too small leaves the text as it was.
        return PutText(nullptr, a_pDevice->m_strLastError, a_pcText, a_udwSize, a_pudwNeeded, false);
    }
    catch (...)
    {
        return ZEV_HOST_FAULT;
    }
}

ZEV_API zev_status ZEV_CALL zev_fetch_text(zev_device* a_pDevice, char* a_pcText, uint32_t a_udwSize,
                                           uint32_t* a_pudwNeeded)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (!a_pDevice->m_bKept)
        return Fail(a_pDevice, ZEV_NOT_FOUND, "no text is kept: no call ran out of buffer since the last fetch");
    try
    {
        const zev_status iStatus = PutText(a_pDevice, a_pDevice->m_strKept, a_pcText, a_udwSize, a_pudwNeeded, false);
        if (iStatus == ZEV_OK)
        {
            a_pDevice->m_bKept = false;
            a_pDevice->m_strKept.clear();
        }
        return iStatus;
    }
    catch (...)
    {
        return Fault(a_pDevice);
    }
}

ZEV_API zev_status ZEV_CALL zev_device_identity(zev_device* a_pDevice, int32_t a_iWhich, char* a_pcText,
                                                uint32_t a_udwSize, uint32_t* a_pudwNeeded)
{
    return Call(a_pDevice, [&](CZEV& rDevice) {
        switch (a_iWhich)
        {
        case ZEV_IDENTITY_NAME: return PutText(a_pDevice, rDevice.GetName(), a_pcText, a_udwSize, a_pudwNeeded, false);
        case ZEV_IDENTITY_XML_VERSION:
            return PutText(a_pDevice, rDevice.GetXMLVersion(), a_pcText, a_udwSize, a_pudwNeeded, false);
        case ZEV_IDENTITY_GENERATOR_VERSION:
            return PutText(a_pDevice, rDevice.GetCodeGeneratorVersion(), a_pcText, a_udwSize, a_pudwNeeded, false);
        default: return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "no identity text " + std::to_string(a_iWhich));
        }
    });
}

ZEV_API zev_status ZEV_CALL zev_set_report_callbacks(zev_device* a_pDevice, zev_report_fn a_pReportError,
                                                     zev_report_fn a_pReportAccessDenied, void* a_pContext)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    a_pDevice->m_pReportError = a_pReportError;
    a_pDevice->m_pReportAccessDenied = a_pReportAccessDenied;
    a_pDevice->m_pReportContext = a_pContext;
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_report_count(const zev_device* a_pDevice, uint32_t* a_pudwCount)
{
    if (a_pDevice == nullptr || a_pudwCount == nullptr)
        return ZEV_BAD_ARGUMENT;
    *a_pudwCount = static_cast<uint32_t>(a_pDevice->m_Reports.size());
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_reports(const zev_device* a_pDevice, char* a_pcText, uint32_t a_udwSize,
                                        uint32_t* a_pudwNeeded)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    try
    {
        std::string strText;
        for (const std::string& rLine : a_pDevice->m_Reports)
            strText += rLine + "\n";
        return PutText(a_pDevice, strText, a_pcText, a_udwSize, a_pudwNeeded, false);
    }
    catch (...)
    {
        return Fault(a_pDevice);
    }
}

ZEV_API zev_status ZEV_CALL zev_clear_reports(zev_device* a_pDevice)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    a_pDevice->m_Reports.clear();
    return ZEV_OK;
}

// ---- Device-wide operations ----

ZEV_API zev_status ZEV_CALL zev_set_to_default(zev_device* a_pDevice)
{
    return Call(a_pDevice, [](CZEV& rDevice) {
        rDevice.SetToDefault();
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_lock(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal)
{
    return Call(a_pDevice, [&](CZEV& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, kNullName);
        std::string strError;
        if (!rDevice.Lock(a_pcRegister, a_pcSignal, strError))
            return Fail(a_pDevice, ZEV_REFUSED, strError);
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_unlock(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal)
{
    return Call(a_pDevice, [&](CZEV& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, kNullName);
        std::string strError;
        if (!rDevice.Unlock(a_pcRegister, a_pcSignal, strError))
            return Fail(a_pDevice, ZEV_REFUSED, strError);
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_lock_all(zev_device* a_pDevice)
{
    return Call(a_pDevice, [](CZEV& rDevice) {
        rDevice.LockAll();
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_unlock_all(zev_device* a_pDevice)
{
    return Call(a_pDevice, [](CZEV& rDevice) {
        rDevice.UnlockAll();
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_set_log_callback(zev_device* a_pDevice, zev_log_fn a_pLog, void* a_pContext)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    a_pDevice->m_LogLines.m_pLog = a_pLog;
    a_pDevice->m_LogLines.m_pContext = a_pContext;
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_logging(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                        int32_t a_iEnable)
{
    return Call(a_pDevice, [&](CZEV& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, kNullName);
        // The library takes unknown names without a word; a C host is told.
        const bool bAllRegisters = MeansAll(a_pcRegister);
        zev_register* pRegister = bAllRegisters ? nullptr : FindRegister(*a_pDevice, a_pcRegister);
        if (!bAllRegisters && pRegister == nullptr)
            return Fail(a_pDevice, ZEV_NOT_FOUND, std::string("Invalid register submitted: ") + a_pcRegister);
        if (!MeansAll(a_pcSignal))
        {
            bool bKnown = false;
            if (pRegister != nullptr)
                bKnown = FindSignal(*pRegister, a_pcSignal) != nullptr;
            for (std::size_t i = 0; pRegister == nullptr && !bKnown && i < a_pDevice->m_Registers.size(); ++i)
                bKnown = FindSignal(a_pDevice->m_Registers[i], a_pcSignal) != nullptr;
            if (!bKnown)
                return Fail(a_pDevice, ZEV_NOT_FOUND, std::string("Invalid signal submitted: ") + a_pcSignal);
        }
        rDevice.Logging(a_pcRegister, a_pcSignal, &a_pDevice->m_LogStream, a_iEnable != 0);
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_snapshot(zev_device* a_pDevice, char* a_pcText, uint32_t a_udwSize,
                                         uint32_t* a_pudwNeeded)
{
    return Call(a_pDevice, [&](CZEV& rDevice) {
        std::ostringstream Stream;
        rDevice.SnapShot(Stream);
        return PutText(a_pDevice, Stream.str(), a_pcText, a_udwSize, a_pudwNeeded, true);
    });
}

// ---- The text service by name ----

ZEV_API zev_status ZEV_CALL zev_service_read(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                             uint32_t a_udwStart, uint32_t a_udwCount, char* a_pcTexts,
                                             uint32_t a_udwSize, uint32_t* a_pudwNeeded, uint32_t* a_pudwTextCount)
{
    return Call(a_pDevice, [&](CZEV& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, kNullName);
        std::list<std::string> Texts;
        std::string strError;
        if (!rDevice.ServiceRead(a_pcRegister, a_pcSignal, Texts, strError, a_udwStart, a_udwCount))
            return Fail(a_pDevice, ZEV_REFUSED, strError);
        if (a_pudwTextCount != nullptr)
            *a_pudwTextCount = static_cast<uint32_t>(Texts.size());
        return PutText(a_pDevice, JoinTexts(Texts), a_pcTexts, a_udwSize, a_pudwNeeded, true);
    });
}

ZEV_API zev_status ZEV_CALL zev_service_write(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                              const char* a_pcValues, uint32_t a_udwStart)
{
    return Call(a_pDevice, [&](CZEV& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr || a_pcValues == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "a name or the values are a null pointer");
        std::string strError;
        if (!rDevice.ServiceWrite(a_pcRegister, a_pcSignal, SplitTexts(a_pcValues), strError, a_udwStart))
            return Fail(a_pDevice, ZEV_REFUSED, strError);
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_value_by_string(zev_device* a_pDevice, const char* a_pcRegister,
                                                const char* a_pcSignal, char* a_pcTexts, uint32_t a_udwSize,
                                                uint32_t* a_pudwNeeded)
{
    return Call(a_pDevice, [&](CZEV& rDevice) {
        if (a_pcRegister == nullptr || a_pcSignal == nullptr)
            return Fail(a_pDevice, ZEV_BAD_ARGUMENT, kNullName);
        const std::list<std::string> Texts = rDevice.GetValueByString(a_pcRegister, a_pcSignal);
        // The device answers an unknown name with one of these texts instead of a value.
        if (Texts.size() == 1 && (Texts.front() == "Register not found!" || Texts.front() == "Function not found!"))
            return Fail(a_pDevice, ZEV_NOT_FOUND, Texts.front());
        return PutText(a_pDevice, JoinTexts(Texts), a_pcTexts, a_udwSize, a_pudwNeeded, true);
    });
}

// ---- The catalogue ----

ZEV_API zev_status ZEV_CALL zev_register_count(const zev_device* a_pDevice, uint32_t* a_pudwCount)
{
    if (a_pDevice == nullptr || a_pudwCount == nullptr)
        return ZEV_BAD_ARGUMENT;
    *a_pudwCount = static_cast<uint32_t>(a_pDevice->m_Registers.size());
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_register_at(zev_device* a_pDevice, uint32_t a_udwIndex, zev_register** a_ppRegister)
{
    if (a_pDevice == nullptr || a_ppRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_udwIndex >= a_pDevice->m_Registers.size())
        return Fail(a_pDevice, ZEV_NOT_FOUND,
                    "no register " + std::to_string(a_udwIndex) + ": the device has " +
                        std::to_string(a_pDevice->m_Registers.size()));
    *a_ppRegister = &a_pDevice->m_Registers[a_udwIndex];
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_register_find(zev_device* a_pDevice, const char* a_pcName, zev_register** a_ppRegister)
{
    if (a_pDevice == nullptr || a_ppRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_pcName == nullptr)
        return Fail(a_pDevice, ZEV_BAD_ARGUMENT, kNullName);
    try
    {
        zev_register* pRegister = FindRegister(*a_pDevice, a_pcName);
        if (pRegister == nullptr)
            return Fail(a_pDevice, ZEV_NOT_FOUND, std::string("no register ") + a_pcName);
        *a_ppRegister = pRegister;
        return ZEV_OK;
    }
    catch (...)
    {
        return Fault(a_pDevice);
    }
}

ZEV_API zev_status ZEV_CALL zev_register_name(const zev_register* a_pRegister, char* a_pcText, uint32_t a_udwSize,
                                              uint32_t* a_pudwNeeded)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    return PutText(a_pRegister->m_pDevice, a_pRegister->m_pMap->m_pcName, a_pcText, a_udwSize, a_pudwNeeded, false);
}

ZEV_API zev_status ZEV_CALL zev_register_describe(const zev_register* a_pRegister, zev_register_info* a_pInfo)
{
    if (a_pRegister == nullptr || a_pInfo == nullptr)
        return ZEV_BAD_ARGUMENT;
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
}

ZEV_API zev_status ZEV_CALL zev_signal_at(zev_register* a_pRegister, uint32_t a_udwIndex, zev_signal** a_ppSignal)
{
    if (a_pRegister == nullptr || a_ppSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_udwIndex >= a_pRegister->m_udwSignalCount)
        return Fail(a_pRegister->m_pDevice, ZEV_NOT_FOUND,
                    "no signal " + std::to_string(a_udwIndex) + ": " + a_pRegister->m_pMap->m_pcName + " has " +
                        std::to_string(a_pRegister->m_udwSignalCount));
    *a_ppSignal = &a_pRegister->m_pSignals[a_udwIndex];
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_signal_find(zev_register* a_pRegister, const char* a_pcName, zev_signal** a_ppSignal)
{
    if (a_pRegister == nullptr || a_ppSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_pcName == nullptr)
        return Fail(a_pRegister->m_pDevice, ZEV_BAD_ARGUMENT, kNullName);
    zev_signal* pSignal = FindSignal(*a_pRegister, a_pcName);
    if (pSignal == nullptr)
        return Fail(a_pRegister->m_pDevice, ZEV_NOT_FOUND,
                    std::string(a_pRegister->m_pMap->m_pcName) + " has no signal " + a_pcName);
    *a_ppSignal = pSignal;
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_signal_lookup(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal,
                                              zev_signal** a_ppSignal)
{
    zev_register* pRegister = nullptr;
    const zev_status iStatus = zev_register_find(a_pDevice, a_pcRegister, &pRegister);
    return iStatus != ZEV_OK ? iStatus : zev_signal_find(pRegister, a_pcSignal, a_ppSignal);
}

ZEV_API zev_status ZEV_CALL zev_signal_name(const zev_signal* a_pSignal, char* a_pcText, uint32_t a_udwSize,
                                            uint32_t* a_pudwNeeded)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    return PutText(a_pSignal->m_pDevice, a_pSignal->m_pInfo->m_pcName, a_pcText, a_udwSize, a_pudwNeeded, false);
}

ZEV_API zev_status ZEV_CALL zev_signal_describe(const zev_signal* a_pSignal, zev_signal_info* a_pInfo)
{
    if (a_pSignal == nullptr || a_pInfo == nullptr)
        return ZEV_BAD_ARGUMENT;
    a_pInfo->low = a_pSignal->m_pSignal->GetLow();
    a_pInfo->width = a_pSignal->m_pInfo->m_udwWidth;
    a_pInfo->default_value = a_pSignal->m_pInfo->m_udwDefault;
    a_pInfo->max_value = a_pSignal->m_pSignal->GetMaxValue();
    a_pInfo->enumerator_count = a_pSignal->m_pInfo->m_udwEnumeratorCount;
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_signal_enumerator(const zev_signal* a_pSignal, uint32_t a_udwIndex, uint32_t* a_pudwValue,
                                                  char* a_pcName, uint32_t a_udwSize, uint32_t* a_pudwNeeded)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_udwIndex >= a_pSignal->m_pInfo->m_udwEnumeratorCount)
        return Fail(a_pSignal->m_pDevice, ZEV_NOT_FOUND,
                    "no enumerator " + std::to_string(a_udwIndex) + ": " + a_pSignal->m_pInfo->m_pcName + " has " +
                        std::to_string(a_pSignal->m_pInfo->m_udwEnumeratorCount));
    const SEnumerator& rEnumerator = *a_pSignal->m_ppEnumerators[a_udwIndex];
    if (a_pudwValue != nullptr)
        *a_pudwValue = rEnumerator.m_udwValue;
    return PutText(a_pSignal->m_pDevice, rEnumerator.m_pcName, a_pcName, a_udwSize, a_pudwNeeded, false);
}

ZEV_API zev_status ZEV_CALL zev_signal_enumerator_value(const zev_signal* a_pSignal, const char* a_pcName,
                                                        uint32_t* a_pudwValue)
{
    if (a_pSignal == nullptr || a_pudwValue == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_pcName == nullptr)
        return Fail(a_pSignal->m_pDevice, ZEV_BAD_ARGUMENT, kNullName);
    for (unsigned i = 0; i < a_pSignal->m_pInfo->m_udwEnumeratorCount; ++i)
        if (std::strcmp(a_pSignal->m_ppEnumerators[i]->m_pcName, a_pcName) == 0)
        {
            *a_pudwValue = a_pSignal->m_ppEnumerators[i]->m_udwValue;
            return ZEV_OK;
        }
    return Fail(a_pSignal->m_pDevice, ZEV_NOT_FOUND,
                std::string(a_pSignal->m_pInfo->m_pcName) + " has no enumerator " + a_pcName);
}

// ---- Typed access: the hot path ----

ZEV_API zev_status ZEV_CALL zev_signal_get(const zev_signal* a_pSignal, int32_t a_iReadHW, uint32_t* a_pudwValue)
{
    if (a_pSignal == nullptr || a_pudwValue == nullptr)
        return ZEV_BAD_ARGUMENT;
    try
    {
        *a_pudwValue = a_pSignal->m_pSignal->Get(a_iReadHW != 0);
        return ZEV_OK;
    }
    catch (...)
    {
        return Fault(a_pSignal->m_pDevice);
    }
}

ZEV_API zev_status ZEV_CALL zev_signal_set(zev_signal* a_pSignal, uint32_t a_udwValue, int32_t a_iMode,
                                           int32_t* a_piWritten)
{
    if (a_pSignal == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (a_udwValue > a_pSignal->m_udwLimit || (a_pSignal->m_bSparse && !Named(*a_pSignal, a_udwValue)))
        return RefuseValue(*a_pSignal, a_udwValue);
    // The library's rule for an unknown mode, kept without an out-of-range enumeration value.
    const CSignalBase::ESignalHwWrite eMode =
        a_iMode == ZEV_WRITE_IMMEDIATE    ? CSignalBase::HW_WRITE_IMMEDIATE
        : a_iMode == ZEV_WRITE_IF_CHANGED ? CSignalBase::HW_WRITE_IF_CHANGED
                                          : CSignalBase::HW_WRITE_DEFERRED;
    try
    {
        const bool bWritten = a_pSignal->m_pSignal->Set(a_udwValue, eMode);
        if (a_piWritten != nullptr)
            *a_piWritten = bWritten ? 1 : 0;
        return ZEV_OK;
    }
    catch (...)
    {
        return Fault(a_pSignal->m_pDevice);
    }
}

ZEV_API zev_status ZEV_CALL zev_signal_lock_state(const zev_signal* a_pSignal, uint32_t* a_pudwState)
{
    if (a_pSignal == nullptr || a_pudwState == nullptr)
        return ZEV_BAD_ARGUMENT;
    *a_pudwState = a_pSignal->m_pSignal->GetLockState();
    return ZEV_OK;
}

// ---- Whole registers and memories ----

ZEV_API zev_status ZEV_CALL zev_register_read(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                              uint32_t* a_pudwWords)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    return Call(a_pRegister->m_pDevice, [&](CZEV&) {
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
    return Call(a_pRegister->m_pDevice, [&](CZEV&) {
        if (a_udwCount == 0 || !RangeOk(*a_pRegister, a_udwStart, a_udwCount))
            return RefuseRange(*a_pRegister, a_udwStart, a_udwCount);
        if (a_pudwWords == nullptr)
            return Fail(a_pRegister->m_pDevice, ZEV_BAD_ARGUMENT, "the words are a null pointer");
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
    return Call(a_pRegister->m_pDevice, [&](CZEV&) {
        const bool bWritten = a_pRegister->m_pRegister->SetToDefault();
        if (a_piWritten != nullptr)
            *a_piWritten = bWritten ? 1 : 0;
        return ZEV_OK;
    });
}

ZEV_API zev_status ZEV_CALL zev_register_lock_state(const zev_register* a_pRegister, uint32_t* a_pudwState)
{
    if (a_pRegister == nullptr || a_pudwState == nullptr)
        return ZEV_BAD_ARGUMENT;
    *a_pudwState = a_pRegister->m_pRegister->GetLockState();
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_memory_get(zev_register* a_pRegister, uint32_t a_udwStart, uint32_t a_udwCount,
                                           int32_t a_iReadHW, uint32_t* a_pudwWords, int32_t* a_piRead)
{
    if (a_pRegister == nullptr)
        return ZEV_BAD_ARGUMENT;
    zev_device* pDevice = a_pRegister->m_pDevice;
    return Call(pDevice, [&](CZEV&) {
        if (!a_pRegister->IsMemory())
            return Fail(pDevice, ZEV_BAD_ARGUMENT, a_pRegister->m_pRegister->GetName() + " is not a memory");
        // The memory answers false both when it refuses (and reports why) and when it only
        // handed over its words: the report tells them apart.
        const unsigned long long uBefore = pDevice->m_uReportsMade;
        const bool bRead = a_pRegister->m_pParallelRam != nullptr
                               ? a_pRegister->m_pParallelRam->Get(a_pudwWords, a_udwStart, a_udwCount, a_iReadHW != 0)
                               : a_pRegister->m_pSequentialRam->Get(a_pudwWords, a_udwStart, a_udwCount, a_iReadHW != 0);
        if (!bRead && pDevice->m_uReportsMade != uBefore)
            return Fail(pDevice, ZEV_REFUSED, pDevice->m_strLastReport);
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
    return Call(pDevice, [&](CZEV&) {
        if (!a_pRegister->IsMemory())
            return Fail(pDevice, ZEV_BAD_ARGUMENT, a_pRegister->m_pRegister->GetName() + " is not a memory");
        const unsigned long long uBefore = pDevice->m_uReportsMade;
        const bool bWritten = a_pRegister->m_pParallelRam != nullptr
                                  ? a_pRegister->m_pParallelRam->Set(a_pudwWords, a_udwStart, a_udwCount, false)
                                  : a_pRegister->m_pSequentialRam->Set(a_pudwWords, a_udwStart, a_udwCount, false);
        if (!bWritten && pDevice->m_uReportsMade != uBefore)
            return Fail(pDevice, ZEV_REFUSED, pDevice->m_strLastReport);
        if (a_piWritten != nullptr)
            *a_piWritten = bWritten ? 1 : 0;
        return ZEV_OK;
    });
}

// ---- The simulated ZEV ----

ZEV_API zev_status ZEV_CALL zev_sim_peek(const zev_device* a_pDevice, uint32_t a_udwAddress, uint32_t* a_pudwWord)
{
    if (a_pDevice == nullptr || a_pudwWord == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (!a_pDevice->m_pSimBus)
        return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "not a simulated device");
    *a_pudwWord = a_pDevice->m_pSimBus->Peek(a_udwAddress);
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_sim_poke(zev_device* a_pDevice, uint32_t a_udwAddress, uint32_t a_udwWord)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (!a_pDevice->m_pSimBus)
        return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "not a simulated device");
    a_pDevice->m_pSimBus->Poke(a_udwAddress, a_udwWord);
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_sim_fail_reads(zev_device* a_pDevice, int32_t a_iCount)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (!a_pDevice->m_pSimBus)
        return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "not a simulated device");
    a_pDevice->m_pSimBus->m_iThrowOnRead = a_iCount;
    return ZEV_OK;
}

ZEV_API zev_status ZEV_CALL zev_sim_ready_after(zev_device* a_pDevice, uint32_t a_udwPolls)
{
    if (a_pDevice == nullptr)
        return ZEV_BAD_ARGUMENT;
    if (!a_pDevice->m_pSimBus)
        return Fail(a_pDevice, ZEV_BAD_ARGUMENT, "not a simulated device");
    a_pDevice->m_pSimBus->m_udwReadyAfterPolls = a_udwPolls;
    return ZEV_OK;
}

} // extern "C"
