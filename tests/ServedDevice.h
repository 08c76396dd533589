// The device served in-process, as zevd serves it over HTTP: the fixture of the service
// and server tests.
#pragma once

#include "DeviceRuntime.h"
#include "DeviceService.h"
#include "ZEV.h"
#include "ZevSimulator.h"

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace rlzevtest
{
using nlohmann::json;
const std::string kToken = "0123456789abcdef0123456789abcdef";

// A sanitizer's runtime needs descriptors of its own (a pipe to probe memory): tests that use
// up every descriptor leave that part out there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A simulated ZEV served as zevd serves it.
struct SServed
{
    explicit SServed(bool a_bReadOnly = false)
        : Host(Reports), Runtime(Host.Bus, Host.Utility, Host.Status), Service(Runtime, {kToken, a_bReadOnly, &Audit})
    {
        Host.Utility.m_bQuietAccessDenied = true;
        Runtime.Run([](CZEV& a_rDevice) { a_rDevice.SetToDefault(); });
    }

    json Call(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
              int* a_piStatus = nullptr, const std::string& a_strAuthorization = "Bearer " + kToken)
    {
        const std::size_t uQuery = a_strPath.find('?');
        rlzev::SHttpRequest Request;
        Request.m_strMethod = a_strMethod;
        Request.m_strPath = a_strPath.substr(0, uQuery);
        Request.m_strQuery = uQuery == std::string::npos ? "" : a_strPath.substr(uQuery + 1);
        Request.m_strAuthorization = a_strAuthorization;
        Request.m_strBody = a_strBody;
        Request.m_strClient = "127.0.0.1";
        const rlzev::SHttpResponse Response = Service.Handle(Request);
        if (a_piStatus != nullptr)
            *a_piStatus = Response.m_iStatus;
        return json::parse(Response.m_strBody);
    }
    json Post(const std::string& a_strOperation, const json& a_rBody, int* a_piStatus = nullptr)
    {
        return Call("POST", "/api/v1/" + a_strOperation, a_rBody.dump(), a_piStatus);
    }

    // Everything a request could change: transfers, and every word, flag and lock state.
    std::string State()
    {
        return Runtime.Run([this](CZEV& a_rDevice) {
            std::ostringstream Text;
            const auto& C = Host.Bus.m_Counters;
            Text << C.m_uReads << "/" << C.m_uWrites << "/" << C.m_uWaits << ";";
            for (const CRegisterBase* pRegister : a_rDevice.GetRegisters())
            {
                Text << pRegister->GetLockState() << pRegister->IsWritePending();
                for (unsigned i = 0; i < pRegister->GetWordCount(); ++i)
                    Text << "," << pRegister->GetHwImage()[i] << "," << pRegister->GetAppImage()[i];
                for (const CSignalBase* pSignal : pRegister->GetSignals())
                    Text << pSignal->GetLockState();
                Text << ";";
            }
            return Text.str();
        });
    }
    // The application's words alone, every register's.
    std::string Application()
    {
        return Runtime.Run([](CZEV& a_rDevice) {
            std::string strWords;
            for (const CRegisterBase* pRegister : a_rDevice.GetRegisters())
                strWords.append(reinterpret_cast<const char*>(pRegister->GetAppImage()), pRegister->GetWordCount() * 4);
            return strWords;
        });
    }
    std::vector<json> AuditLines() const
    {
        std::istringstream Lines(Audit.str());
        std::vector<json> Result;
        for (std::string strLine; std::getline(Lines, strLine);)
            Result.push_back(json::parse(strLine));
        return Result;
    }

    std::ostringstream Reports, Audit;
    SSimulatedHost Host;
    rlzev::CDeviceRuntime Runtime;
    rlzev::CDeviceService Service;
};
inline json Signal(const json& a_rRegister, const std::string& a_strName)
{
    for (const json& Sig : a_rRegister["signals"])
        if (Sig["name"] == a_strName)
            return Sig;
    return json();
}
} // namespace rlzevtest
