// A client of the device service: requests in, answers out, over one kept-alive connection
// (opened again when the server closed it).
#pragma once

#include "DeviceService.h"

#include <chrono>
#include <memory>
#include <string>

namespace rlzev
{
class CHttpClient
{
public:
    // a_strUrl: "http://host:port" ("http://[::1]:7411" for IPv6); every request carries
    // a_strToken as its bearer token.
    CHttpClient(const std::string& a_strUrl, const std::string& a_strToken,
                std::chrono::milliseconds a_Timeout = std::chrono::seconds(60));
    ~CHttpClient();
    CHttpClient(const CHttpClient&) = delete;
    CHttpClient& operator=(const CHttpClient&) = delete;

    // False when no answer came (a_rError says why); an answer of any status is true.
    bool Send(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
              SHttpResponse& a_rResponse, std::string& a_rError);

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};
} // namespace rlzev
