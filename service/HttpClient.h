// A client of the device service: requests in, answers out, over one keep-alive connection.
#pragma once

#include "DeviceService.h"

#include <memory>
#include <string>

namespace httplib
{
class Client;
}

namespace rlzev
{
class CHttpClient
{
public:
    // a_strUrl: "http://host:port"; every request carries a_strToken as its bearer token.
    CHttpClient(const std::string& a_strUrl, const std::string& a_strToken);
    ~CHttpClient();

    // False when no answer came (a_rError says why); an answer of any status is true.
    bool Send(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
              SHttpResponse& a_rResponse, std::string& a_rError);

private:
    std::unique_ptr<httplib::Client> m_pClient;
};
} // namespace rlzev
