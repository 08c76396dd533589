#include "DeviceService.h"

#include "BadRequest.h"
#include "Console.h"
#include "SignalBase.h"
#include "Token.h"

#include <algorithm>
#include <functional>
#include <set>

using nlohmann::json;

namespace rlzev
{
namespace
{
const std::string kApi = "/api/v1/";

SHttpResponse Answer(int a_iStatus, const json& a_rBody)
{
    SHttpResponse Response;
    Response.m_iStatus = a_iStatus;
    Response.m_strBody = a_rBody.dump(-1, ' ', false, json::error_handler_t::replace);
    return Response;
}

SHttpResponse Error(int a_iStatus, const std::string& a_strText)
{
    SHttpResponse Response = Answer(a_iStatus, {{"error", a_strText}});
    Response.m_strError = a_strText;
    return Response;
}

// A change that could not be audited is not made.
SHttpResponse AuditFailing()
{
    return Error(503, "the audit log could not be written: changes are refused until it can be (each refusal "
                      "tries it again)");
}

// The operations a GET reaches.
const std::set<std::string> kGets = {"device", "registers", "map", "snapshot", "events"};

// The operations a POST reaches by name: every row of the runtime's table but the
// snapshot, which is a GET.
const SOperationRow* PostedOperation(const std::string& a_strName)
{
    const SOperationRow* pRow = FindOperation(a_strName);
    return pRow == nullptr || pRow->m_eOperation == EOperation::SNAPSHOT ? nullptr : pRow;
}

// "sets/save", "sets/compare", "sets/apply": the register sets' operations under the API.
const CRegisterSets::SSetOperation* SetOperation(const std::string& a_strOperation)
{
    return a_strOperation.compare(0, 5, "sets/") == 0 ? CRegisterSets::Find(a_strOperation.substr(5)) : nullptr;
}

// A typed read that reads the hardware hands the application a new word: not on a
// read-only server. Looked at before the body is checked, for a batch's refusal.
bool AsksChange(const SOperationRow& a_rRow, const json& a_rItem)
{
    if (a_rRow.m_bChanging)
        return true;
    const auto It = a_rItem.find("readHw");
    return Takes(a_rRow, EArgument::READ_HW) && It != a_rItem.end() && It->is_boolean() && It->get<bool>();
}

std::set<std::string> Fields(const SOperationRow& a_rRow)
{
    std::set<std::string> Names;
    for (const SArgumentSpec& rSpec : a_rRow.m_Arguments)
        Names.insert(rSpec.m_pcName);
    return Names;
}

void CheckFields(const json& a_rBody, const std::set<std::string>& a_rFields, const char* a_pcExtra)
{
    if (!a_rBody.is_object())
        throw SBadRequest{"the body must be a JSON object"};
    for (const auto& Item : a_rBody.items())
        if (a_rFields.count(Item.key()) == 0 && Item.key() != a_pcExtra)
            throw SBadRequest{"unknown field '" + Item.key() + "'"};
}

std::string Name(const json& a_rBody, const char* a_pcField, bool a_bMayBeEmpty)
{
    const auto It = a_rBody.find(a_pcField);
    if (It == a_rBody.end())
        return "";
    if (!It->is_string())
        throw SBadRequest{std::string("field '") + a_pcField + "' must be a string"};
    const std::string strName = It->get<std::string>();
    // An empty signal names the whole register.
    if (strName.empty() && a_bMayBeEmpty)
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

// A HEAD is answered as its GET (the server leaves out the body); a refusal names it as sent.
bool IsGet(const SHttpRequest& a_rRequest)
{
    return a_rRequest.m_strMethod == "GET" || a_rRequest.m_strMethod == "HEAD";
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

std::vector<std::string> Values(const json& a_rBody)
{
    const auto It = a_rBody.find("values");
    if (It == a_rBody.end())
        return {};
    if (!It->is_array())
        throw SBadRequest{"field 'values' must be an array of value texts", "values"};
    if (It->size() > CDeviceService::kMaxValues)
        throw SBadRequest{TooManyValuesText(), "values"};
    std::vector<std::string> Texts;
    Texts.reserve(It->size());
    for (const json& Value : *It)
    {
        if (!Value.is_string())
            throw SBadRequest{"field 'values' must be an array of value texts", "values"};
        // What a value text may be is the operation table's check, as for every door.
        Texts.push_back(Value.get_ref<const std::string&>());
    }
    return Texts;
}

std::vector<unsigned> Words(const json& a_rBody)
{
    const auto It = a_rBody.find("words");
    if (It == a_rBody.end())
        return {};
    if (!It->is_array())
        throw SBadRequest{"field 'words' must be an array of unsigned 32-bit integers", "words"};
    if (It->size() > CDeviceService::kMaxWords)
        throw SBadRequest{TooManyWordsText(), "words"};
    std::vector<unsigned> Result;
    Result.reserve(It->size());
    for (const json& Word : *It)
    {
        if (!Word.is_number_unsigned() || Word.get<unsigned long long>() > 0xFFFFFFFFull)
            throw SBadRequest{"field 'words' must be an array of unsigned 32-bit integers", "words"};
        Result.push_back(Word.get<unsigned>());
    }
    return Result;
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

int StatusOf(const SOutcome& a_rOutcome)
{
    switch (a_rOutcome.m_eStatus)
    {
    case SOutcome::DONE: return 200;
    case SOutcome::REFUSED: return 422;
    case SOutcome::FAULT: return 500;
    default: return 424;  // not run: an earlier operation of the batch faulted
    }
}

bool AcceptsGzip(const std::string& a_strAcceptEncoding)
{
    return a_strAcceptEncoding.find("gzip") != std::string::npos;
}

SHttpResponse StaticFile(const SConsoleFile& a_rFile, const SHttpRequest& a_rRequest)
{
    SHttpResponse Response;
    Response.m_strContentType = a_rFile.m_pcType;
    Response.m_strEtag = a_rFile.m_pcEtag;
    if (a_rRequest.m_strIfNoneMatch == a_rFile.m_pcEtag)
    {
        Response.m_iStatus = 304;
        return Response;
    }
    if (AcceptsGzip(a_rRequest.m_strAcceptEncoding))
    {
        Response.m_strBody.assign(reinterpret_cast<const char*>(a_rFile.m_pGzip), a_rFile.m_uGzipSize);
        Response.m_strContentEncoding = "gzip";
    }
    else
    {
        Response.m_strBody.assign(reinterpret_cast<const char*>(a_rFile.m_pData), a_rFile.m_uSize);
    }
    return Response;
}
} // namespace

// What one request asked of the device, for its answer and its audit line.
struct CDeviceService::SRequestParts
{
    std::string m_strOperation;  // the path after /api/v1/
    bool m_bBatch = false;
    bool m_bTrace = false;
    bool m_bChanging = false;    // it asks for a change: it leaves an audit line
    bool m_bAudited = false;     // its line is written
    std::vector<SOperation> m_Operations;
    std::vector<const SOperationRow*> m_Kinds;  // each posted operation's, for a batch's audit line
    json m_Asked = json::array();  // a batch's changes as posted, for the line of one refused whole
    std::size_t m_uAsked = 0;      // and how many operations it posted
    json m_Audit = json::object();  // what the audit line names of a single operation
};

CDeviceService::CDeviceService(CDeviceRuntime& a_rRuntime, SServiceOptions a_Options)
    : m_rRuntime(a_rRuntime), m_Options(std::move(a_Options)), m_Audit(m_Options.m_pAudit),
      m_Served(ServeMap(a_rRuntime.Catalogue())), m_Map(json::parse(m_Served.m_strJson)), m_Sets(a_rRuntime, m_Map),
      m_strInstance(NewToken().substr(0, 16))
{
    json List = json::array();
    for (const SRegisterEntry& rRegister : a_rRuntime.Catalogue().Registers())
        List.push_back({{"name", rRegister.m_strName}, {"address", rRegister.m_udwAddress}, {"width", rRegister.m_udwWidth},
                        {"access", rRegister.m_strAccess}, {"words", rRegister.m_udwWords}, {"status", rRegister.m_bStatus},
                        {"signals", rRegister.m_Signals.size()}});
    m_strRegisterList = json{{"registers", std::move(List)}}.dump();
    m_rRuntime.AddObserver(m_Hub);
}

CDeviceService::~CDeviceService()
{
    m_rRuntime.RemoveObserver(m_Hub);
}

bool CDeviceService::Authorised(const std::string& a_strAuthorization) const
{
    return SameToken(m_Options.m_strToken, Bearer(a_strAuthorization));
}

bool CDeviceService::IsPublic(const std::string& a_strPath)
{
    return a_strPath == "/reference.js" || FindConsoleFile(a_strPath) != nullptr;
}

bool CDeviceService::IsChanging(const std::string& a_strPath)
{
    if (a_strPath.compare(0, kApi.size(), kApi) != 0)
        return false;
    const std::string strOperation = a_strPath.substr(kApi.size());
    const SOperationRow* pRow = PostedOperation(strOperation);
    const CRegisterSets::SSetOperation* pSets = SetOperation(strOperation);
    return strOperation == "batch" || (pSets != nullptr && pSets->m_bChanging) || (pRow != nullptr && pRow->m_bChanging);
}

std::string CDeviceService::OperationOf(const std::string& a_strPath)
{
    if (a_strPath.compare(0, kApi.size(), kApi) != 0)
        return "unknown";
    const std::string strOperation = a_strPath.substr(kApi.size());
    if (kGets.count(strOperation) != 0 || strOperation == "batch" || SetOperation(strOperation) != nullptr)
        return strOperation;
    if (strOperation.compare(0, 10, "registers/") == 0)
        return "describe";
    const SOperationRow* pRow = PostedOperation(strOperation);
    return pRow != nullptr ? pRow->m_pcName : "unknown";
}

SHttpResponse CDeviceService::Handle(const SHttpRequest& a_rRequest)
{
    const std::string& strPath = a_rRequest.m_strPath;
    if (IsGet(a_rRequest) && IsPublic(strPath))
    {
        if (strPath == "/reference.js")
        {
            SHttpResponse Response;
            Response.m_strBody = kServedReferenceScript;
            Response.m_strContentType = "text/javascript; charset=utf-8";
            Response.m_bConsoleFile = true;
            return Response;
        }
        const SConsoleFile& rFile = *FindConsoleFile(strPath);
        SHttpResponse Response = StaticFile(rFile, a_rRequest);
        Response.m_bConsoleFile = true;
        Response.m_strInline = rFile.m_pcInline;
        return Response;
    }
    if (!Authorised(a_rRequest.m_strAuthorization))
    {
        m_Audit.RefusedToken(a_rRequest.m_strClient);
        return Error(401, "missing or wrong token: send \"Authorization: Bearer <token>\"");
    }
    SRequestParts Parts;
    if (strPath.compare(0, kApi.size(), kApi) == 0)
        Parts.m_strOperation = strPath.substr(kApi.size());
    Parts.m_bChanging = IsChanging(strPath) && Parts.m_strOperation != "batch";
    SHttpResponse Response;
    // A changing request with its client's id is carried out once: a repeat gets the answer.
    const std::string& strId = a_rRequest.m_strRequestId;
    const bool bRemember = !strId.empty() && a_rRequest.m_strMethod == "POST" && IsChanging(strPath);
    const std::size_t uDigest = std::hash<std::string>{}(strPath + '\n' + a_rRequest.m_strBody);
    CAnswered::EFound eFound = CAnswered::EFound::NONE;
    if (!a_rRequest.m_strInstance.empty() && a_rRequest.m_strInstance != m_strInstance)
        Response = Error(412, "the server restarted (run " + m_strInstance + ", not " + a_rRequest.m_strInstance.substr(0, 16) +
                                  "): the values and locks set before are gone");
    else if (bRemember && !CAnswered::IsId(strId))
        Response = Error(400, "ZEV-Request-Id has 1 to 64 letters, digits, '-', '_' or '.'");
    else if (bRemember && (eFound = m_Answered.Find(strId, uDigest, Response)) == CAnswered::EFound::SAME)
        return Response;  // carried out before and audited then: this changes nothing
    else if (eFound == CAnswered::EFound::ANOTHER)
        Response = Error(400, "ZEV-Request-Id " + strId + " was given to another request");
    else if (Parts.m_bChanging && m_Audit.Failing())
        Response = AuditFailing();  // a batch is looked at first: its reads are still served
    else if (a_rRequest.m_strBody.size() > kMaxBody)
    {
        Response = Error(413, "request body larger than " + std::to_string(kMaxBody) + " bytes");
    }
    else
    {
        try
        {
            Response = Dispatch(a_rRequest, Parts);
        }
        catch (const SBadRequest& Bad)
        {
            Response = Error(400, Bad.m_strText);
            // Which argument the device's check refused: a client raises as it would in-process.
            if (!Bad.m_strArgument.empty())
                Response.m_strBody = json{{"error", Bad.m_strText}, {"argument", Bad.m_strArgument}}.dump(
                    -1, ' ', false, json::error_handler_t::replace);
        }
    }
    if (Parts.m_bChanging && !Parts.m_bAudited)
        AuditLine(a_rRequest, Parts, Response.m_iStatus, Response.m_strError);
    // Kept only what was carried out and changed, or may have: a request refused for a
    // restart did nothing (its id stays free), a batch of reads may simply be asked again.
    const bool bAskedChange = Parts.m_strOperation != "batch" ||
                              std::any_of(Parts.m_Operations.begin(), Parts.m_Operations.end(),
                                          [](const SOperation& a_rOperation) { return rlzev::Changes(a_rOperation); });
    if (bRemember && eFound == CAnswered::EFound::NONE && CAnswered::IsId(strId) && Response.m_iStatus != 412 &&
        bAskedChange)
        m_Answered.Keep(strId, uDigest, Response);
    return Response;
}

void CDeviceService::AuditRefused(const SHttpRequest& a_rRequest, int a_iStatus, const std::string& a_strError)
{
    if (!IsChanging(a_rRequest.m_strPath))
        return;
    SRequestParts Parts;
    Parts.m_strOperation = a_rRequest.m_strPath.substr(kApi.size());
    AuditLine(a_rRequest, Parts, a_iStatus, a_strError);
}

void CDeviceService::AuditLine(const SHttpRequest& a_rRequest, const SRequestParts& a_rParts, int a_iStatus,
                               const std::string& a_strResult)
{
    json Line = {{"client", a_rRequest.m_strClient}, {"operation", a_rParts.m_strOperation}};
    if (a_rParts.m_bBatch)
    {
        // A batch refused before it ran names what it asked, not the part checked so far.
        const bool bChecked = a_rParts.m_Operations.size() == a_rParts.m_uAsked;
        json Changes = bChecked ? json::array() : a_rParts.m_Asked;
        for (std::size_t i = 0; bChecked && i < a_rParts.m_Operations.size(); ++i)
        {
            if (!rlzev::Changes(a_rParts.m_Operations[i]))
                continue;
            const SOperation& rOperation = a_rParts.m_Operations[i];
            json Change = {{"op", a_rParts.m_Kinds[i]->m_pcName}};
            if (rOperation.m_eOperation != EOperation::DEFAULTS)
                Change["register"] = rOperation.m_strRegister;
            if (!rOperation.m_strSignal.empty())
                Change["signal"] = rOperation.m_strSignal;
            if (!rOperation.m_Values.empty())
                Change["values"] = rOperation.m_Values;
            if (!rOperation.m_Words.empty())
                Change["words"] = rOperation.m_Words.size();
            Changes.push_back(std::move(Change));
        }
        Line["operations"] = std::move(Changes);
        Line["count"] = bChecked ? a_rParts.m_Operations.size() : a_rParts.m_uAsked;
    }
    else
    {
        Line.update(a_rParts.m_Audit);
    }
    Line["status"] = a_iStatus;
    Line["result"] = a_strResult.empty() ? "ok" : a_strResult;
    m_Audit.Write(std::move(Line));
}

SHttpResponse CDeviceService::Dispatch(const SHttpRequest& a_rRequest, SRequestParts& a_rParts)
{
    const std::string& strOperation = a_rParts.m_strOperation;
    const bool bGet = IsGet(a_rRequest);
    const bool bPost = a_rRequest.m_strMethod == "POST";
    const SOperationRow* pKind = PostedOperation(strOperation);
    const CRegisterSets::SSetOperation* pSets = SetOperation(strOperation);
    const bool bPostOperation = pKind != nullptr || strOperation == "batch" || pSets != nullptr;
    const bool bDescribe = strOperation.compare(0, 10, "registers/") == 0;
    if (kGets.count(strOperation) == 0 && !bPostOperation && !bDescribe)
        return Error(404, "no such operation: " + a_rRequest.m_strPath);
    if ((bPostOperation && !bPost) || (!bPostOperation && !bGet))
        return Error(405, a_rRequest.m_strMethod + " is not allowed for " + a_rRequest.m_strPath + ": use " +
                              (bPostOperation ? "POST" : "GET"));
    if (m_Options.m_bReadOnly && ((pKind != nullptr && pKind->m_bChanging) || (pSets != nullptr && pSets->m_bChanging)))
        return Error(403, "the server is read-only: " + strOperation + " is refused");
    if (bGet && !a_rRequest.m_strBody.empty())
        throw SBadRequest{"a GET has no body"};

    if (strOperation == "device")
    {
        json Device = m_Map["device"];
        Device["readOnly"] = m_Options.m_bReadOnly;
        // What one request may carry, for a client that splits a large write.
        Device["limits"] = {{"words", SLimits::kMaxWords}, {"operations", SLimits::kMaxOperations}, {"bodyBytes", kMaxBody}};
        return Answer(200, Device);
    }
    if (strOperation == "map")
    {
        SHttpResponse Response;
        Response.m_strEtag = m_Served.m_strEtag;
        if (a_rRequest.m_strIfNoneMatch == m_Served.m_strEtag)
            Response.m_iStatus = 304;
        else if (AcceptsGzip(a_rRequest.m_strAcceptEncoding))
            Response.m_strBody = m_Served.m_strGzip, Response.m_strContentEncoding = "gzip";
        else
            Response.m_strBody = m_Served.m_strJson;
        return Response;
    }
    if (strOperation == "registers")
    {
        SHttpResponse Response;
        Response.m_strBody = m_strRegisterList;
        return Response;
    }
    if (bDescribe)
    {
        const std::string strName = strOperation.substr(10);
        if (!IsName(strName))
            throw SBadRequest{"not a register name: " + strName};
        return Describe(strName);
    }
    if (strOperation == "events")
        return Error(400, "the event stream is served over HTTP only");
    if (strOperation == "snapshot")
    {
        a_rParts.m_bTrace = a_rRequest.m_strQuery == "trace=1" || a_rRequest.m_strQuery == "trace=true";
        SOperation Snapshot;
        Snapshot.m_eOperation = EOperation::SNAPSHOT;
        a_rParts.m_Operations.push_back(Snapshot);
        return RunOperations(a_rRequest, a_rParts);
    }

    const json Body = a_rRequest.m_strBody.empty() ? json::object() : ParseBody(a_rRequest.m_strBody);
    if (pSets != nullptr)
    {
        json Out;
        const int iStatus = m_Sets.Run(pSets->m_pcName, Body, Out, [&](int a_iStatus, const std::string& a_strResult) {
            // Only ever called on an apply of a set found whole: its registers are there.
            a_rParts.m_Audit["registers"] = Body["set"]["registers"].size();
            AuditLine(a_rRequest, a_rParts, a_iStatus, a_strResult);
            a_rParts.m_bAudited = true;
        });
        return Answer(iStatus, Out);
    }
    std::vector<std::pair<const SOperationRow*, const json*>> Requested;
    if (strOperation == "batch")
    {
        a_rParts.m_bBatch = true;
        bool bChanges = false;  // changing operations, or typed reads that hand the application a word
        // Before anything is checked: does it ask for a change? Then even its refusal is audited.
        const auto Items = Body.is_object() ? Body.find("operations") : Body.end();
        if (Items != Body.end() && Items->is_array())
        {
            a_rParts.m_uAsked = Items->size();
            for (const json& Item : *Items)
                if (Item.is_object() && Item.contains("op") && Item["op"].is_string())
                {
                    const SOperationRow* pItemKind = PostedOperation(Item["op"].get<std::string>());
                    if (pItemKind == nullptr || !AsksChange(*pItemKind, Item))
                        continue;
                    bChanges = a_rParts.m_bChanging = true;
                    json Asked = {{"op", pItemKind->m_pcName}};
                    for (const char* pcName : {"register", "signal"})
                        if (Item.contains(pcName) && Item[pcName].is_string())
                            Asked[pcName] = Item[pcName].get<std::string>().substr(0, kMaxName);
                    a_rParts.m_Asked.push_back(std::move(Asked));
                }
        }
        if (bChanges && m_Audit.Failing())
            return AuditFailing();  // before the operations' checks, as any change is refused
        CheckFields(Body, {"operations"}, "trace");
        if (Items == Body.end() || !Items->is_array())
            throw SBadRequest{"field 'operations' must be an array of operations"};
        if (Items->empty() || Items->size() > kMaxOperations)
            throw SBadRequest{"a batch has 1 to " + std::to_string(kMaxOperations) + " operations"};
        for (const json& Item : *Items)
        {
            if (!Item.is_object() || !Item.contains("op") || !Item["op"].is_string())
                throw SBadRequest{"each operation is an object with its 'op'"};
            const SOperationRow* pItemKind = PostedOperation(Item["op"].get<std::string>());
            if (pItemKind == nullptr)
                throw SBadRequest{"no such operation: " + Item["op"].get<std::string>()};
            CheckFields(Item, Fields(*pItemKind), "op");
            Requested.emplace_back(pItemKind, &Item);
        }
        if (m_Options.m_bReadOnly && bChanges)
            return Error(403, "the server is read-only: a batch with changing operations is refused");
    }
    else
    {
        // A typed read of the hardware hands the application a new word: a change, audited.
        a_rParts.m_bChanging = a_rParts.m_bChanging || AsksChange(*pKind, Body);
        if (a_rParts.m_bChanging && m_Audit.Failing())
            return AuditFailing();  // before the fields, as any change is refused
        CheckFields(Body, Fields(*pKind), "trace");
        if (m_Options.m_bReadOnly && AsksChange(*pKind, Body))
            return Error(403, "the server is read-only: " + strOperation + " that reads the hardware is refused");
        Requested.emplace_back(pKind, &Body);
    }
    a_rParts.m_bTrace = Flag(Body, "trace", false);

    // Every operation is checked before any reaches the device.
    SBudget Budget;
    for (const auto& rItem : Requested)
    {
        const SOperationRow& rKind = *rItem.first;
        const json& rBody = *rItem.second;
        SOperation Operation;
        Operation.m_eOperation = rKind.m_eOperation;
        json& rAudit = a_rParts.m_Audit;
        bool bCountGiven = false;
        for (const SArgumentSpec& rSpec : rKind.m_Arguments)
        {
            // What the operation's row requires is there; how a field reads is its own.
            if (rSpec.m_bRequired && !rBody.contains(rSpec.m_pcName))
                throw SBadRequest{std::string("missing field '") + rSpec.m_pcName + "'"};
            switch (rSpec.m_eArgument)
            {
            case EArgument::REGISTER:
                Operation.m_strRegister = Name(rBody, "register", !rSpec.m_bRequired);
                rAudit["register"] = Operation.m_strRegister;
                break;
            case EArgument::SIGNAL:
                Operation.m_strSignal = Name(rBody, "signal", !rSpec.m_bRequired);
                if (!Operation.m_strSignal.empty())  // a whole register's line names none, as in a batch's
                    rAudit["signal"] = Operation.m_strSignal;
                break;
            case EArgument::START:
                Unsigned(rBody, "start", Operation.m_udwStart);
                if (rKind.m_bChanging)
                    rAudit["start"] = Operation.m_udwStart;
                break;
            case EArgument::COUNT: bCountGiven = Unsigned(rBody, "count", Operation.m_udwCount); break;
            case EArgument::VALUES:
                Operation.m_Values = Values(rBody);
                rAudit["values"] = Operation.m_Values;
                break;
            case EArgument::WORDS:
                Operation.m_Words = Words(rBody);
                rAudit["words"] = Operation.m_Words.size();
                break;
            case EArgument::VALUE:
            {
                unsigned udwValue = 0;
                Unsigned(rBody, "value", udwValue);
                Operation.m_Words.assign(1, udwValue);
                rAudit["value"] = udwValue;
                break;
            }
            case EArgument::MODE:
                Unsigned(rBody, "mode", Operation.m_udwMode);
                rAudit["mode"] = Operation.m_udwMode;
                break;
            case EArgument::ENABLE:
                Operation.m_bEnable = Flag(rBody, "enable", true);
                rAudit["enable"] = Operation.m_bEnable;
                break;
            case EArgument::READ_HW: Operation.m_bReadHw = Flag(rBody, "readHw", false); break;
            }
        }
        EArgument eRefused = EArgument::REGISTER;
        const std::string strRefusal = CheckOperation(m_rRuntime.Catalogue(), Operation, bCountGiven, Budget, &eRefused);
        if (!strRefusal.empty())
            throw SBadRequest{strRefusal, ArgumentName(eRefused)};
        a_rParts.m_Operations.push_back(std::move(Operation));
        a_rParts.m_Kinds.push_back(&rKind);
    }
    return RunOperations(a_rRequest, a_rParts);
}

SHttpResponse CDeviceService::RunOperations(const SHttpRequest& a_rRequest, SRequestParts& a_rParts)
{
    SBatchOptions Options;
    Options.m_bTrace = a_rParts.m_bTrace;
    Options.m_bKeepApplication = m_Options.m_bReadOnly;
    // The audit line is written while the device is still held, in the device's order.
    Options.m_OnDone = [&](const std::vector<SOperation>&, const std::vector<SOutcome>& a_rOutcomes) {
        if (!a_rParts.m_bChanging)
            return;
        std::size_t uRefused = 0;
        std::string strFirst, strFault;
        for (const SOutcome& rOutcome : a_rOutcomes)
        {
            if (rOutcome.m_eStatus == SOutcome::FAULT)
                strFault = rOutcome.m_strError;
            if (rOutcome.m_eStatus == SOutcome::REFUSED && uRefused++ == 0)
                strFirst = rOutcome.m_strError;
        }
        std::string strResult;
        int iStatus = strFault.empty() ? 200 : 500;
        if (!strFault.empty())
            strResult = strFault;
        else if (a_rParts.m_bBatch && uRefused > 0)
            strResult = std::to_string(uRefused) + " of " + std::to_string(a_rOutcomes.size()) + " refused: " + strFirst;
        else if (!a_rParts.m_bBatch && uRefused > 0)
            iStatus = 422, strResult = strFirst;
        else if (!a_rParts.m_bBatch && !a_rOutcomes.front().m_Record.m_Reports.empty())
            strResult = "ok with " + std::to_string(a_rOutcomes.front().m_Record.m_Reports.size()) + " report(s)";
        AuditLine(a_rRequest, a_rParts, iStatus, strResult);
        a_rParts.m_bAudited = true;
    };
    const std::vector<SOutcome> Outcomes = m_rRuntime.RunBatch(a_rParts.m_Operations, Options);

    json Results = json::array();
    int iFault = 0;
    std::string strFault;
    for (std::size_t i = 0; i < Outcomes.size(); ++i)
    {
        const SOperation& rOperation = a_rParts.m_Operations[i];
        const SOutcome& rOutcome = Outcomes[i];
        json Out = json::object();
        const bool bDone = rOutcome.m_eStatus == SOutcome::DONE;
        switch (RowOf(rOperation.m_eOperation).m_eAnswer)
        {
        case EAnswer::SERVICE_TEXTS: Out["values"] = rOutcome.m_Texts; break;
        case EAnswer::TEXTS:
            if (bDone)
                Out["values"] = rOutcome.m_Texts;
            break;
        case EAnswer::WORDS:
            if (bDone)
                Out["words"] = rOutcome.m_Words;
            break;
        case EAnswer::WORDS_RESULT:
            if (bDone)
                Out["words"] = rOutcome.m_Words, Out["result"] = rOutcome.m_bResult;
            break;
        case EAnswer::VALUE:
            if (bDone)
                Out["value"] = rOutcome.m_Words.front();
            break;
        case EAnswer::RESULT:
            if (bDone)
                Out["result"] = rOutcome.m_bResult;
            break;
        case EAnswer::STATE:
            if (bDone)
            {
                Out["lock"] = LockName(rOutcome.m_LockStates.front());
                Out["signals"] = json::array();
                for (std::size_t s = 0; s < rOutcome.m_Texts.size(); ++s)
                    Out["signals"].push_back({{"name", rOutcome.m_Texts[s]}, {"lock", LockName(rOutcome.m_LockStates[s + 1])}});
                if (!rOutcome.m_Words.empty())
                    Out["hardwareWord"] = rOutcome.m_Words.front();
            }
            break;
        case EAnswer::SNAPSHOT:
            if (bDone)
                Out["snapshot"] = rOutcome.m_strSnapshot;
            break;
        case EAnswer::NONE: break;
        }
        Out["reports"] = json::array();
        for (const SReport& rReport : rOutcome.m_Record.m_Reports)
            Out["reports"].push_back(ReportJson(rReport));
        if (a_rParts.m_bTrace)
        {
            Out["events"] = json::array();
            for (const SDeviceEvent& rEvent : rOutcome.m_Record.m_Events)
                Out["events"].push_back(EventJson(rEvent));
        }
        if (!bDone)
            Out["error"] = rOutcome.m_eStatus == SOutcome::SKIPPED ? "not run: an earlier operation faulted"
                                                                   : rOutcome.m_strError;
        if (rOutcome.m_eStatus == SOutcome::FAULT)
        {
            iFault = 500;
            strFault = rOutcome.m_strError;
        }
        if (!a_rParts.m_bBatch)
        {
            return Answer(StatusOf(rOutcome), Out);
        }
        Out["status"] = StatusOf(rOutcome);
        Results.push_back(std::move(Out));
    }
    json Body = {{"results", std::move(Results)}};
    if (iFault != 0)
        Body["error"] = strFault;
    return Answer(iFault != 0 ? iFault : 200, Body);
}

SHttpResponse CDeviceService::Describe(const std::string& a_strRegister)
{
    const SRegisterEntry* pEntry = m_rRuntime.Catalogue().Find(a_strRegister);
    if (pEntry == nullptr)
        return Error(404, "Invalid register submitted: " + a_strRegister);
    json Body = m_Map["registers"][static_cast<std::size_t>(pEntry - m_rRuntime.Catalogue().Registers().data())];
    // Lock states and the hardware word are the device's, looked at without a transfer.
    SOperation State;
    State.m_eOperation = EOperation::STATE;
    State.m_strRegister = a_strRegister;
    const SOutcome Outcome = m_rRuntime.RunBatch({State}, {}).front();
    if (Outcome.m_eStatus != SOutcome::DONE)
        return Error(StatusOf(Outcome), Outcome.m_strError);
    Body["lock"] = LockName(Outcome.m_LockStates.front());
    if (!Outcome.m_Words.empty())
        Body["hardwareWord"] = Outcome.m_Words.front();
    for (json& rSignal : Body["signals"])
        for (std::size_t s = 0; s < Outcome.m_Texts.size(); ++s)
            if (rSignal["name"] == Outcome.m_Texts[s])
                rSignal["lock"] = LockName(Outcome.m_LockStates[s + 1]);
    return Answer(200, Body);
}
} // namespace rlzev
