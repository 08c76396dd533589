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

    // False when no answer came (a_rError says why); an answer of any status is true. A
    // request whose answer is lost on the wire is sent again (a POST under the same id, which
    // the server carries out once); a POST left without an answer is said to be of unknown
    // outcome. a_Timeout bounds the whole call. A server restarted since this client's last
    // answer refuses the next request once (412).
    bool Send(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
              SHttpResponse& a_rResponse, std::string& a_rError);

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};
} // namespace rlzev
