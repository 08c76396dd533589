#include "DeviceService.h"

#include "HWDeviceBase.h"
#include "RegisterMap.h"
#include "Token.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>
#include <sstream>

using nlohmann::json;

namespace rlzev
{
namespace
{
const char* const kApi = "/api/v1/";

// A request that breaks a rule of the service; becomes a 400 with its text.
struct SBadRequest
{
    std::string m_strText;
};

SHttpResponse Answer(int a_iStatus, const json& a_rBody)
{
    return {a_iStatus, a_rBody.dump(-1, ' ', false, json::error_handler_t::replace), ""};
}

SHttpResponse Error(int a_iStatus, const std::string& a_strText)
{
    SHttpResponse Response = Answer(a_iStatus, {{"error", a_strText}});
    Response.m_strError = a_strText;
    return Response;
}

bool IsName(const std::string& a_strName)
{
    if (a_strName.empty() || a_strName.size() > CDeviceService::kMaxName)
        return false;
    for (char c : a_strName)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

// The body of a POST: an object with only the fields the operation knows.
json ParseBody(const std::string& a_strBody, const std::set<std::string>& a_rFields)
{
    json Body;
    try
    {
        Body = a_strBody.empty() ? json::object() : json::parse(a_strBody);
    }
    catch (const json::parse_error& e)
    {
        throw SBadRequest{std::string("malformed JSON body: ") + e.what()};
    }
    if (!Body.is_object())
        throw SBadRequest{"the body must be a JSON object"};
    for (const auto& Item : Body.items())
        if (a_rFields.count(Item.key()) == 0)
            throw SBadRequest{"unknown field '" + Item.key() + "'"};
    return Body;
}

std::string Name(const json& a_rBody, const char* a_pcField, bool a_bRequired)
{
    const auto It = a_rBody.find(a_pcField);
    if (It == a_rBody.end())
    {
        if (a_bRequired)
            throw SBadRequest{std::string("missing field '") + a_pcField + "'"};
        return "";
    }
    if (!It->is_string())
        throw SBadRequest{std::string("field '") + a_pcField + "' must be a string"};
    const std::string strName = It->get<std::string>();
    // An empty signal names the whole register.
    if (strName.empty() && !a_bRequired)
        return strName;
    if (!IsName(strName))
        throw SBadRequest{std::string("field '") + a_pcField + "' is not a register or signal name (letters, digits, '_', at most " +
                          std::to_string(CDeviceService::kMaxName) + ")"};
    return strName;
}

bool Unsigned(const json& a_rBody, const char* a_pcField, unsigned& a_rudwValue)
{
    const auto It = a_rBody.find(a_pcField);
    if (It == a_rBody.end())
        return false;
    if (!It->is_number_unsigned() || It->get<unsigned long long>() > 0xFFFFFFFFull)
        throw SBadRequest{std::string("field '") + a_pcField + "' must be an unsigned 32-bit integer"};
    a_rudwValue = It->get<unsigned>();
    return true;
}

bool Flag(const json& a_rBody, const char* a_pcField, bool a_bDefault)
{
    const auto It = a_rBody.find(a_pcField);
    if (It == a_rBody.end())
        return a_bDefault;
    if (!It->is_boolean())
        throw SBadRequest{std::string("field '") + a_pcField + "' must be true or false"};
    return It->get<bool>();
}

std::list<std::string> Values(const json& a_rBody)
{
    const auto It = a_rBody.find("values");
    if (It == a_rBody.end())
        throw SBadRequest{"missing field 'values'"};
    if (!It->is_array())
        throw SBadRequest{"field 'values' must be an array of value texts"};
    if (It->size() > CDeviceService::kMaxValues)
        throw SBadRequest{"too many values: at most " + std::to_string(CDeviceService::kMaxValues)};
    std::list<std::string> Texts;
    for (const json& Value : *It)
    {
        if (!Value.is_string())
            throw SBadRequest{"field 'values' must be an array of value texts"};
        const std::string strText = Value.get<std::string>();
        if (strText.empty() || strText.size() > CDeviceService::kMaxValueText)
            throw SBadRequest{"a value text has 1 to " + std::to_string(CDeviceService::kMaxValueText) + " characters"};
        for (char c : strText)
            if (c < '!' || c > '~')
                throw SBadRequest{"a value text has printable characters only, no spaces"};
        Texts.push_back(strText);
    }
    return Texts;
}

// A memory range must lie within the memory; a one-word register has no range.
void CheckRange(const std::string& a_strRegister, unsigned a_udwStart, unsigned long long a_uCount)
{
    const SMapRegister* pMap = FindMapRegister(a_strRegister);
    if (pMap == nullptr)
        return;  // the device refuses the name with its own text
    if (pMap->m_udwWords == 1)
    {
        if (a_udwStart != 0 || a_uCount > 1)
            throw SBadRequest{a_strRegister + " is a one-word register: no start or count beyond one word"};
        return;
    }
    if (a_udwStart > pMap->m_udwWords || a_uCount > pMap->m_udwWords - a_udwStart)
        throw SBadRequest{"range beyond the memory: " + a_strRegister + " has words 0 to " +
                          std::to_string(pMap->m_udwWords - 1) + ", the request " +
                          (a_uCount == 0 ? "starts at word " + std::to_string(a_udwStart)
                                         : "names words " + std::to_string(a_udwStart) + " to " +
                                               std::to_string(a_udwStart + a_uCount - 1))};
}

json Identity(const CHWDeviceBase& a_rDevice)
{
    return {{"name", a_rDevice.GetName()},
            {"xmlVersion", a_rDevice.GetXMLVersion()},
            {"generatorVersion", a_rDevice.GetCodeGeneratorVersion()}};
}

// A register as the generated map describes it, with its signals and their enumerators.
json MapEntry(const SMapRegister& a_rRegister)
{
    json Signals = json::array();
    for (unsigned i = 0; i < a_rRegister.m_udwSignalCount; ++i)
    {
        const SSignalInfo& Sig = a_rRegister.m_pSignals[i];
        json Enumerators = json::array();
        for (unsigned e = 0; e < Sig.m_udwEnumeratorCount; ++e)
            Enumerators.push_back({{"name", Sig.m_pEnumerators[e].m_pcName}, {"value", Sig.m_pEnumerators[e].m_udwValue}});
        const unsigned udwMax = Sig.m_udwWidth >= 32 ? 0xFFFFFFFFu : (1u << Sig.m_udwWidth) - 1;
        Signals.push_back({{"name", Sig.m_pcName}, {"low", Sig.m_udwLow}, {"high", Sig.m_udwLow + Sig.m_udwWidth - 1},
                           {"width", Sig.m_udwWidth}, {"default", Sig.m_udwDefault}, {"max", udwMax},
                           {"enumerators", std::move(Enumerators)}});
    }
    return {{"name", a_rRegister.m_pcName}, {"address", a_rRegister.m_udwAddress}, {"width", a_rRegister.m_udwWidth},
            {"access", a_rRegister.m_pcAccess}, {"words", a_rRegister.m_udwWords}, {"status", a_rRegister.m_bStatus},
            {"signals", std::move(Signals)}};
}

std::string Bearer(const std::string& a_strAuthorization)
{
    const std::string strPrefix = "Bearer ";
    return a_strAuthorization.compare(0, strPrefix.size(), strPrefix) == 0 ? a_strAuthorization.substr(strPrefix.size())
                                                                          : std::string();
}

const char* LockName(unsigned a_udwState)
{
    switch (a_udwState)
    {
    case UNLOCKED: return "UNLOCKED";
    case LOCKED: return "LOCKED";
    default: return "SERVICE_ACCESS";
    }
}

std::string UtcNow()
{
    const std::time_t Now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm Parts{};
#ifdef _WIN32
    gmtime_s(&Parts, &Now);
#else
    gmtime_r(&Now, &Parts);
#endif
    char acText[32];
    std::strftime(acText, sizeof acText, "%Y-%m-%dT%H:%M:%SZ", &Parts);
    return acText;
}

const std::set<std::string> kChanging = {"write", "lock", "unlock", "logging", "defaults"};
} // namespace

// What one request named, for the answer and the audit line.
struct CDeviceService::SCall
{
    std::string m_strOperation;
    json m_Audit = json::object();   // what the audit line names: register, signal, values, ...
    std::size_t m_uReports = 0;
};

Serialiser SerialiseWith(std::mutex& a_rMutex)
{
    return [&a_rMutex](const std::function<void()>& a_Call) {
        std::lock_guard<std::mutex> Lock(a_rMutex);
        a_Call();
    };
}

CDeviceService::CDeviceService(CHWDeviceBase& a_rDevice, CDeviceHooks& a_rHooks, Serialiser a_Serialise,
                               SServiceOptions a_Options)
    : m_rDevice(a_rDevice), m_rHooks(a_rHooks), m_Serialise(std::move(a_Serialise)), m_Options(std::move(a_Options))
{
}

bool CDeviceService::Authorised(const std::string& a_strAuthorization) const
{
    return SameToken(m_Options.m_strToken, Bearer(a_strAuthorization));
}

SHttpResponse CDeviceService::Handle(const SHttpRequest& a_rRequest)
{
    SCall Call;
    const std::string& strPath = a_rRequest.m_strPath;
    if (strPath.compare(0, std::char_traits<char>::length(kApi), kApi) == 0)
        Call.m_strOperation = strPath.substr(std::char_traits<char>::length(kApi));
    SHttpResponse Response;
    if (!Authorised(a_rRequest.m_strAuthorization))
        Response = Error(401, "missing or wrong token: send \"Authorization: Bearer <token>\"");
    else if (a_rRequest.m_strBody.size() > kMaxBody)
        Response = Error(413, "request body larger than " + std::to_string(kMaxBody) + " bytes");
    else
    {
        try
        {
            Response = Dispatch(a_rRequest, Call);
        }
        catch (const SBadRequest& Bad)
        {
            Response = Error(400, Bad.m_strText);
        }
    }
    if (kChanging.count(Call.m_strOperation) != 0)
        Audit(a_rRequest, Call, Response);
    return Response;
}

SHttpResponse CDeviceService::Dispatch(const SHttpRequest& a_rRequest, SCall& a_rCall)
{
    const std::string& strOp = a_rCall.m_strOperation;
    const bool bGet = a_rRequest.m_strMethod == "GET";
    const bool bPost = a_rRequest.m_strMethod == "POST";
    static const std::set<std::string> kGets = {"device", "registers", "map", "snapshot", "events"};
    static const std::set<std::string> kPosts = {"read", "write", "value", "lock", "unlock", "logging", "defaults"};
    const bool bDescribe = strOp.compare(0, 10, "registers/") == 0;
    if (kGets.count(strOp) == 0 && kPosts.count(strOp) == 0 && !bDescribe)
        return Error(404, "no such operation: " + a_rRequest.m_strPath);
    if ((kPosts.count(strOp) != 0 && !bPost) || (kPosts.count(strOp) == 0 && !bGet))
        return Error(405, a_rRequest.m_strMethod + " is not allowed for " + a_rRequest.m_strPath + ": use " +
                              (kPosts.count(strOp) != 0 ? "POST" : "GET"));
    if (m_Options.m_bReadOnly && kChanging.count(strOp) != 0)
        return Error(403, "the server is read-only: " + strOp + " is refused");
    if (bGet && !a_rRequest.m_strBody.empty())
        throw SBadRequest{"a GET has no body"};

    if (strOp == "device")
    {
        json Device = Identity(m_rDevice);
        Device["readOnly"] = m_Options.m_bReadOnly;
        return Answer(200, Device);
    }
    if (strOp == "map")
        return {200, MapText(), ""};
    if (strOp == "registers")
    {
        json List = json::array();
        for (unsigned i = 0; i < g_udwZevRegisterCount; ++i)
        {
            const SMapRegister& Reg = g_aZevRegisterMap[i];
            List.push_back({{"name", Reg.m_pcName}, {"address", Reg.m_udwAddress}, {"width", Reg.m_udwWidth},
                            {"access", Reg.m_pcAccess}, {"words", Reg.m_udwWords}, {"status", Reg.m_bStatus},
                            {"signals", Reg.m_udwSignalCount}});
        }
        return Answer(200, {{"registers", std::move(List)}});
    }
    if (bDescribe)
    {
        const std::string strName = strOp.substr(10);
        if (!IsName(strName))
            throw SBadRequest{"not a register name: " + strName};
        return Describe(strName);
    }
    if (strOp == "events")
        return Error(400, "the event stream is served over HTTP only");

    const bool bTraceQuery = a_rRequest.m_strQuery == "trace=1" || a_rRequest.m_strQuery == "trace=true";
    if (strOp == "snapshot")
        return RunOnDevice(a_rCall, bTraceQuery, [this](json& a_rOut, std::string&) {
            std::ostringstream Text;
            m_rDevice.SnapShot(Text);
            a_rOut["snapshot"] = Text.str();
            return true;
        });

    static const std::set<std::string> kRead = {"register", "signal", "start", "count", "trace"};
    static const std::set<std::string> kWrite = {"register", "signal", "values", "start", "trace"};
    static const std::set<std::string> kNames = {"register", "signal", "trace"};
    static const std::set<std::string> kLogging = {"register", "signal", "enable", "trace"};
    static const std::set<std::string> kDefaults = {"trace"};
    const std::set<std::string>& rFields = strOp == "read"      ? kRead
                                           : strOp == "write"   ? kWrite
                                           : strOp == "logging" ? kLogging
                                           : strOp == "defaults" ? kDefaults
                                                                 : kNames;
    const json Body = ParseBody(a_rRequest.m_strBody, rFields);
    const bool bTrace = Flag(Body, "trace", false);
    if (strOp == "defaults")
        return RunOnDevice(a_rCall, bTrace, [this](json& a_rOut, std::string&) {
            a_rOut["result"] = m_rDevice.SetToDefault();
            return true;
        });

    // Every other operation names a register and a signal ("ALL"/"all" where the device allows).
    const std::string strRegister = Name(Body, "register", true);
    const std::string strSignal = Name(Body, "signal", strOp != "read" && strOp != "write");
    a_rCall.m_Audit["register"] = strRegister;
    a_rCall.m_Audit["signal"] = strSignal;
    if (strOp == "read")
    {
        unsigned udwStart = 0, udwCount = 1;
        Unsigned(Body, "start", udwStart);
        const SMapRegister* pMap = FindMapRegister(strRegister);
        if (!Unsigned(Body, "count", udwCount) && pMap != nullptr && pMap->m_udwWords > 1)
            udwCount = udwStart < pMap->m_udwWords ? pMap->m_udwWords - udwStart : 0;  // the rest of the memory
        CheckRange(strRegister, udwStart, udwCount);
        return RunOnDevice(a_rCall, bTrace, [&](json& a_rOut, std::string& a_rError) {
            std::list<std::string> Texts;
            const bool bOk = m_rDevice.ServiceRead(strRegister, strSignal, Texts, a_rError, udwStart, udwCount);
            a_rOut["values"] = Texts;
            return bOk;
        });
    }
    if (strOp == "write")
    {
        unsigned udwStart = 0;
        Unsigned(Body, "start", udwStart);
        const std::list<std::string> Texts = Values(Body);
        a_rCall.m_Audit["start"] = udwStart;
        a_rCall.m_Audit["values"] = Texts.size() <= 16 ? json(Texts) : json(std::to_string(Texts.size()) + " values");
        CheckRange(strRegister, udwStart, strSignal.empty() ? Texts.size() : 0);
        return RunOnDevice(a_rCall, bTrace, [&](json&, std::string& a_rError) {
            return m_rDevice.ServiceWrite(strRegister, strSignal, Texts, a_rError, udwStart);
        });
    }
    if (strOp == "value")
        return RunOnDevice(a_rCall, bTrace, [&](json& a_rOut, std::string& a_rError) {
            const std::list<std::string> Texts = m_rDevice.GetValueByString(strRegister, strSignal);
            // The device answers an unknown name with one of these texts instead of a value.
            if (Texts.size() == 1 && (Texts.front() == "Register not found!" || Texts.front() == "Function not found!"))
            {
                a_rError = Texts.front();
                return false;
            }
            a_rOut["values"] = Texts;
            return true;
        });
    if (strOp == "lock" || strOp == "unlock")
        return RunOnDevice(a_rCall, bTrace, [&](json&, std::string& a_rError) {
            return strOp == "lock" ? m_rDevice.Lock(strRegister, strSignal, a_rError)
                                   : m_rDevice.Unlock(strRegister, strSignal, a_rError);
        });
    // logging
    const bool bEnable = Flag(Body, "enable", true);
    a_rCall.m_Audit["enable"] = bEnable;
    return RunOnDevice(a_rCall, bTrace, [&](json&, std::string& a_rError) {
        if (m_rDevice.Logging(strRegister, strSignal, &m_rHooks.LogStream(), bEnable))
            return true;
        a_rError = "Logging refused: no register " + strRegister + " with signal " + strSignal;
        return false;
    });
}

SHttpResponse CDeviceService::Describe(const std::string& a_strRegister)
{
    const SMapRegister* pMap = FindMapRegister(a_strRegister);
    if (pMap == nullptr)
        return Error(404, "Invalid register submitted: " + a_strRegister);
    json Body = MapEntry(*pMap);
    json& Signals = Body["signals"];
    // Lock states are the device's; looked at without a transfer.
    m_Serialise([&] {
        for (const CRegisterBase* pRegister : m_rDevice.GetRegisters())
        {
            if (pRegister->GetName() != a_strRegister)
                continue;
            Body["lock"] = LockName(pRegister->GetLockState());
            if (pRegister->GetWordCount() == 1)
                Body["hardwareWord"] = *pRegister->GetHwImage();  // as last read or written
            for (const CSignalBase* pSignal : pRegister->GetSignals())
                for (json& Signal : Signals)
                    if (Signal["name"] == pSignal->GetName())
                        Signal["lock"] = LockName(pSignal->GetLockState());
            break;
        }
    });
    return Answer(200, Body);
}

std::string CDeviceService::MapText() const
{
    json Registers = json::array();
    for (unsigned i = 0; i < g_udwZevRegisterCount; ++i)
        Registers.push_back(MapEntry(g_aZevRegisterMap[i]));
    return json{{"device", Identity(m_rDevice)}, {"registers", std::move(Registers)}}.dump();
}

SHttpResponse CDeviceService::RunOnDevice(SCall& a_rCall, bool a_bTrace,
                                          const std::function<bool(json&, std::string&)>& a_Operation)
{
    json Out = json::object();
    json Kept;
    std::string strError, strFault;
    bool bOk = false;
    m_Serialise([&] {
        m_rHooks.BeginCall(a_bTrace);
        try
        {
            bOk = a_Operation(Out, strError);
        }
        catch (const std::exception& e)
        {
            strFault = std::string("host fault: ") + e.what();
        }
        catch (...)
        {
            strFault = "host fault: unknown exception";
        }
        Kept = m_rHooks.EndCall();
    });
    Out["reports"] = std::move(Kept["reports"]);
    if (a_bTrace)
        Out["events"] = std::move(Kept["events"]);
    int iStatus = 200;
    if (!strFault.empty())
    {
        iStatus = 500;
        strError = strFault;
    }
    else if (!bOk)
    {
        iStatus = 422;
    }
    if (iStatus != 200)
        Out["error"] = strError;
    a_rCall.m_uReports = Out["reports"].size();
    SHttpResponse Response = Answer(iStatus, Out);
    if (iStatus != 200)
        Response.m_strError = strError;
    return Response;
}

void CDeviceService::Audit(const SHttpRequest& a_rRequest, const SCall& a_rCall, const SHttpResponse& a_rResponse)
{
    if (m_Options.m_pAudit == nullptr)
        return;
    json Line = {{"time", UtcNow()}, {"client", a_rRequest.m_strClient}, {"operation", a_rCall.m_strOperation}};
    Line.update(a_rCall.m_Audit);
    Line["status"] = a_rResponse.m_iStatus;
    Line["result"] = a_rResponse.m_iStatus != 200 ? a_rResponse.m_strError
                     : a_rCall.m_uReports > 0  ? "ok with " + std::to_string(a_rCall.m_uReports) + " report(s)"
                                               : std::string("ok");
    std::lock_guard<std::mutex> Lock(m_AuditMutex);
    *m_Options.m_pAudit << Line.dump(-1, ' ', false, json::error_handler_t::replace) << '\n' << std::flush;
}
} // namespace rlzev
