#include "HttpServer.h"
#include "Metrics.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

namespace rlzev
{
namespace
{
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

const std::size_t kDrainBytes = 65536;  // read and dropped after a refusal, before closing
const std::size_t kHeaderPiece = 2048;  // a header is read in pieces of this size at most
// The stream ends when the connection does: no length, no chunks.
std::string EventsHeader(const std::string& a_strInstance)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
           "X-Content-Type-Options: nosniff\r\nZEV-Instance: " + a_strInstance + "\r\nConnection: close\r\n\r\n";
}

// The device calls, one at a time, in the order the requests became complete.
class CDeviceWorker
{
public:
    void Start()
    {
        m_Thread = std::thread([this] { Loop(); });
    }
    void Post(std::function<void()> a_Job)
    {
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            if (m_bStopped)
                return;
            m_Jobs.push_back(std::move(a_Job));
        }
        m_Changed.notify_one();
    }
    // The job in progress ends first; those waiting are dropped.
    void Stop()
    {
        std::deque<std::function<void()>> Dropped;
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            m_bStopped = true;
            Dropped.swap(m_Jobs);
        }
        m_Changed.notify_all();
        if (m_Thread.joinable())
            m_Thread.join();
    }

private:
    void Loop()
    {
        for (;;)
        {
            std::function<void()> Job;
            {
                std::unique_lock<std::mutex> Lock(m_Mutex);
                m_Changed.wait(Lock, [this] { return m_bStopped || !m_Jobs.empty(); });
                if (m_bStopped)
                    return;
                Job = std::move(m_Jobs.front());
                m_Jobs.pop_front();
            }
            Job();
        }
    }

    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::deque<std::function<void()>> m_Jobs;
    bool m_bStopped = false;
    std::thread m_Thread;
};

std::string ErrorBody(const std::string& a_strText)
{
    return nlohmann::json{{"error", a_strText}}.dump();
}

SHttpResponse Refusal(int a_iStatus, const std::string& a_strText)
{
    SHttpResponse Response;
    Response.m_iStatus = a_iStatus;
    Response.m_strBody = ErrorBody(a_strText);
    return Response;
}

// Behind the token like the API: what it counts is the device's business too.
constexpr const char* kMetricsPath = "/metrics";

std::string Field(const http::request_parser<http::string_body>& a_rParser, http::field a_eField)
{
    const auto It = a_rParser.get().find(a_eField);
    return It == a_rParser.get().end() ? std::string() : std::string(It->value());
}
} // namespace

class CConnection;

struct CHttpService::SImpl
{
    SImpl(CDeviceService& a_rService, SServerLimits a_Limits)
        : m_rService(a_rService), m_Limits(a_Limits), m_Metrics(a_rService.Runtime(), a_rService.Events())
    {
    }

    void Accept();
    void OnAccept(const beast::error_code& a_rError, tcp::socket a_Socket);
    // The oldest connection that never sent the token, a_bHoldingHeader: one with a header
    // in progress; null when there is none.
    std::shared_ptr<CConnection> OldestStranger(bool a_bHoldingHeader);
    void Tick();
    void CloseAll();

    CDeviceService& m_rService;
    SServerLimits m_Limits;
    CServiceMetrics m_Metrics;
    net::io_context m_Io{1};
    tcp::acceptor m_Acceptor{m_Io};
    net::steady_timer m_Tick{m_Io};
    CDeviceWorker m_Worker;
    std::list<std::weak_ptr<CConnection>> m_Connections;  // the I/O thread's alone
    std::atomic<std::size_t> m_uConnections{0};
    std::size_t m_uHeaderBytes = 0;  // held by headers in progress, across all connections (I/O thread)
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bRunning{false};
};

// One client connection: requests read, checked and answered in order, one at a time.
class CConnection : public std::enable_shared_from_this<CConnection>
{
public:
    CConnection(CHttpService::SImpl& a_rServer, tcp::socket a_Socket)
        : m_rServer(a_rServer), m_Stream(std::move(a_Socket)), m_Heartbeat(a_rServer.m_Io), m_Opened(Clock::now())
    {
        ++m_rServer.m_uConnections;
        beast::error_code Error;
        const tcp::endpoint Peer = m_Stream.socket().remote_endpoint(Error);
        if (!Error)
            m_strClient = Peer.address().to_string();
        m_Stream.socket().set_option(tcp::no_delay(true), Error);
    }
    ~CConnection()
    {
        HoldHeader(0);
        --m_rServer.m_uConnections;
    }

    void Start() { ReadHeader(true); }
    // From the I/O thread: the socket goes, every operation on it ends.
    void Close()
    {
        HoldHeader(0);
        beast::error_code Ignored;
        m_Heartbeat.cancel();
        m_pSubscription.reset();
        m_Stream.socket().shutdown(tcp::socket::shutdown_both, Ignored);
        m_Stream.socket().close(Ignored);
    }
    bool IsAuthorised() const { return m_bAuthorised; }
    bool HoldsHeader() const { return m_uHeaderHeld != 0; }
    Clock::time_point Opened() const { return m_Opened; }

private:
    void ReadHeader(bool a_bFirst)
    {
        m_Parser.emplace();
        m_Asked = Clock::now();  // until the header says more, for a refusal of the header itself
        m_Parser->header_limit(static_cast<std::uint32_t>(m_rServer.m_Limits.m_uMaxHeaderBytes));
        // The body's limit is set once the header has been looked at: a length too large is
        // answered 401 without the token, 413 with it.
        m_Parser->body_limit(std::numeric_limits<std::uint64_t>::max());
        // A deadline for the whole header, not for each piece: a peer dripping bytes gains nothing.
        m_Stream.expires_after(a_bFirst ? m_rServer.m_Limits.m_HeaderTime : m_rServer.m_Limits.m_IdleTime);
        m_bHead = false;
        // A kept connection holds no memory a large header or body grew its buffer to.
        if (m_Buffer.size() == 0)
            m_Buffer.shrink_to_fit();
        ParseHeader();
    }

    // The header is read piece by piece, and what it holds meanwhile counts against one budget
    // for all connections: many peers each holding most of a header cost no more than it.
    void ParseHeader()
    {
        if (m_Buffer.size() != 0)
        {
            beast::error_code Error;
            m_Buffer.consume(m_Parser->put(m_Buffer.data(), Error));
            if (Error != http::error::need_more)
            {
                HoldHeader(0);
                return OnHeader(Error);
            }
        }
        // What the buffer takes in memory for the next piece is what is held.
        const auto Piece = m_Buffer.prepare(kHeaderPiece);
        const std::size_t uHold = m_Buffer.capacity();
        if (!HoldHeader(uHold))
        {
            // Room is made by the oldest stranger holding a header, this one if need be.
            std::shared_ptr<CConnection> pOldest = m_rServer.OldestStranger(true);
            if (pOldest && pOldest.get() != this)
                pOldest->Close();
            if (!HoldHeader(uHold))
            {
                HoldHeader(0);
                return Refuse(503, "too many request headers in progress: try again later");
            }
        }
        m_Stream.async_read_some(Piece, [Self = shared_from_this()](beast::error_code a_Error, std::size_t a_uBytes) {
            Self->m_Buffer.commit(a_uBytes);
            if (a_Error)
            {
                Self->HoldHeader(0);
                return Self->OnHeader(a_Error);
            }
            Self->ParseHeader();
        });
    }

    // Holds a_uBytes of the server's header budget for this connection (0: none); false, and
    // nothing changed, when the budget has not that much left.
    bool HoldHeader(std::size_t a_uBytes)
    {
        std::size_t& rAll = m_rServer.m_uHeaderBytes;
        if (a_uBytes > m_uHeaderHeld && rAll - m_uHeaderHeld + a_uBytes > m_rServer.m_Limits.m_uMaxHeaderBytesInAll)
            return false;
        rAll = rAll - m_uHeaderHeld + a_uBytes;
        m_uHeaderHeld = a_uBytes;
        return true;
    }

    void OnHeader(beast::error_code a_Error)
    {
        if (a_Error == http::error::header_limit)
            return Refuse(431, "request header larger than " + std::to_string(m_rServer.m_Limits.m_uMaxHeaderBytes) +
                                   " bytes");
        if (a_Error == beast::error::timeout || a_Error == http::error::end_of_stream || a_Error == net::error::eof ||
            a_Error == net::error::operation_aborted || a_Error == net::error::connection_reset)
            return Close();
        if (a_Error)
            return Refuse(400, "malformed request: " + a_Error.message());

        const auto& rHeader = m_Parser->get();
        m_Request = SHttpRequest();
        m_Asked = Clock::now();
        // A HEAD is answered as its GET, without the body.
        m_bHead = rHeader.method() == http::verb::head;
        m_Request.m_strMethod = std::string(rHeader.method_string());
        const std::string strTarget(rHeader.target());
        const std::size_t uQuery = strTarget.find('?');
        m_Request.m_strPath = strTarget.substr(0, uQuery);
        if (uQuery != std::string::npos)
        {
            // Only trace is known: "trace=1" or "trace=true".
            const std::string strQuery = "&" + strTarget.substr(uQuery + 1) + "&";
            for (const char* pcTrace : {"&trace=1&", "&trace=true&"})
                if (strQuery.find(pcTrace) != std::string::npos)
                    m_Request.m_strQuery = std::string(pcTrace + 1, std::char_traits<char>::length(pcTrace) - 2);
        }
        m_Request.m_strAuthorization = Field(*m_Parser, http::field::authorization);
        m_Request.m_strAcceptEncoding = Field(*m_Parser, http::field::accept_encoding);
        m_Request.m_strIfNoneMatch = Field(*m_Parser, http::field::if_none_match);
        const auto Id = rHeader.find("ZEV-Request-Id");
        if (Id != rHeader.end())
            m_Request.m_strRequestId = std::string(Id->value());
        const auto Instance = rHeader.find("ZEV-Instance");
        if (Instance != rHeader.end())
            m_Request.m_strInstance = std::string(Instance->value());
        m_Request.m_strClient = m_strClient;
        m_bKeepAlive = rHeader.keep_alive();

        const bool bChunked = m_Parser->chunked();
        const auto Length = m_Parser->content_length();
        const bool bBody = bChunked || (Length && *Length > 0);
        // Only chunked is a transfer coding the server takes, alone: any other leaves the
        // body's length or form unknown.
        const auto Coding = rHeader.find(http::field::transfer_encoding);
        bool bOtherCoding = rHeader.count(http::field::transfer_encoding) > 1 || (Coding != rHeader.end() && !bChunked);
        if (Coding != rHeader.end())
            for (const auto& rToken : http::token_list(Coding->value()))
                bOtherCoding = bOtherCoding || !beast::iequals(rToken, "chunked");
        if (bOtherCoding)
        {
            // Refused before its body, like any other; with the token a change asked for is audited.
            const std::string strText = "malformed request: a transfer coding other than chunked";
            if (m_rServer.m_rService.Authorised(m_Request.m_strAuthorization))
                return RefuseChange(400, strText);
            return Refuse(400, strText);
        }

        const bool bGet = m_Request.m_strMethod == "GET" || m_bHead;
        if (bGet && CDeviceService::IsPublic(m_Request.m_strPath))
        {
            m_strOperation = "console";
            if (bBody)
                return Refuse(400, "a GET has no body");
            return Respond(m_rServer.m_rService.Handle(m_Request), false);
        }
        // Nothing more of the request is read, or looked at, without the token.
        if (!m_rServer.m_rService.Authorised(m_Request.m_strAuthorization))
        {
            m_strOperation = "unauthorised";
            m_rServer.m_Metrics.RefusedToken();
            return Respond(m_rServer.m_rService.Handle(m_Request), true);
        }
        m_bAuthorised = true;
        m_strOperation = m_Request.m_strPath == kMetricsPath ? "metrics" : CDeviceService::OperationOf(m_Request.m_strPath);

        // Every Content-Encoding field counts: a second one codes the body as much as the first.
        bool bEncoded = false;
        for (auto Range = rHeader.equal_range(http::field::content_encoding); Range.first != Range.second; ++Range.first)
            for (const auto& rToken : http::token_list(Range.first->value()))
                bEncoded = bEncoded || !beast::iequals(rToken, "identity");
        if (bEncoded)
            return RefuseChange(415, "request bodies are not decoded: send them without Content-Encoding");
        if (bGet && bBody)
            return Refuse(400, "a GET has no body");
        // Only a POST carries a body here; any other method without one is the service's to refuse.
        if (m_Request.m_strMethod == "POST" && !bChunked && !Length)
            return RefuseChange(411, "a request with a body needs Content-Length (or chunked transfer coding)");
        if (Length && *Length > CDeviceService::kMaxBody)
            return RefuseChange(413, "request body larger than " + std::to_string(CDeviceService::kMaxBody) + " bytes");
        if (bGet && m_Request.m_strPath == "/api/v1/events")
            return StartEvents();
        if (m_Request.m_strPath == kMetricsPath)
            return Respond(Metrics(bGet), !bGet);  // any body of another method is left unread: close
        if (!bBody)
            return Dispatch();
        if (beast::iequals(Field(*m_Parser, http::field::expect), "100-continue"))
        {
            auto pContinue = std::make_shared<const std::string>("HTTP/1.1 100 Continue\r\n\r\n");
            m_Stream.expires_after(m_rServer.m_Limits.m_WriteTime);
            return net::async_write(m_Stream, net::buffer(*pContinue),
                                    [Self = shared_from_this(), pContinue](beast::error_code a_Error, std::size_t) {
                                        if (a_Error)
                                            return Self->Close();
                                        Self->ReadBody();
                                    });
        }
        ReadBody();
    }

    void ReadBody()
    {
        m_Parser->body_limit(CDeviceService::kMaxBody);
        m_Stream.expires_after(m_rServer.m_Limits.m_BodyTime);
        http::async_read(m_Stream, m_Buffer, *m_Parser, [Self = shared_from_this()](beast::error_code a_Error, std::size_t) {
            if (a_Error == http::error::body_limit)
                return Self->RefuseChange(413, "request body larger than " + std::to_string(CDeviceService::kMaxBody) +
                                                   " bytes");
            if (a_Error == beast::error::timeout)
                return Self->RefuseChange(408, "the request body did not come in time");
            if (a_Error == http::error::end_of_stream || a_Error == net::error::eof ||
                a_Error == net::error::operation_aborted || a_Error == net::error::connection_reset)
                return Self->Close();
            if (a_Error)
                return Self->RefuseChange(400, "malformed request body: " + a_Error.message());
            Self->Dispatch();
        });
    }

    // The device calls run on the worker; the answer comes back to this thread.
    void Dispatch()
    {
        m_Request.m_strBody = std::move(m_Parser->get().body());
        auto Executor = m_Stream.get_executor();
        m_rServer.m_Worker.Post([Self = shared_from_this(), Request = m_Request, Executor]() mutable {
            SHttpResponse Response;
            try
            {
                Response = Self->m_rServer.m_rService.Handle(Request);
            }
            catch (...)
            {
                Response = Refusal(500, "internal error");
            }
            // The connection goes back with the answer: its last owner must be the I/O thread,
            // whose counts its destructor gives back.
            net::post(Executor, [Self = std::move(Self), Response = std::move(Response)]() mutable {
                Self->Respond(std::move(Response), false);
            });
        });
    }

    // A request refused before the service saw it: answered, then the connection closes
    // (its body, if any, was not read).
    void Refuse(int a_iStatus, const std::string& a_strText) { Respond(Refusal(a_iStatus, a_strText), true); }
    // The same for a request with the token that asked for a change: it leaves its audit line.
    void RefuseChange(int a_iStatus, const std::string& a_strText)
    {
        m_rServer.m_rService.AuditRefused(m_Request, a_iStatus, a_strText);
        Refuse(a_iStatus, a_strText);
    }

    // Read on this thread without the device: a scrape never waits for a device call.
    SHttpResponse Metrics(bool a_bGet) const
    {
        if (!a_bGet)
            return Refusal(405, m_Request.m_strMethod + " is not allowed for " + std::string(kMetricsPath) + ": use GET");
        if (!CServiceMetrics::Available())
            return Refusal(404, "this zevd was built without metrics (prometheus-cpp)");
        SHttpResponse Response;
        Response.m_strBody = m_rServer.m_Metrics.Text(m_rServer.m_uConnections);
        Response.m_strContentType = CServiceMetrics::kContentType;
        return Response;
    }

    void Respond(SHttpResponse a_Response, bool a_bClose)
    {
        m_rServer.m_Metrics.Answered(m_strOperation, a_Response.m_iStatus, Clock::now() - m_Asked);
        m_strOperation = "none";
        const bool bClose = a_bClose || !m_bKeepAlive || m_rServer.m_bStop;
        auto pResponse = std::make_shared<http::response<http::string_body>>();
        http::response<http::string_body>& rResponse = *pResponse;
        rResponse.version(11);
        rResponse.result(static_cast<unsigned>(a_Response.m_iStatus));
        rResponse.set(http::field::content_type, a_Response.m_strContentType);
        rResponse.set("X-Content-Type-Options", "nosniff");
        rResponse.set("ZEV-Instance", m_rServer.m_rService.Instance());
        if (a_Response.m_bConsoleFile)
        {
            // Inline script and style only as the page was built: by their hashes.
            const std::string strInline = a_Response.m_strInline.empty() ? "" : a_Response.m_strInline + "; ";
            rResponse.set("Content-Security-Policy",
                          "default-src 'self'; " + strInline + "img-src 'self' data:; frame-ancestors 'none'");
            rResponse.set("Referrer-Policy", "no-referrer");
            rResponse.set(http::field::cache_control, "no-cache");
        }
        else
        {
            rResponse.set(http::field::cache_control, a_Response.m_strEtag.empty() ? "no-store" : "no-cache");
        }
        if (!a_Response.m_strEtag.empty())
        {
            rResponse.set(http::field::etag, a_Response.m_strEtag);
            rResponse.set(http::field::vary, "Accept-Encoding");
        }
        if (!a_Response.m_strContentEncoding.empty())
            rResponse.set(http::field::content_encoding, a_Response.m_strContentEncoding);
        if (a_Response.m_iStatus == 503)
            rResponse.set(http::field::retry_after, "5");
        rResponse.body() = std::move(a_Response.m_strBody);
        rResponse.keep_alive(!bClose);
        rResponse.prepare_payload();
        if (m_bHead)
        {
            const std::size_t uLength = rResponse.body().size();
            rResponse.body().clear();
            rResponse.content_length(uLength);
        }
        m_Stream.expires_after(m_rServer.m_Limits.m_WriteTime);
        http::async_write(m_Stream, rResponse,
                          [Self = shared_from_this(), pResponse, bClose](beast::error_code a_Error, std::size_t) {
                              if (a_Error)
                                  return Self->Close();
                              if (bClose)
                                  return Self->Linger();
                              Self->ReadHeader(false);
                          });
    }

    // After the last answer: no more sending, then what the peer still sends is read and
    // dropped for a moment, so that closing does not reset the answer away before it is read.
    void Linger()
    {
        beast::error_code Ignored;
        m_Stream.socket().shutdown(tcp::socket::shutdown_send, Ignored);
        m_Buffer.clear();
        m_Stream.expires_after(std::chrono::seconds(1));
        m_Stream.async_read_some(m_Buffer.prepare(4096), [Self = shared_from_this()](beast::error_code a_Error,
                                                                                        std::size_t a_uBytes) {
            Self->m_uDrained += a_uBytes;
            if (a_Error || Self->m_uDrained > kDrainBytes)
                return Self->Close();
            Self->Linger();
        });
    }

    // ---- The event stream: server-sent events until the client goes or the server stops.
    void StartEvents()
    {
        // A HEAD learns what the stream would be (its 503 too) without taking one of its places.
        if (m_bHead)
        {
            if (!m_rServer.m_rService.Events().HasRoom())
                return Respond(Refusal(503, "too many event-stream clients: try again later"), false);
            m_rServer.m_Metrics.Answered(m_strOperation, 200, Clock::now() - m_Asked);
            m_strOut = EventsHeader(m_rServer.m_rService.Instance());
            m_Stream.expires_after(m_rServer.m_Limits.m_WriteTime);
            return net::async_write(m_Stream, net::buffer(m_strOut),
                                    [Self = shared_from_this()](beast::error_code a_Error, std::size_t) {
                                        if (a_Error)
                                            return Self->Close();
                                        Self->Linger();
                                    });
        }
        std::weak_ptr<CConnection> Weak = shared_from_this();
        auto Executor = m_Stream.get_executor();
        m_pSubscription = m_rServer.m_rService.Events().Subscribe([Weak, Executor] {
            net::post(Executor, [Weak] {
                if (auto Self = Weak.lock())
                    Self->WriteEvents(false);
            });
        });
        if (!m_pSubscription)
            return Respond(Refusal(503, "too many event-stream clients: try again later"), false);
        m_rServer.m_Metrics.Answered(m_strOperation, 200, Clock::now() - m_Asked);
        m_strOut = EventsHeader(m_rServer.m_rService.Instance());
        m_bEventsWriting = true;
        m_Stream.expires_after(m_rServer.m_Limits.m_WriteTime);
        net::async_write(m_Stream, net::buffer(m_strOut), [Self = shared_from_this()](beast::error_code a_Error, std::size_t) {
            Self->OnEventsWritten(a_Error);
        });
        Beat();
    }

    // The heartbeat keeps the stream alive: a client gone is found when it fails.
    void Beat()
    {
        m_Heartbeat.expires_after(std::chrono::seconds(1));
        m_Heartbeat.async_wait([Self = shared_from_this()](beast::error_code a_Error) {
            if (a_Error || !Self->m_pSubscription)
                return;
            Self->WriteEvents(true);
            Self->Beat();
        });
    }

    void WriteEvents(bool a_bBeat)
    {
        if (!m_pSubscription)
            return;
        if (m_bEventsWriting)
        {
            m_bMoreEvents = true;
            return;
        }
        unsigned long long uDropped = 0;
        const bool bOpen = m_pSubscription->Take(m_Events, uDropped);
        m_strOut.clear();
        if (uDropped != 0)
            m_strOut += "event: dropped\ndata: {\"count\":" + std::to_string(uDropped) + "}\n\n";
        for (const SEvent& rEvent : m_Events)
            m_strOut += "id: " + std::to_string(rEvent.m_uId) + "\nevent: " + rEvent.m_pcType + "\ndata: " +
                        *rEvent.m_pData + "\n\n";
        m_Events.clear();
        if (!bOpen)
            return Close();
        if (m_strOut.empty())
        {
            if (!a_bBeat)
                return;
            m_strOut = ": idle\n\n";
        }
        m_bEventsWriting = true;
        m_Stream.expires_after(m_rServer.m_Limits.m_WriteTime);
        net::async_write(m_Stream, net::buffer(m_strOut), [Self = shared_from_this()](beast::error_code a_Error, std::size_t) {
            Self->OnEventsWritten(a_Error);
        });
    }

    void OnEventsWritten(beast::error_code a_Error)
    {
        m_bEventsWriting = false;
        if (a_Error)
            return Close();
        if (m_bMoreEvents)
        {
            m_bMoreEvents = false;
            WriteEvents(false);
        }
    }

    CHttpService::SImpl& m_rServer;
    beast::tcp_stream m_Stream;
    beast::flat_buffer m_Buffer{16384 + CDeviceService::kMaxBody};
    std::optional<http::request_parser<http::string_body>> m_Parser;
    SHttpRequest m_Request;
    std::string m_strClient;
    bool m_bKeepAlive = true;
    bool m_bHead = false;
    bool m_bAuthorised = false;
    // What the metrics call this request: "none" until its header is understood.
    std::string m_strOperation = "none";
    Clock::time_point m_Asked;
    std::size_t m_uDrained = 0;
    std::size_t m_uHeaderHeld = 0;  // of the server's budget for headers in progress
    net::steady_timer m_Heartbeat;
    std::shared_ptr<CEventHub::CSubscription> m_pSubscription;
    std::deque<SEvent> m_Events;
    std::string m_strOut;
    bool m_bEventsWriting = false;
    bool m_bMoreEvents = false;
    Clock::time_point m_Opened;
};

void CHttpService::SImpl::Accept()
{
    m_Acceptor.async_accept(m_Io, [this](beast::error_code a_Error, tcp::socket a_Socket) {
        OnAccept(a_Error, std::move(a_Socket));
    });
}

void CHttpService::SImpl::OnAccept(const beast::error_code& a_rError, tcp::socket a_Socket)
{
    if (a_rError == net::error::operation_aborted || m_bStop)
        return;
    if (a_rError)
    {
        // Out of descriptors, say: try again shortly rather than spin.
        auto pRetry = std::make_shared<net::steady_timer>(m_Io, std::chrono::milliseconds(100));
        pRetry->async_wait([this, pRetry](beast::error_code a_Error) {
            if (!a_Error)
                Accept();
        });
        return;
    }
    if (m_uConnections >= m_Limits.m_uMaxConnections)
    {
        // Room is made by the oldest connection that never sent the token.
        std::shared_ptr<CConnection> pOldest = OldestStranger(false);
        if (pOldest)
            pOldest->Close();
        else
        {
            beast::error_code Ignored;
            a_Socket.close(Ignored);
            return Accept();
        }
    }
    auto pConnection = std::make_shared<CConnection>(*this, std::move(a_Socket));
    m_Connections.push_back(pConnection);
    pConnection->Start();
    Accept();
}

std::shared_ptr<CConnection> CHttpService::SImpl::OldestStranger(bool a_bHoldingHeader)
{
    std::shared_ptr<CConnection> pOldest;
    for (auto It = m_Connections.begin(); It != m_Connections.end();)
    {
        std::shared_ptr<CConnection> pConnection = It->lock();
        if (!pConnection)
        {
            It = m_Connections.erase(It);
            continue;
        }
        if (!pConnection->IsAuthorised() && (!a_bHoldingHeader || pConnection->HoldsHeader()) &&
            (!pOldest || pConnection->Opened() < pOldest->Opened()))
            pOldest = pConnection;
        ++It;
    }
    return pOldest;
}

void CHttpService::SImpl::Tick()
{
    m_Tick.expires_after(std::chrono::seconds(1));
    m_Tick.async_wait([this](beast::error_code a_Error) {
        if (a_Error)
            return;
        m_rService.Audit().Flush();
        m_Connections.remove_if([](const std::weak_ptr<CConnection>& a_rConnection) { return a_rConnection.expired(); });
        Tick();
    });
}

void CHttpService::SImpl::CloseAll()
{
    beast::error_code Ignored;
    m_Acceptor.close(Ignored);
    for (const std::weak_ptr<CConnection>& rConnection : m_Connections)
        if (auto pConnection = rConnection.lock())
            pConnection->Close();
}

CHttpService::CHttpService(CDeviceService& a_rService, SServerLimits a_Limits) : m_pImpl(new SImpl(a_rService, a_Limits))
{
}

CHttpService::~CHttpService()
{
    Stop();
    m_pImpl->m_Worker.Stop();
}

int CHttpService::Bind(const std::string& a_strHost, int a_iPort, std::string& a_rError)
{
    beast::error_code Error;
    tcp::resolver Resolver(m_pImpl->m_Io);
    const auto Endpoints = Resolver.resolve(a_strHost, std::to_string(a_iPort),
                                            tcp::resolver::numeric_service | tcp::resolver::passive, Error);
    if (Error || Endpoints.empty())
    {
        a_rError = "cannot resolve " + a_strHost + ": " + Error.message();
        return -1;
    }
    tcp::acceptor& rAcceptor = m_pImpl->m_Acceptor;
    const tcp::endpoint Endpoint = *Endpoints.begin();
    rAcceptor.open(Endpoint.protocol(), Error);
    if (!Error)
    {
#ifdef _WIN32
        // Windows lets a second socket take over a port bound with SO_REUSEADDR; this
        // server's address is its own.
        BOOL bExclusive = TRUE;
        ::setsockopt(rAcceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&bExclusive),
                     sizeof bExclusive);
#else
        // Lets a restarted server bind while old connections linger; a second listener on
        // the same address still fails (no SO_REUSEPORT).
        rAcceptor.set_option(tcp::acceptor::reuse_address(true), Error);
#endif
    }
    if (!Error)
        rAcceptor.bind(Endpoint, Error);
    if (!Error)
        rAcceptor.listen(net::socket_base::max_listen_connections, Error);
    if (Error)
    {
        // The same words on every system: Windows says it otherwise.
        a_rError = Error == net::error::address_in_use ? std::string("the address is in use (another server?)") : Error.message();
        beast::error_code Ignored;
        rAcceptor.close(Ignored);
        return -1;
    }
    return rAcceptor.local_endpoint().port();
}

void CHttpService::Run()
{
    // A Stop that came first has stopped the I/O context already: run() returns at once.
    SImpl& rImpl = *m_pImpl;
    rImpl.m_bRunning = true;
    rImpl.m_Worker.Start();
    rImpl.Accept();
    rImpl.Tick();
    rImpl.m_Io.run();
    // Stopped: the device call in progress ends, then every connection goes.
    rImpl.m_Worker.Stop();
    rImpl.CloseAll();
    rImpl.m_rService.Events().Close();
    rImpl.m_rService.Audit().Flush();
    rImpl.m_bRunning = false;
}

void CHttpService::Stop()
{
    m_pImpl->m_bStop = true;
    m_pImpl->m_Io.stop();
}

bool CHttpService::IsRunning() const
{
    return m_pImpl->m_bRunning;
}

std::size_t CHttpService::Connections() const
{
    return m_pImpl->m_uConnections;
}
} // namespace rlzev
