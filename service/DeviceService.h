// The device's text service as requests and answers: what the HTTP server, zevctl's
// in-process mode and the fuzz target all call. Checks every request completely before the
// device sees it; a refused request makes no transfer and changes no word, flag or lock.
#pragma once

#include "DeviceHooks.h"

#include <cstddef>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

class CHWDeviceBase;

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
};

struct SHttpResponse
{
    int m_iStatus = 200;
    std::string m_strBody;           // JSON
    std::string m_strError;          // the body's error text, when there is one (for the audit log)
};

// Runs a device call so that it overlaps no other call on the device, the host's own
// included. The library takes no lock of its own.
using Serialiser = std::function<void(const std::function<void()>&)>;
// The common case: the host guards its device calls with this mutex too.
Serialiser SerialiseWith(std::mutex& a_rMutex);

struct SServiceOptions
{
    std::string m_strToken;          // every request must carry it as "Bearer <token>"
    bool m_bReadOnly = false;        // changing requests are answered 403
    std::ostream* m_pAudit = nullptr; // one JSON line per changing request, when given
};

class CDeviceService
{
public:
    static const std::size_t kMaxBody = 1 << 20;   // a whole memory of value texts fits
    static const std::size_t kMaxName = 64;
    static const std::size_t kMaxValueText = 64;
    static const std::size_t kMaxValues = 65536;

    // a_rDevice must be constructed on a_rHooks.Bus() and a_rHooks.Utility().
    CDeviceService(CHWDeviceBase& a_rDevice, CDeviceHooks& a_rHooks, Serialiser a_Serialise, SServiceOptions a_Options);

    SHttpResponse Handle(const SHttpRequest& a_rRequest);
    bool Authorised(const std::string& a_strAuthorization) const;
    CEventHub& Events() { return m_rHooks.Events(); }
    bool IsReadOnly() const { return m_Options.m_bReadOnly; }
    // The device's identity and its whole register map (GET /api/v1/map), as JSON text: the
    // console's tree, and the static register reference.
    std::string MapText() const;

private:
    struct SCall;
    SHttpResponse Dispatch(const SHttpRequest& a_rRequest, SCall& a_rCall);
    SHttpResponse Describe(const std::string& a_strRegister);
    SHttpResponse RunOnDevice(SCall& a_rCall, bool a_bTrace, const std::function<bool(nlohmann::json&, std::string&)>& a_Operation);
    void Audit(const SHttpRequest& a_rRequest, const SCall& a_rCall, const SHttpResponse& a_rResponse);

    CHWDeviceBase& m_rDevice;
    CDeviceHooks& m_rHooks;
    Serialiser m_Serialise;
    SServiceOptions m_Options;
    std::mutex m_AuditMutex;
};
} // namespace rlzev
