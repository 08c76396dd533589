#include "HttpClient.h"

#include "Token.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <optional>

namespace rlzev
{
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

const std::uint64_t kMaxAnswer = 64u << 20;

// True while a kept connection has nothing to read: the server has neither closed it nor
// sent anything unasked. (The socket stays non-blocking: only asynchronous operations
// follow, and they do not mind.)
bool IsIdle(tcp::socket& a_rSocket)
{
    beast::error_code Error;
    a_rSocket.non_blocking(true, Error);
    char cByte = 0;
    a_rSocket.read_some(net::buffer(&cByte, 1), Error);
    return Error == net::error::would_block;
}

struct CHttpClient::SImpl
{
    // Runs the operations started until they end or the deadline cuts them off.
    bool Wait(beast::error_code& a_rError)
    {
        m_Io.restart();
        m_Io.run();
        return !a_rError;
    }

    net::io_context m_Io;
    std::optional<beast::tcp_stream> m_Stream;
    beast::flat_buffer m_Buffer;
    std::string m_strHost, m_strPort, m_strAuthority, m_strToken;
    std::chrono::milliseconds m_Timeout;
    std::string m_strClientId = NewToken().substr(0, 16);  // the ids of this client's requests
    unsigned long long m_uRequests = 0;
    std::string m_strInstance;  // the server's run, from its first answer
};

CHttpClient::CHttpClient(const std::string& a_strUrl, const std::string& a_strToken, std::chrono::milliseconds a_Timeout)
    : m_pImpl(new SImpl)
{
    std::string strRest = a_strUrl.compare(0, 7, "http://") == 0 ? a_strUrl.substr(7) : a_strUrl;
    strRest = strRest.substr(0, strRest.find('/'));
    const std::size_t uColon = strRest.rfind(':');
    const bool bPort = uColon != std::string::npos && strRest.find(']', uColon) == std::string::npos;
    m_pImpl->m_strAuthority = strRest;
    m_pImpl->m_strHost = bPort ? strRest.substr(0, uColon) : strRest;
    m_pImpl->m_strPort = bPort ? strRest.substr(uColon + 1) : "80";
    if (m_pImpl->m_strHost.size() > 2 && m_pImpl->m_strHost.front() == '[')
        m_pImpl->m_strHost = m_pImpl->m_strHost.substr(1, m_pImpl->m_strHost.size() - 2);
    m_pImpl->m_strToken = a_strToken;
    m_pImpl->m_Timeout = a_Timeout;
}

CHttpClient::~CHttpClient() = default;

bool CHttpClient::Send(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strBody,
                       SHttpResponse& a_rResponse, std::string& a_rError)
{
    SImpl& r = *m_pImpl;
    const bool bGet = a_strMethod == "GET";
    http::request<http::string_body> Request(bGet ? http::verb::get : http::verb::post, a_strPath, 11);
    Request.set(http::field::host, r.m_strAuthority);
    Request.set(http::field::authorization, "Bearer " + r.m_strToken);
    if (!r.m_strInstance.empty())
        Request.set("ZEV-Instance", r.m_strInstance);
    if (!bGet)
    {
        // The same id on every try: the server carries the request out once and answers a
        // repeat from what it kept.
        Request.set("ZEV-Request-Id", r.m_strClientId + "-" + std::to_string(++r.m_uRequests));
        Request.set(http::field::content_type, "application/json");
        Request.body() = a_strBody;
    }
    Request.prepare_payload();
    // The timeout is the call's: every try ends by it.
    const auto Deadline = std::chrono::steady_clock::now() + r.m_Timeout;
    bool bSent = false;  // a try reached the server: it may be carrying the request out
    std::string strLost;
    for (int iTry = 0; iTry < 3 && std::chrono::steady_clock::now() < Deadline; ++iTry)
    {
        // A kept connection the server has closed meanwhile (it does after a few idle
        // seconds) is found before anything is sent on it.
        if (r.m_Stream && !IsIdle(r.m_Stream->socket()))
            r.m_Stream.reset();
        beast::error_code Error;
        if (!r.m_Stream)
        {
            tcp::resolver Resolver(r.m_Io);
            const auto Endpoints = Resolver.resolve(r.m_strHost, r.m_strPort, Error);
            if (Error)
            {
                a_rError = "cannot resolve " + r.m_strHost + ": " + Error.message();
                return false;
            }
            r.m_Stream.emplace(r.m_Io);
            // A host that drops our connection requests is given up on within 5 s.
            r.m_Stream->expires_at(std::min(Deadline, std::chrono::steady_clock::now() + std::chrono::seconds(5)));
            r.m_Stream->async_connect(Endpoints, [&Error](beast::error_code a_Error, const tcp::endpoint&) { Error = a_Error; });
            if (!r.Wait(Error))
            {
                r.m_Stream.reset();
                if (!bSent)
                {
                    a_rError = "cannot connect to " + r.m_strHost + ":" + r.m_strPort + ": " + Error.message();
                    return false;
                }
                strLost = "cannot connect again: " + Error.message();
                break;
            }
            r.m_Stream->socket().set_option(tcp::no_delay(true), Error);
            r.m_Buffer.clear();
        }
        http::response_parser<http::string_body> Parser;
        Parser.body_limit(kMaxAnswer);
        r.m_Stream->expires_at(Deadline);
        bSent = true;
        // The header on its own first: parsing header and body in one go, Beast (1.74) lets a
        // Content-Length beyond the limit through.
        http::async_write(*r.m_Stream, Request, [&](beast::error_code a_Error, std::size_t) {
            Error = a_Error;
            if (!a_Error)
                http::async_read_header(*r.m_Stream, r.m_Buffer, Parser, [&](beast::error_code a_HeaderError, std::size_t) {
                    Error = a_HeaderError;
                    if (!a_HeaderError)
                        http::async_read(*r.m_Stream, r.m_Buffer, Parser,
                                         [&Error](beast::error_code a_ReadError, std::size_t) { Error = a_ReadError; });
                });
        });
        if (!r.Wait(Error))
        {
            r.m_Stream.reset();
            if (Error == http::error::body_limit)
            {
                a_rError = "the answer is larger than 64 MiB";
                return false;
            }
            strLost = Error == beast::error::timeout ? "no answer in time" : Error.message();
            continue;  // the answer was lost on the way: ask again, under the same id
        }
        const auto& rResponse = Parser.get();
        a_rResponse = SHttpResponse();
        a_rResponse.m_iStatus = static_cast<int>(rResponse.result_int());
        a_rResponse.m_strBody = rResponse.body();
        a_rResponse.m_strContentType = std::string(rResponse[http::field::content_type]);
        // A restarted server refuses a request meant for its earlier run once (412); from
        // then on this client knows the new run.
        const auto Instance = rResponse.find("ZEV-Instance");
        if (Instance != rResponse.end())
            r.m_strInstance = std::string(Instance->value());
        // Bytes beyond the answer belong to no request of ours: such a connection is not kept.
        if (!Parser.keep_alive() || r.m_Buffer.size() != 0)
            r.m_Stream.reset();
        return true;
    }
    a_rError = (strLost.empty() ? std::string("no answer in time") : strLost) +
               (bGet ? std::string() : std::string(": the request may or may not have been carried out"));
    return false;
}
} // namespace rlzev
