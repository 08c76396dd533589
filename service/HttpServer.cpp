#include "HttpServer.h"
#include "Console.h"

#include <httplib.h>

namespace rlzev
{
namespace
{
const char* const kJson = "application/json";

SHttpRequest FromHttp(const httplib::Request& a_rRequest)
{
    SHttpRequest Request;
    Request.m_strMethod = a_rRequest.method;
    Request.m_strPath = a_rRequest.path;
    if (a_rRequest.has_param("trace"))
        Request.m_strQuery = "trace=" + a_rRequest.get_param_value("trace");
    Request.m_strAuthorization = a_rRequest.get_header_value("Authorization");
    Request.m_strBody = a_rRequest.body;
    Request.m_strClient = a_rRequest.remote_addr;
    return Request;
}

std::string EventText(const SEvent& a_rEvent)
{
    return "id: " + std::to_string(a_rEvent.m_uId) + "\nevent: " + a_rEvent.m_strType + "\ndata: " + a_rEvent.m_strData +
           "\n\n";
}
} // namespace

CHttpService::CHttpService(CDeviceService& a_rService) : m_rService(a_rService), m_pServer(new httplib::Server)
{
    httplib::Server& rServer = *m_pServer;
    rServer.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    rServer.set_payload_max_length(CDeviceService::kMaxBody);
    rServer.set_keep_alive_max_count(100000);
    rServer.set_keep_alive_timeout(5);
    rServer.set_tcp_nodelay(true);  // small answers go out at once, not after the peer's delayed ACK

    rServer.Get("/api/v1/events", [this](const httplib::Request& a_rRequest, httplib::Response& a_rResponse) {
        if (!m_rService.Authorised(a_rRequest.get_header_value("Authorization")))
        {
            a_rResponse.status = 401;
            a_rResponse.set_content(R"({"error":"missing or wrong token: send \"Authorization: Bearer <token>\""})", kJson);
            return;
        }
        std::shared_ptr<CEventHub::CSubscription> pSubscription = m_rService.Events().Subscribe();
        if (!pSubscription)
        {
            a_rResponse.status = 503;
            a_rResponse.set_content(R"({"error":"too many event-stream clients"})", kJson);
            return;
        }
        a_rResponse.set_header("Cache-Control", "no-cache");
        a_rResponse.set_chunked_content_provider(
            "text/event-stream", [pSubscription](size_t, httplib::DataSink& a_rSink) {
                std::vector<SEvent> Events;
                unsigned long long uDropped = 0;
                if (!pSubscription->Take(Events, uDropped, 1000))
                {
                    a_rSink.done();
                    return true;
                }
                std::string strText = Events.empty() && uDropped == 0 ? ": idle\n\n" : "";
                if (uDropped != 0)
                    strText += "event: dropped\ndata: {\"count\":" + std::to_string(uDropped) + "}\n\n";
                for (const SEvent& rEvent : Events)
                    strText += EventText(rEvent);
                return a_rSink.write(strText.data(), strText.size());
            });
    });

    // The console's own files: the same for everyone, holding no device data, so a browser
    // opening the page needs no token (it has none to send yet); every API call does.
    rServer.Get("/|/index\\.html|/console\\.js|/console\\.css|/reference\\.js",
                [](const httplib::Request& a_rRequest, httplib::Response& a_rResponse) {
                    a_rResponse.set_header("Content-Security-Policy",
                                           "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
                    a_rResponse.set_header("X-Content-Type-Options", "nosniff");
                    a_rResponse.set_header("Referrer-Policy", "no-referrer");
                    a_rResponse.set_header("Cache-Control", "no-cache");
                    if (a_rRequest.path == "/reference.js")
                    {
                        a_rResponse.set_content(kServedReferenceScript, "text/javascript; charset=utf-8");
                        return;
                    }
                    const SConsoleFile* pFile = FindConsoleFile(a_rRequest.path);
                    a_rResponse.set_content(reinterpret_cast<const char*>(pFile->m_pData), pFile->m_uSize, pFile->m_pcType);
                });

    // Everything else goes to the service, whatever the method; the service answers
    // unknown paths and wrong methods itself.
    auto Serve = [this](const httplib::Request& a_rRequest, httplib::Response& a_rResponse) {
        const SHttpResponse Response = m_rService.Handle(FromHttp(a_rRequest));
        a_rResponse.status = Response.m_iStatus;
        a_rResponse.set_content(Response.m_strBody, kJson);
    };
    rServer.Get(".*", Serve);
    rServer.Post(".*", Serve);
    rServer.Put(".*", Serve);
    rServer.Patch(".*", Serve);
    rServer.Delete(".*", Serve);
    rServer.Options(".*", Serve);
    // What the server itself refuses (an oversized body, say) is answered in JSON as well.
    rServer.set_error_handler([](const httplib::Request&, httplib::Response& a_rResponse) {
        if (a_rResponse.body.empty())
            a_rResponse.set_content("{\"error\":\"HTTP " + std::to_string(a_rResponse.status) +
                                        (a_rResponse.status == 413 ? ": request body too large" : "") + "\"}",
                                    kJson);
    });
}

CHttpService::~CHttpService()
{
    Stop();
}

int CHttpService::Bind(const std::string& a_strHost, int a_iPort)
{
    if (a_iPort == 0)
        return m_pServer->bind_to_any_port(a_strHost);
    return m_pServer->bind_to_port(a_strHost, a_iPort) ? a_iPort : -1;
}

bool CHttpService::Run()
{
    return m_pServer->listen_after_bind();
}

void CHttpService::Stop()
{
    // Event streams end first, so that the pool's threads can be joined.
    m_rService.Events().Close();
    m_pServer->stop();
}

bool CHttpService::IsRunning() const
{
    return m_pServer->is_running();
}
} // namespace rlzev
