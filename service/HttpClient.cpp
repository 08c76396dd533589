#include "HttpClient.h"

#include <httplib.h>

namespace rlzev
{
CHttpClient::CHttpClient(const std::string& a_strUrl, const std::string& a_strToken)
    : m_pClient(new httplib::Client(a_strUrl))
{
    m_pClient->set_bearer_token_auth(a_strToken.c_str());
    m_pClient->set_keep_alive(true);
    m_pClient->set_tcp_nodelay(true);
    m_pClient->set_connection_timeout(5);
    m_pClient->set_read_timeout(60);  // a whole memory or a snapshot takes a while
}

CHttpClient::~CHttpClient() = default;

bool CHttpClient::Send(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
                       SHttpResponse& a_rResponse, std::string& a_rError)
{
    httplib::Result Result = a_strMethod == "GET"
                                 ? m_pClient->Get(a_strPath.c_str())
                                 : m_pClient->Post(a_strPath.c_str(), a_strBody, "application/json");
    if (!Result)
    {
        a_rError = httplib::to_string(Result.error());
        return false;
    }
    a_rResponse.m_iStatus = Result->status;
    a_rResponse.m_strBody = Result->body;
    return true;
}
} // namespace rlzev
