// The device's text service as requests and answers: what the HTTP server, zevctl's
// in-process mode and the fuzz target all call. Checks every request completely before the
// device sees it; a refused request makes no transfer and changes no word, flag or lock.
#pragma once

#include "Answered.h"
#include "AuditLog.h"
#include "DeviceRuntime.h"
#include "EventHub.h"
#include "Map.h"
#include "Operations.h"
#include "RegisterSet.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <ostream>
#include <string>
#include <unordered_map>

namespace rlzev
{
struct SHttpRequest
{
    std::string m_strMethod;         // "GET", "POST", ...
    std::string m_strPath;           // without the query
    std::string m_strQuery;          // "trace=1" asks for the transfers of a GET
    std::string m_strAuthorization;  // the Authorization header
    std::string m_strBody;
    std::string m_strClient;         // the peer's address, for the audit log
    std::string m_strAcceptEncoding; // "gzip" in it: a compressed answer is welcome
    std::string m_strIfNoneMatch;    // an entity tag the client holds
    std::string m_strRequestId;      // the client's id of a changing request, for its repeats
    std::string m_strInstance;       // the service's run the client knows (refused if another)
};

struct SHttpResponse
{
    int m_iStatus = 200;
    std::string m_strBody;
    std::string m_strError;              // a refusal's text: the audit line of a request the device never saw
    std::string m_strContentType = "application/json";
    std::string m_strContentEncoding;    // "gzip" for a compressed body
    std::string m_strEtag;               // the entity tag of the body, when it has one
    bool m_bConsoleFile = false;         // a page of the console: its own security headers
    std::string m_strInline;             // and the policy directives allowing its inline parts
};

struct SServiceOptions
{
    std::string m_strToken;           // every API request must carry it as "Bearer <token>"
    bool m_bReadOnly = false;         // changing requests are answered 403; reads change no
                                      // application state either
    std::ostream* m_pAudit = nullptr; // one JSON line per changing request, when given
};

class CDeviceService
{
public:
    static constexpr std::size_t kMaxBody = 1 << 20;  // a whole memory of value texts fits
    static constexpr std::size_t kMaxName = SLimits::kMaxName;
    static constexpr std::size_t kMaxValueText = SLimits::kMaxValueText;
    static constexpr std::size_t kMaxValues = SLimits::kMaxValues;
    static constexpr std::size_t kMaxOperations = SLimits::kMaxOperations;
    static constexpr std::size_t kMaxWords = SLimits::kMaxWords;

    // Observes a_rRuntime's events for the event stream until destroyed.
    CDeviceService(CDeviceRuntime& a_rRuntime, SServiceOptions a_Options);
    ~CDeviceService();
    CDeviceService(const CDeviceService&) = delete;
    CDeviceService& operator=(const CDeviceService&) = delete;

    SHttpResponse Handle(const SHttpRequest& a_rRequest);
    bool Authorised(const std::string& a_strAuthorization) const;
    // The console's own pages: no device data, no token needed. Everything else needs it.
    static bool IsPublic(const std::string& a_strPath);
    // Whether a request to this path changes the device (it leaves an audit line).
    static bool IsChanging(const std::string& a_strPath);
    // A changing request the transport refused before it could reach here (a body too
    // large, no length, a broken chunk): its audit line.
    void AuditRefused(const SHttpRequest& a_rRequest, int a_iStatus, const std::string& a_strError);

    // A request's operation for monitoring: one of a fixed set of names ("read", "batch",
    // "describe", ...), "unknown" for any other path; never a register's name.
    static std::string OperationOf(const std::string& a_strPath);

    CEventHub& Events() { return m_Hub; }
    const CDeviceRuntime& Runtime() const { return m_rRuntime; }
    CAuditLog& Audit() { return m_Audit; }
    bool IsReadOnly() const { return m_Options.m_bReadOnly; }
    // This service's run among all runs: a client that sees it change knows the device's
    // values and locks it set before are gone.
    const std::string& Instance() const { return m_strInstance; }
    // The device's identity and its whole register map (GET /api/v1/map), as JSON text made
    // from the runtime's catalogue: the console's tree, and the static register reference.
    const std::string& MapText() const { return m_Served.m_strJson; }

private:
    struct SRequestParts;
    SHttpResponse Dispatch(const SHttpRequest& a_rRequest, SRequestParts& a_rParts);
    SHttpResponse Describe(const std::string& a_strRegister);
    SHttpResponse RunOperations(const SHttpRequest& a_rRequest, SRequestParts& a_rParts);
    void AuditLine(const SHttpRequest& a_rRequest, const SRequestParts& a_rParts, int a_iStatus,
                   const std::string& a_strResult);

    CDeviceRuntime& m_rRuntime;
    SServiceOptions m_Options;
    CEventHub m_Hub;
    CAuditLog m_Audit;
    SServedMap m_Served;
    nlohmann::json m_Map;  // the same, parsed once: descriptions and register sets
    std::string m_strRegisterList;  // GET /api/v1/registers, built once
    CRegisterSets m_Sets;
    CAnswered m_Answered;
    std::string m_strInstance;
};
} // namespace rlzev
