// The service on a loopback socket as zevd runs it: zevctl and the client over the network, the
// event stream, many clients at once, and what a peer might send to stall, bloat or confuse the
// server (raw sockets). Single operations through every door: the conformance cases.
#include "HttpClient.h"
#include "HttpServer.h"
#include "Metrics.h"
#include "RawHttp.h"
#include "ServedDevice.h"
#include "ServedOnLoopback.h"
#include "Token.h"
#include "ZevCtl.h"

#include <boost/beast/zlib/inflate_stream.hpp>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>

using namespace rlzevtest;
using std::chrono::milliseconds;
using tcp = boost::asio::ip::tcp;

namespace
{
// Polls every 2 ms until the condition holds or the tries run out.
void WaitFor(const std::function<bool()>& a_Done, int a_iTries = 1000)
{
    for (int i = 0; i < a_iTries && !a_Done(); ++i)
        std::this_thread::sleep_for(milliseconds(2));
}

// A request exactly as given: a_strHeaders are whole lines ending in "\r\n".
std::string RawRequest(const std::string& a_strMethod, const std::string& a_strPath, const std::string& a_strHeaders,
                       const std::string& a_strBody = "")
{
    return a_strMethod + " " + a_strPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + a_strHeaders + "\r\n" + a_strBody;
}
std::string Bearer() { return "Authorization: Bearer " + kToken + "\r\n"; }
std::string Length(std::size_t a_uLength) { return "Content-Length: " + std::to_string(a_uLength) + "\r\n"; }
bool Has(const std::string& a_strText, const std::string& a_strPart) { return a_strText.find(a_strPart) != std::string::npos; }
const std::string kWrite = R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL","values":["9/d"]})";
const std::string kField = R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL"})";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// A header field's value in a request or an answer ("" without one).
std::string Field(const std::string& a_strMessage, const std::string& a_strName)
{
    const std::size_t uAt = a_strMessage.find("\r\n" + a_strName + ": "), uValue = uAt + a_strName.size() + 4;
    return uAt == std::string::npos ? "" : a_strMessage.substr(uValue, a_strMessage.find("\r\n", uValue) - uValue);
}

// A connection of its own that sends a_strBytes first.
struct CRawSent : CRawConnection
{
    CRawSent(int a_iPort, const std::string& a_strBytes, int a_iReceiveBytes = 0)
        : CRawConnection(a_iPort, a_iReceiveBytes)
    {
        Send(a_strBytes);
    }
};

// One request on a connection of its own: the answer.
std::string Ask(int a_iPort, const std::string& a_strRequest, milliseconds a_Time = std::chrono::seconds(5))
{
    CRawSent Raw(a_iPort, a_strRequest);
    return Raw.ReadAnswer(a_Time);
}

// A request on a connection of its own, the status it gets and a text its answer holds; one
// that closes is answered once and closed (whatever followed it is never taken for a request).
struct SRow
{
    std::string m_strRequest;
    int m_iStatus;
    std::string m_strText;
    bool m_bCloses = false;
};
void ExpectAnswers(int a_iPort, const std::vector<SRow>& a_rRows)
{
    for (const SRow& Row : a_rRows)
    {
        CRawSent Raw(a_iPort, Row.m_strRequest);
        const std::string strAnswer = Row.m_bCloses ? Raw.Read(milliseconds(2000)) : Raw.ReadAnswer();
        SCOPED_TRACE(Row.m_strRequest.substr(0, 300));
        EXPECT_EQ(Status(strAnswer), Row.m_iStatus);
        EXPECT_TRUE(Has(strAnswer, Row.m_strText)) << strAnswer.substr(0, 600);
        if (Row.m_bCloses)
        {
            EXPECT_EQ(strAnswer.find("HTTP/1.1", 1), std::string::npos) << "one answer only: " << strAnswer;
            EXPECT_TRUE(Raw.IsClosed());
        }
    }
}

// A client's call: its answer, or status 0 and the client's error in m_strError.
rlzev::SHttpResponse Call(rlzev::CHttpClient& a_rClient, const std::string& a_strMethod, const std::string& a_strPath,
                          const std::string& a_strBody = "")
{
    rlzev::SHttpResponse Response;
    std::string strError;
    if (!a_rClient.Send(a_strMethod, a_strPath, a_strBody, Response, strError))
        Response.m_iStatus = 0, Response.m_strError = strError;
    return Response;
}

// The audit log so far, the lines its writer still held too.
std::vector<json> Audited(SServed& a_rServed)
{
    a_rServed.Service.Audit().Flush();
    return a_rServed.AuditLines();
}
unsigned long long RefusedTokens(const std::vector<json>& a_rLines)
{
    unsigned long long uRefused = 0;
    for (const json& Line : a_rLines)
        uRefused += Line["operation"] == "token" ? Line["refused"].get<unsigned long long>() : 0;
    return uRefused;
}

// One request's header off a_rSocket, or a whole request or answer (its Content-Length body
// too); empty once the peer has gone.
std::string ReadRequest(tcp::socket& a_rSocket, bool a_bWhole = false)
{
    boost::asio::streambuf Buffer;
    boost::system::error_code Error;
    const std::size_t uHeader = boost::asio::read_until(a_rSocket, Buffer, "\r\n\r\n", Error);
    if (Error)
        return std::string();
    std::string strMessage(boost::asio::buffers_begin(Buffer.data()), boost::asio::buffers_end(Buffer.data()));
    const std::size_t uField = Lower(strMessage.substr(0, uHeader)).find("\r\ncontent-length: ");
    const std::size_t uLength = !a_bWhole || uField == std::string::npos ? 0 : std::stoul(strMessage.substr(uField + 18));
    if (strMessage.size() < uHeader + uLength)
    {
        std::string strRest(uHeader + uLength - strMessage.size(), '\0');
        boost::asio::read(a_rSocket, boost::asio::buffer(&strRest[0], strRest.size()), Error);
        strMessage += strRest;
    }
    return strMessage;
}

void Write(tcp::socket& a_rSocket, const std::string& a_strBytes)
{
    boost::system::error_code Error;
    boost::asio::write(a_rSocket, boost::asio::buffer(a_strBytes), Error);
}

// Something else on a port: each connection in turn goes to a_Serve with its number (from 0),
// then is closed; by default it reads a request and sends a canned answer.
struct SCannedServer
{
    using FServe = std::function<void(tcp::socket&, int)>;
    explicit SCannedServer(const std::string& a_strAnswer)
        : SCannedServer([a_strAnswer](tcp::socket& a_rSocket, int) {
              ReadRequest(a_rSocket);
              Write(a_rSocket, a_strAnswer);
          })
    {
    }
    explicit SCannedServer(FServe a_Serve) : Acceptor(Io, {boost::asio::ip::make_address("127.0.0.1"), 0})
    {
        iPort = Acceptor.local_endpoint().port();
        strUrl = "127.0.0.1:" + std::to_string(iPort);
        Thread = std::thread([this, a_Serve] {
            for (;;)
            {
                boost::system::error_code Error;
                tcp::socket Socket(Io);
                Acceptor.accept(Socket, Error);
                if (Error || bDone)
                    return;
                a_Serve(Socket, iConnections++);
                Socket.shutdown(tcp::socket::shutdown_both, Error);
            }
        });
    }
    ~SCannedServer()
    {
        bDone = true;
        CRawConnection Wake(iPort);
        Thread.join();
    }
    boost::asio::io_context Io;
    tcp::acceptor Acceptor;
    int iPort = 0;
    std::string strUrl;
    std::atomic<int> iConnections{0};
    std::atomic<bool> bDone{false};
    std::thread Thread;
};

std::string Answer(int a_iStatus, const std::string& a_strType, const std::string& a_strBody)
{
    return "HTTP/1.1 " + std::to_string(a_iStatus) + " X\r\nContent-Type: " + a_strType + "\r\n" + Length(a_strBody.size()) +
           "Connection: close\r\n\r\n" + a_strBody;
}

struct SZevctl
{
    int m_iCode;
    std::string m_strOut, m_strErr;
    std::tuple<int, std::string, std::string> All() const { return std::make_tuple(m_iCode, m_strOut, m_strErr); }
};

SZevctl Zevctl(const std::vector<std::string>& a_rArgs)
{
    std::istringstream In;
    std::ostringstream Out, Err;
    const int iCode = RunZevctl(a_rArgs, In, Out, Err);
    return {iCode, Out.str(), Err.str()};
}

void SetEnvironment(const char* a_pcName, const std::string& a_strValue)
{
#ifdef _WIN32
    _putenv((std::string(a_pcName) + "=" + a_strValue).c_str());  // copied; an empty value removes it
#else
    if (a_strValue.empty())
        unsetenv(a_pcName);
    else
        setenv(a_pcName, a_strValue.c_str(), 1);
#endif
}

// zevctl --connect a_strUrl with a token file (the right token unless told otherwise).
SZevctl Remote(const std::string& a_strUrl, std::vector<std::string> a_Args, const std::string& a_strToken = kToken)
{
    const std::string strPath = testing::TempDir() + "zevd-token-http";
    rlzev::WriteTokenFile(strPath, a_strToken);
    a_Args.insert(a_Args.begin(), {"--connect", a_strUrl, "--token-file", strPath});
    return Zevctl(a_Args);
}
} // namespace

TEST(ServiceHttp, ZevctlListsAlikeInProcessAndOnAServer)
{
    SServer Server;
    // (Each operation through both: the conformance cases; a session script: zevd's end-to-end test.)
    for (const std::vector<std::string>& Args : std::vector<std::vector<std::string>>{{"list", "DIN_MS_DET_LOW"}, {"list"}, {"list", "NOPE"}})
        EXPECT_EQ(Remote(Server.strUrl, Args).All(), Zevctl(Args).All()) << testing::PrintToString(Args);
}

TEST(ServiceHttp, TheTokenComesFromItsFileOrTheEnvironmentAndStrangersStayOut)
{
    SServer Server;
    EXPECT_EQ(Remote(Server.strUrl, {"write", "DIN_CNTRL0", "FIFOLEVEL", "33/d"}).m_iCode, 0);
    // The token from the environment, unless a token file is named (state across invocations: zevd's end-to-end test).
    SetEnvironment("ZEVD_TOKEN", kToken);
    EXPECT_EQ(Zevctl({"--connect", Server.strUrl, "get", "DIN_CNTRL0", "FIFOLEVEL"}).m_strOut, "33\n");
    SetEnvironment("ZEVD_TOKEN", "ffff");
    EXPECT_EQ(Remote(Server.strUrl, {"get", "DIN_CNTRL0", "FIFOLEVEL"}).m_strOut, "33\n");
    SetEnvironment("ZEVD_TOKEN", "");
    const auto Before = Server.Served.State();
    SZevctl R = Remote(Server.strUrl, {"write", "DIN_CNTRL0", "FIFOLEVEL", "1/d"}, "ffffffffffffffffffffffffffffffff");
    EXPECT_EQ(R.m_iCode, 4) << "the exit code the help names";
    EXPECT_EQ(R.m_strErr, "zevctl: the server refused the token: missing or wrong token: send \"Authorization: Bearer <token>\"\n");
    R = Remote("http://127.0.0.1:1", {"snapshot"});
    EXPECT_EQ(R.m_iCode, ZEVCTL_UNREACHABLE);
    EXPECT_EQ(R.m_strErr.rfind("zevctl: no answer from the server: ", 0), 0u);
    R = Zevctl({"--connect", Server.strUrl, "--token-file", "/nonexistent/token", "snapshot"});
    EXPECT_EQ(R.m_strErr, "zevctl: no token in /nonexistent/token: it cannot be read or is empty\n");
    EXPECT_EQ(R.m_iCode, ZEVCTL_UNREACHABLE);

    // No CORS: a page of another origin gets no permission, a preflight no answer but 401.
    const std::string strPreflight = "Origin: http://elsewhere.example\r\nAccess-Control-Request-Method: POST\r\n";
    const std::string strRefused = Ask(Server.iPort, RawRequest("OPTIONS", "/api/v1/write", strPreflight));
    EXPECT_EQ(Status(strRefused), 401);
    EXPECT_FALSE(Has(Lower(strRefused), "access-control"));
    // On a connection that carried the token: a device's answer is never kept nor dressed as a
    // page; the console's files need no token, carry their policy, and the reference no map.
    CRawConnection Kept(Server.iPort);
    const std::string strCsp = "Content-Security-Policy: default-src 'self'";
    for (const auto& Row : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {RawRequest("GET", "/api/v1/device", "Origin: http://elsewhere.example\r\n" + Bearer()), {"Cache-Control: no-store\r\n"}},
             {RawRequest("GET", "/", ""), {"Content-Type: text/html; charset=utf-8\r\n", strCsp, "X-Content-Type-Options: nosniff\r\n",
                                           "Referrer-Policy: no-referrer\r\n", "; script-src 'self' 'sha256-",
                                           "<script>'use strict';\nwindow.ZEV_REFERENCE = null;"}},
             {RawRequest("GET", "/index.html", ""), {"\r\nCache-Control: no-cache\r\n"}},
             {RawRequest("GET", "/reference.js", ""), {"\r\n\r\nwindow.ZEV_REFERENCE = null;", strCsp, "Content-Type: text/javascript; charset=utf-8\r\n"}},
             {RawRequest("GET", "/console.css", ""), {}},
             {RawRequest("GET", "/api/v1/map", Bearer()), {"\r\nVary: Accept-Encoding\r\n"}}})
    {
        Kept.Send(Row.first);
        const std::string strAnswer = Kept.ReadAnswer();
        EXPECT_EQ(Status(strAnswer), 200) << Row.first;
        for (const std::string& strText : Row.second)
            EXPECT_TRUE(Has(strAnswer, strText)) << strText << strAnswer.substr(0, 600);
        EXPECT_FALSE(Has(Lower(strAnswer), "access-control")) << Row.first;
        EXPECT_EQ(Has(strAnswer, "Content-Security-Policy"), Row.first[5] != 'a') << Row.first;
        EXPECT_FALSE(Has(strAnswer, "unsafe-inline")) << Row.first;
    }
    // A GET with a body is refused on the public pages too (on the device's: the framing).
    ExpectAnswers(Server.iPort, {{RawRequest("GET", "/api/v1/map", ""), 401, ""},
                                 {RawRequest("GET", "/favicon.ico", ""), 401, ""},
                                 {RawRequest("GET", "/index.html", Length(1), "x"), 400, ""}});
    EXPECT_EQ(Server.Served.State(), Before);
}

TEST(ServiceHttp, ZevctlTakesNoAnswerOfAnotherShapeForOne)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> Cases = {
        {Answer(200, "application/json", R"({"values":[1,2]})"), {"get", "A", "B"}},
        {Answer(200, "application/json", R"({"reports":5})"), {"get", "A", "B"}},
        {Answer(200, "application/json", R"({"reports":[{"type":"report","line":"x"}]})"), {"lock", "A", "B"}},
        {Answer(422, "application/json", R"({"error":7})"), {"unlock", "A", "B"}},
        {Answer(200, "application/json", R"({"registers":[{"name":1}]})"), {"list"}},
        {Answer(200, "application/json", R"({"snapshot":[]})"), {"snapshot"}},
        {Answer(502, "text/html", "<html>bad gateway</html>"), {"snapshot"}}};
    for (const auto& Case : Cases)
    {
        SCannedServer Other(Case.first);
        const SZevctl R = Remote("http://" + Other.strUrl, Case.second);
        EXPECT_EQ(R.m_iCode, ZEVCTL_UNREACHABLE) << Case.first;
        EXPECT_TRUE(Has(R.m_strErr, &Case == &Cases.back() ? "zevctl: the server answered 502 without a JSON body\n"
                                                            : "is not what zevctl expects"))
            << Case.first << R.m_strErr;
    }
}

TEST(ServiceHttp, TheEventStreamTellsTransfersReportsAndLogLines)
{
    SServer Server;
    CRawSent Listener(Server.iPort, RawRequest("GET", "/api/v1/events", Bearer()));
    WaitFor([&] { return Server.Served.Service.Events().IsListening(); });
    ASSERT_TRUE(Server.Served.Service.Events().IsListening());
    rlzev::CHttpClient Client(Server.strUrl, kToken);
    auto Post = [&](const std::string& a_strOperation, const json& a_rBody) {
        EXPECT_EQ(Call(Client, "POST", "/api/v1/" + a_strOperation, a_rBody.dump()).m_iStatus, 200);
    };
    // What the stream brought from now until a_strText, and when that came.
    std::string strStream;
    auto ReadUntil = [&](const std::string& a_strText) {
        strStream.clear();
        for (int i = 0; i < 60 && !Has(strStream, a_strText); ++i)
            strStream += Listener.Read(milliseconds(100), 1);
        EXPECT_TRUE(Has(strStream, a_strText)) << strStream;
        return std::chrono::steady_clock::now();
    };
    Post("logging", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"enable", true}});
    Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"33/d"}}});
    Post("write", {{"register", "PRI_SERVAL"}, {"signal", "SERVAL"}, {"values", {"1/d"}}});
    // The host's own calls show too.
    Server.Served.Runtime.Run([](CZEV& a_rDevice) { a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(7, CSignalBase::HW_WRITE_IMMEDIATE); });
    ReadUntil("to value: 7");
    EXPECT_EQ(strStream.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n", 0), 0u) << strStream;
    for (const char* pcEvent : {"event: transfer\ndata: {\"text\":\"bus: W 0x00100 4 0x", "event: log\ndata: {\"text\":\"",
                                "event: report\ndata: {\"accessDenied\":true"})
        EXPECT_TRUE(Has(strStream, pcEvent)) << pcEvent << strStream;
    EXPECT_FALSE(Has(strStream, "event: dropped")) << "nothing was dropped";
    // A quiet stream has its heartbeat, a second apart; events come as they happen, a burst
    // of them too, not with the next heartbeat.
    const auto Beat = ReadUntil(": idle\n\n");
    json Burst = json::array();
    for (int i = 1; i <= 60; ++i)
        Burst.push_back({{"op", "write"}, {"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {std::to_string(i) + "/d"}}});
    Post("batch", {{"operations", Burst}});
    const auto Events = ReadUntil("to value: 60\"");
    const auto NextBeat = ReadUntil(": idle\n\n");
    EXPECT_LT(2 * (Events - Beat), NextBeat - Events);
    // Not a flood of heartbeats either.
    const std::string strQuiet = Listener.Read(milliseconds(1500));
    std::size_t uBeats = 0;
    for (std::size_t uAt = strQuiet.find(": idle"); uAt != std::string::npos; uAt = strQuiet.find(": idle", uAt + 1))
        ++uBeats;
    EXPECT_LE(uBeats, 2u) << strQuiet.substr(0, 200);

    // A HEAD learns what the stream is and takes none of its places, held open or not. Four
    // streams at most; the fifth is told to come back later, and a HEAD answers as its GET would.
    std::vector<std::unique_ptr<CRawConnection>> Held;
    for (int i = 0; i < 9; ++i)
    {
        Held.emplace_back(new CRawConnection(Server.iPort));
        Held.back()->Send(RawRequest(i < 4 || i == 8 ? "HEAD" : "GET", "/api/v1/events", Bearer()));
        const std::string strHead =
            i == 7 ? Held.back()->ReadAnswer() : Held.back()->Read(milliseconds(2000), i < 4 ? 70 : 15);
        EXPECT_EQ(Status(strHead), i < 7 ? 200 : 503) << i;
        EXPECT_TRUE(i >= 4 || Has(strHead, "Content-Type: text/event-stream\r\n")) << strHead;
        EXPECT_TRUE(i != 7 || Field(strHead, "Retry-After") == "5") << strHead;
    }
    // The connection stays for other requests. A HEAD is its GET's header alone: the next answer follows it at once.
    CRawConnection& Fifth = *Held[7];
    Fifth.Send(RawRequest("HEAD", "/api/v1/device", Bearer()) + RawRequest("GET", "/api/v1/device", Bearer()));
    const std::string strBoth = Fifth.Read(milliseconds(1000));
    const std::size_t uSecond = strBoth.find("HTTP/1.1 200", 1);
    ASSERT_NE(uSecond, std::string::npos) << strBoth;
    EXPECT_EQ(Status(strBoth), 200);
    EXPECT_EQ(uSecond, strBoth.find("\r\n\r\n") + 4) << "no body after a HEAD's header";
    EXPECT_EQ(Field(strBoth.substr(0, uSecond), "Content-Length"), std::to_string(Body(strBoth.substr(uSecond)).size()))
        << strBoth;
    // A refusal after a HEAD is whole.
    Fifth.Send(RawRequest("HEAD", "/api/v1/device", Bearer()) +
               RawRequest("GET", "/api/v1/device", Bearer() + "X-Filler: " + std::string(17000, 'a') + "\r\n"));
    const std::string strRefused = Fifth.Read(milliseconds(1000));
    const std::size_t uRefusal = strRefused.find("HTTP/1.1 431");
    ASSERT_NE(uRefusal, std::string::npos) << strRefused.substr(0, 300);
    EXPECT_TRUE(Has(Body(strRefused.substr(uRefusal)), "request header larger than")) << strRefused.substr(0, 300);
}

TEST(ServiceHttp, EightClientsAtOnceLeaveExactlyWhatTheyWrote)
{
    SServer Server;
    // One plain numeric field of its own for every client.
    std::vector<std::pair<std::string, std::string>> Fields;
    for (unsigned i = 0; i < g_udwZevRegisterCount && Fields.size() < 8; ++i)
    {
        const SMapRegister& Reg = g_aZevRegisterMap[i];
        const bool bPlain =
            std::string(Reg.m_pcAccess) == "CParallelRead_ParallelWrite" && !Reg.m_bStatus && Reg.m_udwWords == 1;
        for (unsigned s = 0; bPlain && s < Reg.m_udwSignalCount; ++s)
            if (Reg.m_pSignals[s].m_udwWidth >= 8 && Reg.m_pSignals[s].m_udwEnumeratorCount == 0)
            {
                Fields.emplace_back(Reg.m_pcName, Reg.m_pSignals[s].m_pcName);
                break;
            }
    }
    ASSERT_EQ(Fields.size(), 8u);
    const unsigned kRequests = 800;
    std::atomic<unsigned> uFailed(0);
    std::vector<std::thread> Clients;
    for (unsigned c = 0; c < 8; ++c)
        Clients.emplace_back([&, c] {
            rlzev::CHttpClient Client(Server.strUrl, kToken);
            const std::string strName = R"({"register":")" + Fields[c].first + R"(","signal":")" + Fields[c].second + "\"";
            for (unsigned i = 0; i < kRequests; ++i)
            {
                const rlzev::SHttpResponse Response =
                    i % 4 == 0   ? Call(Client, "POST", "/api/v1/write", strName + ",\"values\":[\"" + std::to_string((i + c) & 0xFF) + "/d\"]}")
                    : i % 4 == 1 ? Call(Client, "POST", "/api/v1/value", strName + "}")
                    : i % 4 == 2 ? Call(Client, "POST", "/api/v1/read", strName + "}")
                                 : Call(Client, "GET", "/api/v1/registers/" + Fields[c].first);
                if (Response.m_iStatus != 200 || Has(Response.m_strBody, "\"reports\":[{"))
                    ++uFailed;
            }
        });
    // Strangers knock meanwhile: counted, never logged one by one.
    std::thread Stranger([&] {
        for (int i = 0; i < 200; ++i)
            Ask(Server.iPort, RawRequest("POST", "/api/v1/defaults", Length(2), "{}"));
    });
    for (std::thread& Client : Clients)
        Client.join();
    Stranger.join();
    EXPECT_EQ(uFailed.load(), 0u);
    for (unsigned c = 0; c < 8; ++c)
        EXPECT_EQ(Server.Served.Runtime.Run([&](CZEV& a_rDevice) { return a_rDevice.GetValueByString(Fields[c].first, Fields[c].second); }),
                  std::list<std::string>{std::to_string(((kRequests - 4) + c) & 0xFF)})
            << Fields[c].first;
    // Every audit line whole, one per write (in the device's order: the service's test).
    const std::vector<json> Audit = Audited(Server.Served);
    const auto uWrites =
        std::count_if(Audit.begin(), Audit.end(), [](const json& a_rLine) { return a_rLine["operation"] == "write"; });
    EXPECT_EQ(uWrites, 8 * kRequests / 4);
    EXPECT_EQ(RefusedTokens(Audit), 200u);
    EXPECT_LT(Audit.size() - uWrites, 20u) << "refusals come a line a second at most";
}

TEST(HttpServer, SlowAndIdleConnectionsStarveNobody)
{
    rlzev::SServerLimits Limits;
    Limits.m_HeaderTime = milliseconds(1500);
    Limits.m_IdleTime = std::chrono::seconds(60);  // a later request's wait: not the first's
    SServer Server(false, Limits);
    // 200 connections dripping a header a byte at a time, 200 that send nothing.
    std::vector<std::unique_ptr<CRawConnection>> Slow, Idle;
    for (int i = 0; i < 200; ++i)
    {
        Slow.emplace_back(new CRawConnection(Server.iPort));
        Idle.emplace_back(new CRawConnection(Server.iPort));
    }
    std::atomic<bool> bDone(false);
    // A header that never ends: only its deadline ends such a connection. A byte well inside the
    // idle time is all a dripper needs; faster only loads the machine (under Wine, each send is costly).
    std::thread Dripper([&] {
        const std::string strHeader = "GET /api/v1/device HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(10000, 'a');
        for (std::size_t uByte = 0; !bDone && uByte < strHeader.size(); ++uByte)
        {
            for (auto& pSlow : Slow)
                pSlow->Send(strHeader.substr(uByte, 1));
            for (int i = 0; i < 10 && !bDone; ++i)
                std::this_thread::sleep_for(milliseconds(10));
        }
    });
    WaitFor([&] { return Server.Http.Connections() >= 400; });
    // A client with the token is served at once meanwhile, again and again.
    rlzev::CHttpClient Client(Server.strUrl, kToken, std::chrono::seconds(1));
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Call(Client, "POST", "/api/v1/read", kField).m_iStatus, 200) << i;
    // The header's deadline is for the whole header: the drippers are cut off.
    WaitFor([&] { return Server.Http.Connections() <= 1; }, 5000);
    EXPECT_LE(Server.Http.Connections(), 1u);
    bDone = true;
    Dripper.join();
    EXPECT_TRUE(Slow.front()->Read(milliseconds(100)).empty() && Slow.front()->IsClosed());
}

TEST(HttpServer, TheClientSendsItsRequestWholeAndComesBackAfterAClose)
{
    // The host and port from the URL, with or without a scheme, an IPv6-style bracket or a path.
    for (const std::string strForm : {"http://", "", "http://["})
    {
        std::promise<std::string> Header;
        SCannedServer Server([&Header](tcp::socket& a_rSocket, int) {
            Header.set_value(ReadRequest(a_rSocket));
            Write(a_rSocket, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
        });
        const bool bPost = strForm == "http://", bBracket = strForm == "http://[";
        const std::string strAuthority = "127.0.0.1" + std::string(bBracket ? "]:" : ":") + std::to_string(Server.iPort);
        rlzev::CHttpClient Client(strForm + strAuthority + (bPost ? "/any/path" : ""), "tok");
        const rlzev::SHttpResponse Response = Call(Client, bPost ? "POST" : "GET", "/api/v1/read", bPost ? R"({"a":1})" : "");
        EXPECT_EQ(Response.m_iStatus, 200) << strForm << ": " << Response.m_strError;
        EXPECT_EQ(Response.m_strBody, "{}");
        const std::string strHeader = Header.get_future().get();
        EXPECT_EQ(strHeader.rfind(bPost ? "POST /api/v1/read HTTP/1.1\r\n" : "GET /api/v1/read HTTP/1.1\r\n", 0), 0u);
        EXPECT_EQ(Field(strHeader, "Host"), (bBracket ? "[" : "") + strAuthority);
        EXPECT_EQ(Field(strHeader, "Authorization"), "Bearer tok");
        EXPECT_EQ(Field(strHeader, "Content-Type"), bPost ? "application/json" : "");
        EXPECT_EQ(Field(strHeader, "Content-Length"), bPost ? "7" : "") << "a GET carries no body";
    }
    // Without a port, port 80; a host that is not one is said so, never taken for the loopback.
    rlzev::CHttpClient NoPort("http://127.0.0.1", "tok");
    EXPECT_EQ(Call(NoPort, "GET", "/api/v1/device").m_strError.rfind("cannot connect to 127.0.0.1:80: ", 0), 0u);
    for (const std::string strHost : {"[]", "no.such.host.invalid"})
    {
        rlzev::CHttpClient Nowhere("http://" + strHost + ":7411", "tok");
        const rlzev::SHttpResponse Response = Call(Nowhere, "GET", "/api/v1/device");
        EXPECT_EQ(Response.m_strError.rfind("cannot resolve " + strHost + ": ", 0), 0u) << Response.m_strError;
    }
    // One character in brackets is a host too: "[1]" is 0.0.0.1 (whatever answers there, if
    // anything), never a name "[1]" to look up.
    rlzev::CHttpClient One("http://[1]:7411", "tok", milliseconds(300));
    EXPECT_EQ(Call(One, "GET", "/api/v1/device").m_strError.rfind("cannot resolve", 0), std::string::npos);

    // A kept connection the server closed while idle: the next request goes out anew.
    rlzev::SServerLimits Limits;
    Limits.m_IdleTime = milliseconds(200);
    SServer Server(false, Limits);
    rlzev::CHttpClient Client(Server.strUrl, kToken);
    ASSERT_EQ(Call(Client, "GET", "/api/v1/device").m_iStatus, 200);
    WaitFor([&] { return Server.Http.Connections() == 0; });
    ASSERT_EQ(Server.Http.Connections(), 0u) << "the server closed the idle connection";
    EXPECT_EQ(Call(Client, "GET", "/api/v1/device").m_iStatus, 200);
}

TEST(HttpServer, TheClientKeepsItsConnectionAndLetsGoOfOneThatFailed)
{
    rlzev::SHttpResponse Response;
    std::string strError;
    // Two answers on one connection, the second after the client's timeout has passed once
    // and larger than a parser takes by default; each answer replaces every field.
    {
        const std::string strBig(9u << 20, 'x');
        SCannedServer Server([&](tcp::socket& a_rSocket, int) {
            ReadRequest(a_rSocket);
            Write(a_rSocket, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok");
            ReadRequest(a_rSocket);
            Write(a_rSocket, "HTTP/1.1 200 OK\r\n" + Length(strBig.size()) + "\r\n" + strBig);
            ReadRequest(a_rSocket);  // until the client goes
        });
        rlzev::CHttpClient Client(Server.strUrl, "tok", milliseconds(1000));
        Response.m_strEtag = "stale";
        ASSERT_TRUE(Client.Send("GET", "/a", "", Response, strError)) << strError;
        EXPECT_EQ(Response.m_strBody, "ok");
        EXPECT_EQ(Response.m_strContentType, "text/plain");
        EXPECT_EQ(Response.m_strEtag, "");
        std::this_thread::sleep_for(milliseconds(1300));
        EXPECT_EQ(Call(Client, "GET", "/b").m_strBody.size(), strBig.size());
        EXPECT_EQ(Server.iConnections, 1);
    }
    // An answer of 64 MiB is awaited; one a byte longer is refused on its header alone.
    for (const std::size_t uLength : {std::size_t(64u << 20), std::size_t((64u << 20) + 1)})
    {
        SCannedServer Server("HTTP/1.1 200 OK\r\n" + Length(uLength) + "\r\nok");
        rlzev::CHttpClient Client(Server.strUrl, "tok", milliseconds(1000));
        const rlzev::SHttpResponse Cut = Call(Client, "GET", "/a");
        EXPECT_EQ(Cut.m_iStatus, 0);
        EXPECT_EQ(Cut.m_strError == "the answer is larger than 64 MiB", uLength > (64u << 20)) << Cut.m_strError;
    }
    // A request cut off while it is being sent: a failure, never an answer. (Not under Wine: its
    // sockets may never end a send the peer reset, and the client would wait for ever.)
#ifndef _WIN32
    {
        SCannedServer Server([&](tcp::socket& a_rSocket, int) { ReadRequest(a_rSocket); });
        rlzev::CHttpClient Client(Server.strUrl, "tok", milliseconds(5000));
        const rlzev::SHttpResponse Cut = Call(Client, "POST", "/a", std::string(16u << 20, ' '));
        EXPECT_EQ(Cut.m_iStatus, 0);
        EXPECT_FALSE(Cut.m_strError.empty());
    }
#endif
    // An answer that says "close", bytes beyond an answer, a kept connection the server reset
    // while idle: that connection is let go, the next request goes out on a new one.
    for (const std::string strHow : {"close", "junk", "reset"})
    {
        std::atomic<bool> bAnswered{false}, bGone{false};
        SCannedServer Server([&](tcp::socket& a_rSocket, int a_iConnection) {
            ReadRequest(a_rSocket);
            if (a_iConnection > 0)
            {
                Write(a_rSocket, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew");
                ReadRequest(a_rSocket);
                return;
            }
            Write(a_rSocket, strHow == "close" ? "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"
                             : strHow == "junk" ? kOk + "JUNK" : kOk);
            if (strHow == "reset")
            {
                WaitFor([&] { return bAnswered.load(); });
                boost::system::error_code Error;
                a_rSocket.set_option(boost::asio::socket_base::linger(true, 0), Error);
                a_rSocket.close(Error);
                bGone = true;
            }
            else
                bGone = ReadRequest(a_rSocket).empty();
        });
        rlzev::CHttpClient Client(Server.strUrl, "tok", milliseconds(1000));
        EXPECT_EQ(Call(Client, "GET", "/a").m_strBody, "ok") << strHow;
        bAnswered = true;
        WaitFor([&] { return bGone.load(); });
        EXPECT_TRUE(bGone) << strHow;
        std::this_thread::sleep_for(milliseconds(50));  // the reset on its way
        EXPECT_EQ(Call(Client, "GET", "/b").m_strBody, "new") << strHow;
        EXPECT_EQ(Server.iConnections, 2);
    }
    // A POST whose answer breaks is sent again on a new connection under the same id; one left
    // without an answer by the call's timeout is of unknown outcome, never sent again past it.
    for (const std::string strAnswer : {"", "nonsense\r\n\r\n"})
    {
        std::mutex Mutex;
        std::vector<std::string> Ids;
        SCannedServer Server([&](tcp::socket& a_rSocket, int a_iConnection) {
            for (std::string strNext = kOk;; strNext = a_iConnection == 0 ? strAnswer : kOk)
            {
                const std::string strHeader = ReadRequest(a_rSocket);
                if (strHeader.empty())
                    return;
                std::lock_guard<std::mutex> Lock(Mutex);
                Ids.push_back(Field(strHeader, "ZEV-Request-Id"));
                Write(a_rSocket, strNext);
            }
        });
        rlzev::CHttpClient Client(Server.strUrl, "tok", milliseconds(1000));
        ASSERT_EQ(Call(Client, "POST", "/a", "{}").m_iStatus, 200);
        const rlzev::SHttpResponse Second = Call(Client, "POST", "/b", "{}");
        std::lock_guard<std::mutex> Lock(Mutex);
        if (strAnswer.empty())
        {
            EXPECT_EQ(Second.m_strError, "no answer in time: the request may or may not have been carried out");
            EXPECT_EQ(Ids.size(), 2u);
        }
        else
        {
            EXPECT_EQ(Second.m_strBody, "ok") << Second.m_strError;
            ASSERT_EQ(Ids.size(), 3u);
            EXPECT_EQ(Ids[2], Ids[1]) << "the same request, the same id";
            EXPECT_EQ(Server.iConnections, 2);
        }
        ASSERT_GE(Ids.size(), 2u);
        EXPECT_NE(Ids[0], Ids[1]);
        EXPECT_FALSE(Ids[0].empty());
    }
    // A listener whose queue is full never completes a connection: the timeout ends the wait.
    boost::asio::io_context Io;
    tcp::acceptor Full(Io);
    Full.open(tcp::v4());
    Full.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
    Full.listen(0);
    const std::string strPort = std::to_string(Full.local_endpoint().port());
    CRawConnection Queued(Full.local_endpoint().port());
    ASSERT_TRUE(Queued.IsConnected()) << "the one place in the queue";
    rlzev::CHttpClient Client("127.0.0.1:" + strPort, "tok", milliseconds(300));
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(Client, "GET", "/a").m_strError.rfind("cannot connect to 127.0.0.1:" + strPort + ": ", 0), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(3));
}

TEST(HttpServer, ARequestWhoseAnswerIsLostRunsOnceAndARestartIsToldOnce)
{
    SServer Server;
    // A proxy that carries each request to the server and drops the answers it is told to.
    std::atomic<int> iForwarded{0}, iDrop{1};
    SCannedServer Proxy([&](tcp::socket& a_rClient, int) {
        boost::asio::io_context Io;
        tcp::socket Upstream(Io);
        boost::system::error_code Error;
        Upstream.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(Server.iPort)}, Error);
        for (std::string strRequest = ReadRequest(a_rClient, true); !strRequest.empty(); strRequest = ReadRequest(a_rClient, true))
        {
            Write(Upstream, strRequest);
            const std::string strAnswer = ReadRequest(Upstream, true);
            ++iForwarded;
            if (iDrop > 0 && --iDrop >= 0)
                return;  // lost on the way back
            Write(a_rClient, strAnswer);
        }
    });
    const auto uWrites = Server.Served.Host.Bus.m_Counters.m_uWrites;
    const std::size_t uAudited = Server.Served.AuditLines().size();
    {
        // (Gone after its call: the proxy serves one connection at a time.)
        rlzev::CHttpClient Client(Proxy.strUrl, kToken);
        const rlzev::SHttpResponse Response =
            Call(Client, "POST", "/api/v1/set", R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL","value":2,"mode":2})");
        ASSERT_EQ(Response.m_iStatus, 200) << Response.m_strError;
        EXPECT_EQ(json::parse(Response.m_strBody)["result"], true) << "the answer of the one run, not of a second";
    }
    EXPECT_EQ(iForwarded.load(), 2) << "sent again once the answer was lost";
    EXPECT_EQ(Server.Served.Host.Bus.m_Counters.m_uWrites, uWrites + 1) << "carried out once";
    EXPECT_EQ(Server.Served.AuditLines().size(), uAudited + 1);
    // zevctl --connect alike, its answer lost twice; every try.
    iDrop = 2;
    const SZevctl Lost = Remote(Proxy.strUrl, {"write", "DIN_CNTRL0", "FIFOLEVEL", "9/d"});
    EXPECT_EQ(Lost.m_iCode, 0) << Lost.m_strErr;
    EXPECT_EQ(Server.Served.Host.Bus.m_Counters.m_uWrites, uWrites + 2) << "carried out once";
    EXPECT_EQ(Server.Served.AuditLines().size(), uAudited + 2);
    iDrop = 3;
    const SZevctl Unknown = Remote(Proxy.strUrl, {"write", "DIN_CNTRL0", "FIFOLEVEL", "10/d"});
    EXPECT_EQ(Unknown.m_iCode, ZEVCTL_UNREACHABLE);
    EXPECT_TRUE(Has(Unknown.m_strErr, "the request may or may not have been carried out")) << Unknown.m_strErr;

    // What the server keeps answers the same id and the same request only.
    rlzev::SHttpRequest Request;
    Request.m_strMethod = "POST";
    Request.m_strPath = "/api/v1/write";
    Request.m_strAuthorization = "Bearer " + kToken;
    Request.m_strBody = R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL","values":["7/d"]})";
    Request.m_strRequestId = "client-1";
    const std::string strFirst = Server.Served.Service.Handle(Request).m_strBody;
    const std::string strBefore = Server.Served.State();
    EXPECT_EQ(Server.Served.Service.Handle(Request).m_strBody, strFirst);
    Request.m_strBody = R"({"register":"DIN_CNTRL0","signal":"FIFOLEVEL","values":["8/d"]})";
    rlzev::SHttpResponse Another = Server.Served.Service.Handle(Request);
    EXPECT_EQ(Another.m_iStatus, 400);
    EXPECT_EQ(Another.m_strError, "ZEV-Request-Id client-1 was given to another request");
    Request.m_strRequestId = "bad id";
    EXPECT_EQ(Server.Served.Service.Handle(Request).m_iStatus, 400);
    EXPECT_EQ(Server.Served.State(), strBefore);

    // A batch of reads is not kept: asked again, it reads again.
    rlzev::SHttpRequest Reads = Request;
    Reads.m_strPath = "/api/v1/batch";
    Reads.m_strBody = R"({"operations":[{"op":"read","register":"DIN_CNTRL0","signal":"FIFOLEVEL"}]})";
    Reads.m_strRequestId = "client-reads";
    EXPECT_EQ(json::parse(Server.Served.Service.Handle(Reads).m_strBody)["results"][0]["values"][0], "00000007/h");
    Server.Served.Post("write", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}, {"values", {"8/d"}}});
    EXPECT_EQ(json::parse(Server.Served.Service.Handle(Reads).m_strBody)["results"][0]["values"][0], "00000008/h");

    // A client that knew another run of the server is refused once, and knows this run then;
    // the request's id stays free, for nothing was done.
    const std::string strAfterReads = Server.Served.State();
    Request.m_strRequestId = "client-2";
    Request.m_strInstance = "0123456789abcdef";
    Another = Server.Served.Service.Handle(Request);
    EXPECT_EQ(Another.m_iStatus, 412);
    EXPECT_EQ(Another.m_strError, "the server restarted (run " + Server.Served.Service.Instance() +
                                      ", not 0123456789abcdef): the values and locks set before are gone");
    EXPECT_EQ(Server.Served.State(), strAfterReads);
    Request.m_strInstance = Server.Served.Service.Instance();
    EXPECT_EQ(Server.Served.Service.Handle(Request).m_iStatus, 200);
    EXPECT_EQ(Server.Served.Post("read", {{"register", "DIN_CNTRL0"}, {"signal", "FIFOLEVEL"}})["values"][0], "00000008/h");
    // The client sends the run it knows, and learns the new one from the refusal.
    std::mutex Mutex;
    std::vector<std::string> Known;
    SCannedServer Runs([&](tcp::socket& a_rSocket, int) {
        for (int i = 0;; ++i)
        {
            const std::string strHeader = ReadRequest(a_rSocket);
            if (strHeader.empty())
                return;
            std::unique_lock<std::mutex> Lock(Mutex);
            Known.push_back(Field(strHeader, "ZEV-Instance"));
            Lock.unlock();
            Write(a_rSocket, std::string(i == 1 ? "HTTP/1.1 412 X\r\nZEV-Instance: B" : "HTTP/1.1 200 OK\r\nZEV-Instance: A") +
                                 "\r\nContent-Length: 2\r\n\r\n{}");
        }
    });
    rlzev::CHttpClient Direct(Runs.strUrl, kToken);
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(Call(Direct, "GET", "/api/v1/device").m_iStatus, 0);
    std::lock_guard<std::mutex> Lock(Mutex);
    EXPECT_EQ(Known, (std::vector<std::string>{"", "A", "B"}));
}

TEST(HttpServer, TheOldestStrangerMakesRoomForANewConnection)
{
    rlzev::SServerLimits Limits;
    Limits.m_uMaxConnections = 20;
    SServer Server(false, Limits);
    std::vector<std::unique_ptr<CRawConnection>> Strangers;
    for (int i = 0; i < 20; ++i)
        Strangers.emplace_back(new CRawConnection(Server.iPort));
    WaitFor([&] { return Server.Http.Connections() >= 20; });
    EXPECT_EQ(Server.Http.Connections(), 20u);
    rlzev::CHttpClient Client(Server.strUrl, kToken, std::chrono::seconds(2));
    ASSERT_EQ(Call(Client, "GET", "/api/v1/device").m_iStatus, 200);
    Strangers.front()->Read(milliseconds(500));
    EXPECT_TRUE(Strangers.front()->IsClosed()) << "the oldest went";
    EXPECT_LE(Server.Http.Connections(), 20u);
    // A connection that carried the token is kept when room is made: the same connection is answered again.
    CRawSent Known(Server.iPort, RawRequest("GET", "/api/v1/device", Bearer()));
    EXPECT_EQ(Status(Known.ReadAnswer()), 200);
    for (int i = 0; i < 25; ++i)
        Strangers.emplace_back(new CRawConnection(Server.iPort));
    std::this_thread::sleep_for(milliseconds(300));  // room made for them all
    Known.Send(RawRequest("GET", "/api/v1/device", Bearer()));
    EXPECT_EQ(Status(Known.ReadAnswer()), 200);
    EXPECT_FALSE(Known.IsClosed());
}

TEST(HttpServer, HeadersInProgressShareOneBudgetAndTheOldestStrangerMakesRoom)
{
    rlzev::SServerLimits Limits;
    Limits.m_uMaxHeaderBytesInAll = 64u << 10;
    SServer Server(false, Limits);
    // Strangers each holding 6 KiB of a header that never ends: far more than the budget.
    std::vector<std::unique_ptr<CRawConnection>> Strangers;
    for (int i = 0; i < 40; ++i)
    {
        Strangers.emplace_back(new CRawConnection(Server.iPort));
        Strangers.back()->Send("GET /api/v1/device HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(6000, 'a'));
        std::this_thread::sleep_for(milliseconds(5));  // in order, so that the oldest is the first
    }
    std::this_thread::sleep_for(milliseconds(300));
    std::size_t uOpen = 0;
    for (const auto& pStranger : Strangers)
    {
        pStranger->Read(milliseconds(20));
        uOpen += pStranger->IsClosed() ? 0 : 1;
    }
    EXPECT_LE(uOpen, 8u) << "at most the budget's worth of them holds a header";
    EXPECT_TRUE(Strangers.front()->IsClosed()) << "the oldest went first";
    EXPECT_FALSE(Strangers.back()->IsClosed()) << "the newest is heard";
    // A client's whole request still gets its answer.
    EXPECT_EQ(Status(Ask(Server.iPort, RawRequest("GET", "/api/v1/device", Bearer()))), 200);
}

TEST(HttpServer, EachRequestIsTakenAsItsTargetAndHeadersSay)
{
    SServer Server;
    rlzev::CHttpClient Client(Server.strUrl, kToken);
    // Only "trace=1" or "trace=true" among the query's parameters asks for the bus trace,
    // and only for its own request on a kept connection.
    for (const auto& Case : std::vector<std::pair<std::string, bool>>{
             {"?trace=1", true}, {"?a=b&trace=true&c", true}, {"", false}, {"?trace=2", false}, {"?notrace=1", false}, {"?trace=1x", false}})
        EXPECT_EQ(json::parse(Call(Client, "GET", "/api/v1/snapshot" + Case.first).m_strBody).contains("events"), Case.second) << Case.first;
    // "Connection: close" is honoured; a length of 0 is no body, even on a GET; a peer that
    // closes its side before sending anything gets no answer.
    CRawSent Close(Server.iPort, RawRequest("GET", "/api/v1/device", Bearer()));
    EXPECT_FALSE(Has(Close.ReadAnswer(), "Connection: close")) << "kept";
    Close.Send(RawRequest("GET", "/api/v1/device", Bearer() + "Connection: close\r\n" + Length(0)));
    const std::string strClosing = Close.ReadAnswer();
    EXPECT_EQ(Status(strClosing), 200);
    EXPECT_TRUE(Has(strClosing, "\r\nConnection: close\r\n")) << strClosing;
    Close.Read(milliseconds(1000));
    EXPECT_TRUE(Close.IsClosed());
    CRawConnection Silent(Server.iPort);
    Silent.ShutdownSend();
    EXPECT_EQ(Silent.Read(milliseconds(1000)), "");
    EXPECT_TRUE(Silent.IsClosed());
}

TEST(HttpServer, ABodyIsTakenWithinItsLimitAndTime)
{
    rlzev::SServerLimits Limits;
    Limits.m_BodyTime = milliseconds(300);
    SServer Server(false, Limits);
    // Exactly the largest body there may be.
    std::string strWrite = kWrite;
    strWrite.resize(rlzev::CDeviceService::kMaxBody, ' ');
    EXPECT_EQ(Status(Ask(Server.iPort, RawRequest("POST", "/api/v1/write", Bearer() + Length(strWrite.size()), strWrite))), 200);
    // Half a body, then nothing: when its time is up the connection goes (the deadline closes
    // the socket, so the 408 is the audit's alone; its line comes just after the close).
    CRawSent Half(Server.iPort, RawRequest("POST", "/api/v1/write", Bearer() + Length(10), "{\"a\""));
    Half.Read(milliseconds(3000));
    EXPECT_TRUE(Half.IsClosed());
    WaitFor([&] { return Audited(Server.Served).back()["status"] != 200; });
    const json Late = Server.Served.AuditLines().back();
    EXPECT_EQ(Late["status"], 408);
    EXPECT_EQ(Late["result"], "the request body did not come in time");
}

// A stream client slower than the device gets whole events in order, and where the bound dropped
// the oldest, how many. Each write has its own time, however long the stream has run.
TEST(HttpServer, AStreamSlowerThanTheDeviceGetsWholeEventsInOrderAndWhatWasDropped)
{
    rlzev::SServerLimits Limits;
    // A sanitized build, beside the other tests on a busy machine, hands the megabytes over far
    // slower: a write's time that still bounds a stuck client, with room for that.
    Limits.m_WriteTime = std::chrono::seconds(kSanitized ? 30 : 10);
    SServer Server(false, Limits);
    CRawSent Listener(Server.iPort, RawRequest("GET", "/api/v1/events", Bearer()), 4096);
    WaitFor([&] { return Server.Served.Service.Events().IsListening(); });
    std::this_thread::sleep_for(Limits.m_WriteTime + milliseconds(500));  // heartbeats only, longer than a write's time
    // Six transfer events a word: words read back alone, at every other address (words read back one after the other
    // would be one event), megabytes in one call. The listener reads once the device is done, or after about 6 s (a
    // sanitized build on a busy machine is slow): well within a write's time either way.
    json Operations = json::array();
    for (unsigned i = 0; i < 12000; ++i)  // (within a request's bytes)
        Operations.push_back({{"op", "words"}, {"register", "SWP_DATA_RAM"}, {"start", 2 * i}, {"count", 1}});
    std::atomic<int> iStatus{0};
    std::thread Device([&] {
        int iDone = 0;
        Server.Served.Post("batch", {{"operations", Operations}}, &iDone);
        iStatus = iDone;
    });
    WaitFor([&] { return iStatus != 0; }, 3000);
    // Read until the stream has told what it dropped and gone idle: bounded by time, not by a
    // count of reads (a sanitized build hands the megabytes over in many small pieces).
    std::string strStream;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kSanitized ? 200 : 90);
    while (std::chrono::steady_clock::now() < Deadline &&
           (!Has(strStream, "event: dropped") || strStream.size() < 9 || strStream.compare(strStream.size() - 8, 8, ": idle\n\n") != 0))
        strStream += Listener.Read(milliseconds(200));
    Device.join();
    ASSERT_EQ(iStatus, 200);
    const std::size_t uHeader = strStream.find("\r\n\r\n");
    ASSERT_NE(uHeader, std::string::npos);
    const std::string strDropped = "event: dropped\ndata: {\"count\":";
    unsigned long long uLast = 0, uDropped = 0, uSkip = 0, uEvents = 0;
    for (std::size_t uAt = uHeader + 4, uEnd; uAt < strStream.size(); uAt = uEnd + 2)
    {
        uEnd = strStream.find("\n\n", uAt);
        ASSERT_NE(uEnd, std::string::npos) << "a block cut off at byte " << uAt;
        const std::string strBlock = strStream.substr(uAt, uEnd - uAt);
        if (strBlock == ": idle")
            continue;
        if (strBlock.rfind(strDropped, 0) == 0)
        {
            uSkip = std::stoull(strBlock.substr(strDropped.size()));
            uDropped += uSkip;
            continue;
        }
        ASSERT_EQ(strBlock.rfind("id: ", 0), 0u) << strBlock.substr(0, 200);
        const unsigned long long uId = std::stoull(strBlock.substr(4));
        ASSERT_TRUE(Has(strBlock, "\nevent: transfer\ndata: {\"text\":\"bus: ")) << strBlock.substr(0, 200);
        ASSERT_TRUE(uLast == 0 || uId == uLast + 1 + uSkip) << "after event " << uLast;
        uLast = uId;
        uSkip = 0;
        ++uEvents;
    }
    EXPECT_GT(uDropped, 0u) << "the socket never filled";
    EXPECT_GT(uEvents, 1000u);
}

#ifndef _WIN32
// Out of descriptors, the server tries its accept again shortly rather than giving up on it
// or spinning, and serves the waiting client once one is free.
TEST(HttpServer, AnAcceptOutOfDescriptorsIsTriedAgain)
{
    if (kSanitized)
        GTEST_SKIP() << "no descriptor left for the sanitizer either";
    SServer Server;
    const int iSocket = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(iSocket, 0);
    // Every descriptor below the lowest free one is taken: the limit there leaves none.
    const int iFree = dup(iSocket);
    ASSERT_GE(iFree, 0);
    close(iFree);
    rlimit Old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &Old), 0);
    rlimit Low = Old;
    Low.rlim_cur = static_cast<rlim_t>(iFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &Low), 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<unsigned short>(Server.iPort));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string strRequest = RawRequest("GET", "/api/v1/device", Bearer());
    const bool bSent = connect(iSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0 &&
                       send(iSocket, strRequest.data(), strRequest.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(strRequest.size());
    std::this_thread::sleep_for(milliseconds(300));  // the server's accept fails, and again
    const std::size_t uAccepted = Server.Http.Connections();
    setrlimit(RLIMIT_NOFILE, &Old);
    ASSERT_TRUE(bSent);
    EXPECT_EQ(uAccepted, 0u) << "accepted with no descriptor free";
    std::string strAnswer;
    pollfd Poll{iSocket, POLLIN, 0};
    char acBuffer[4096];
    for (ssize_t iBytes = 1; !Has(strAnswer, "\r\n\r\n") && iBytes > 0 && poll(&Poll, 1, 5000) == 1;)
        if ((iBytes = recv(iSocket, acBuffer, sizeof acBuffer, 0)) > 0)
            strAnswer.append(acBuffer, static_cast<std::size_t>(iBytes));
    close(iSocket);
    EXPECT_EQ(Status(strAnswer), 200) << strAnswer;
}
#endif

// Refused tokens are counted, and their count written within a second or two even when no
// later refusal comes to carry it: in the log's order, before what came after them.
TEST(HttpServer, RefusedTokensAreCountedAndWrittenWithinASecondOrTwo)
{
    SServer Server;
    std::this_thread::sleep_for(milliseconds(1200));  // past the server's first second
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Status(Ask(Server.iPort, RawRequest("GET", "/api/v1/device", ""))), 401);
    std::this_thread::sleep_for(milliseconds(2200));
    rlzev::CHttpClient Client(Server.strUrl, kToken);
    ASSERT_EQ(Call(Client, "POST", "/api/v1/write", kWrite).m_iStatus, 200);
    const std::vector<json> Lines = Audited(Server.Served);
    ASSERT_FALSE(Lines.empty());
    EXPECT_EQ(Lines.back()["operation"], "write");
    EXPECT_EQ(RefusedTokens(Lines), 3u);
}

// The deadlines bound the peer, not the server's own work: answers more than the sockets hold have
// their own time; an idle kept connection goes without a word; a client gone mid-body was refused nothing.
TEST(HttpServer, TheDeadlinesBoundThePeerNotTheServer)
{
    rlzev::SServerLimits Limits;
    Limits.m_HeaderTime = milliseconds(200);
    Limits.m_IdleTime = milliseconds(300);
    SServer Server(false, Limits);
    // Sixteen maps, pipelined: more than the sockets hold, taken only after the deadlines.
    CRawConnection Slow(Server.iPort, 4096);
    std::string strRequests;
    for (int i = 0; i < 16; ++i)
        strRequests += RawRequest("GET", "/api/v1/map", Bearer() + "Accept-Encoding: identity\r\n");
    Slow.Send(strRequests);
    std::this_thread::sleep_for(milliseconds(800));
    for (int i = 0; i < 16; ++i)
    {
        const std::string strMap = Slow.ReadAnswer();
        ASSERT_EQ(Status(strMap), 200) << i;
        ASSERT_TRUE(json::accept(Body(strMap))) << i << ": " << strMap.size();
    }
    EXPECT_EQ(Slow.Read(milliseconds(3000)), "");
    EXPECT_TRUE(Slow.IsClosed());

    CRawSent Gone(Server.iPort, RawRequest("POST", "/api/v1/write", Bearer() + Length(100), "{\"a\""));
    std::this_thread::sleep_for(milliseconds(100));  // its header taken, the body awaited
    Gone.Reset();
    WaitFor([&] { return Server.Http.Connections() == 0; });
    EXPECT_TRUE(Audited(Server.Served).empty()) << Server.Served.Audit.str();
}

// A refused client may still be sending: the server reads and drops it for a second since the
// last byte and 64 KiB at most, so that closing does not reset the answer away on its way.
TEST(HttpServer, ARefusedClientIsHeardOutBriefly)
{
    SServer Server;
    const std::string strRefused = RawRequest("GET", "/api/v1/snapshot", Bearer() + Length(1000000));
    CRawSent Talker(Server.iPort, strRefused);
    EXPECT_EQ(Status(Talker.ReadAnswer()), 400);
    for (int i = 0; i < 5; ++i)
    {
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_TRUE(Talker.Send(std::string(1000, 'x')));
        EXPECT_EQ(Server.Http.Connections(), 1u) << i;
    }
    WaitFor([&] { return Server.Http.Connections() == 0; }, 2500);
    EXPECT_EQ(Server.Http.Connections(), 0u);
    CRawSent Flood(Server.iPort, strRefused);
    EXPECT_EQ(Status(Flood.ReadAnswer()), 400);
    EXPECT_TRUE(Flood.Send(std::string(65536, 'x')));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(Server.Http.Connections(), 1u) << "64 KiB are taken";
    Flood.Send("x");
    WaitFor([&] { return Server.Http.Connections() == 0; }, 250);
    EXPECT_EQ(Server.Http.Connections(), 0u) << "a byte more is not";
}

TEST(HttpServer, NothingIsReadOrDecodedWithoutTheToken)
{
    SServer Server;
    const std::string strBefore = Server.Served.State();
    // Costly bodies are never read: a 401 comes first, the body not waited for. With the token: no
    // decoding, a length over the limit refused unread, 12 KB of header fine, 1000 ranges one file.
    // A coding in any Content-Encoding field codes the body, between two that do not too.
    const std::string strCodedBetween = "Content-Encoding: identity\r\nContent-Encoding: gzip\r\nContent-Encoding: identity\r\n";
    std::string strRanges = "Range: bytes=0-";
    for (int i = 0; i < 1000; ++i)
        strRanges += ",0-";
    ExpectAnswers(Server.iPort, {{RawRequest("POST", "/api/v1/write", "Content-Encoding: gzip\r\n" + Length(65536)), 401, "", true},
                                 {RawRequest("POST", "/api/v1/write", "Transfer-Encoding: chunked\r\n"), 401, "", true},
                                 {RawRequest("POST", "/api/v1/write", Length(32u << 20)), 401, "", true},
                                 {RawRequest("POST", "/api/v1/write", Bearer() + "Content-Encoding: gzip\r\n" + Length(20), std::string(20, 'x')), 415, ""},
                                 {RawRequest("POST", "/api/v1/write", Bearer() + strCodedBetween + Length(kWrite.size()), kWrite), 415, ""},
                                 {RawRequest("POST", "/api/v1/write", Bearer() + Length(32u << 20)), 413, ""},
                                 {RawRequest("GET", "/api/v1/device", Bearer() + "X-Filler: " + std::string(12000, 'a') + "\r\n"), 200, ""},
                                 {RawRequest("GET", "/console.js", strRanges + "\r\n"), 200, ""}});
    // A chunked body is counted as it comes; headers end at 16 KiB.
    CRawSent Chunked(Server.iPort, RawRequest("POST", "/api/v1/write", Bearer() + "Transfer-Encoding: chunked\r\n"));
    for (int i = 0; i < 20 && !Chunked.IsClosed(); ++i)
        Chunked.Send("10000\r\n" + std::string(0x10000, '{') + "\r\n");
    EXPECT_EQ(Status(Chunked.ReadAnswer(milliseconds(2000))), 413);
    CRawSent Headers(Server.iPort, "GET /api/v1/device HTTP/1.1\r\n");
    for (int i = 0; i < 64 && !Headers.IsClosed(); ++i)
        Headers.Send("X-Filler-" + std::to_string(i) + ": " + std::string(1000, 'a') + "\r\n");
    const std::string strHeaders = Headers.ReadAnswer();
    EXPECT_EQ(Status(strHeaders), 431);
    EXPECT_TRUE(Has(strHeaders, "request header larger than 16384 bytes")) << strHeaders;
    EXPECT_EQ(Server.Served.State(), strBefore);
    // The audit log has the refusals with the token, whose request and why it was refused in
    // the server's own words, and a count of those without (whenever its second is up).
    std::vector<int> Statuses;
    for (const json& Line : Audited(Server.Served))
    {
        Statuses.push_back(Line["status"]);
        EXPECT_EQ(Line["client"], "127.0.0.1") << Line;
        const std::string strWhy = Line.value("result", "");
        if (Line["status"] == 413)
            EXPECT_EQ(strWhy, "request body larger than 1048576 bytes");
        else if (Line["status"] == 415)
            EXPECT_EQ(strWhy, "request bodies are not decoded: send them without Content-Encoding");
        else
            EXPECT_EQ(Line["operation"], "token") << Line;
    }
    std::sort(Statuses.begin(), Statuses.end());
    EXPECT_EQ(Statuses, (std::vector<int>{401, 401, 413, 413, 415, 415})) << Server.Served.Audit.str();
}

TEST(HttpServer, MessagesAreFramedAsRfc9112SaysAndErrorsSayWhatIsWrong)
{
    SServer Server;
    const std::string strBefore = Server.Served.State();
    const std::string strDevice = RawRequest("GET", "/api/v1/device", Bearer());
    const std::string strInner = RawRequest("POST", "/api/v1/write", Bearer() + Length(kWrite.size()), kWrite);
    std::ostringstream Chunked;
    Chunked << std::hex << kWrite.size() << "\r\n" << kWrite << "\r\n0\r\n\r\n";
    // Two lengths, a length and chunks, another coding, a GET with a body: 400 and closed, what
    // followed never taken for a request. Chunked after another coding is refused too.
    ExpectAnswers(Server.iPort, {{RawRequest("POST", "/api/v1/write", Bearer() + Length(kWrite.size()) + Length(10), kWrite) + strDevice, 400, "", true},
                                 {RawRequest("POST", "/api/v1/write", Bearer() + Length(kWrite.size()) + "Transfer-Encoding: chunked\r\n", kWrite) + strDevice, 400, "", true},
                                 {RawRequest("POST", "/api/v1/write", Bearer() + "Transfer-Encoding: gzip\r\n", kWrite) + strDevice, 400, "", true},
                                 {RawRequest("GET", "/api/v1/device", Bearer() + Length(strInner.size()), strInner), 400, "", true},
                                 {RawRequest("POST", "/api/v1/write", Bearer() + "Transfer-Encoding: gzip, chunked\r\n", Chunked.str()), 400, ""}});
    EXPECT_EQ(Server.Served.State(), strBefore);
    // The write refused for its coding asked for a change with the token: it is audited.
    ASSERT_FALSE(Server.Served.AuditLines().empty());
    const json Audit = Server.Served.AuditLines().back();
    EXPECT_EQ(Audit["operation"], "write");
    EXPECT_EQ(Audit["status"], 400);
    EXPECT_EQ(Audit["result"], "malformed request: a transfer coding other than chunked");
    // A body without a length is refused at once, not waited for. Errors say what is wrong and
    // nothing internal, of a body, its chunks, or of something that is not HTTP at all.
    const std::string strHuge = R"({"register":"ENT_H1","values":["1/d"],"start":1e400})";
    ExpectAnswers(Server.iPort, {{RawRequest("POST", "/api/v1/write", Bearer(), kWrite), 411, "needs Content-Length"},
                                 {RawRequest("POST", "/api/v1/write", Bearer() + Length(strHuge.size()), strHuge), 400,
                                  "\r\n\r\n{\"error\":\"malformed JSON body: number overflow parsing '1e400'\"}"},
                                 {RawRequest("POST", "/api/v1/write", Bearer() + "Transfer-Encoding: chunked\r\n", "zz\r\n"), 400, "malformed request body: "},
                                 {"\x16\x03\x01\x02 hello\r\n\r\n", 400, "malformed request"}});
    // Only a POST needs a length: another method is refused for what it is, a HEAD by its own name.
    ExpectAnswers(Server.iPort, {{RawRequest("OPTIONS", "/api/v1/write", Bearer()), 405, "OPTIONS is not allowed for /api/v1/write: use POST"},
                                 {RawRequest("HEAD", "/api/v1/write", Bearer()), 405, ""}});
    EXPECT_EQ(Audited(Server.Served).back()["result"], "HEAD is not allowed for /api/v1/write: use POST");
    // Pipelined requests in one segment: answered each, in order, on a connection that stays.
    const std::string strValue = RawRequest("POST", "/api/v1/value", Bearer() + Length(kField.size()), kField);
    CRawSent Pipelined(Server.iPort, strInner + strValue + strDevice);
    EXPECT_EQ(Body(Pipelined.ReadAnswer()), R"({"reports":[]})");
    EXPECT_EQ(Body(Pipelined.ReadAnswer()), R"({"reports":[],"values":["9"]})");
    EXPECT_EQ(Status(Pipelined.ReadAnswer()), 200);
    EXPECT_FALSE(Pipelined.IsClosed());
    // Expect: 100-continue gets its interim answer, then the request is served.
    const std::string strExpect = "Expect: 100-continue\r\n";
    CRawSent Continue(Server.iPort, RawRequest("POST", "/api/v1/value", Bearer() + strExpect + Length(kField.size())));
    EXPECT_EQ(Continue.Read(milliseconds(1000), 25), "HTTP/1.1 100 Continue\r\n\r\n");
    Continue.Send(kField);
    EXPECT_EQ(Status(Continue.ReadAnswer()), 200);
}

// A second server on a running one's address fails, and says why; a restarted server binds
// its port again while the old one's closed connections linger.
TEST(HttpServer, ASecondServerOnTheSameAddressFailsAndARestartedOneBindsAgain)
{
    SServed Other;
    rlzev::CHttpService Second(Other.Service);
    std::string strError;
    int iPort = 0;
    {
        SServer Old;
        iPort = Old.iPort;
        EXPECT_EQ(Second.Bind("127.0.0.1", iPort, strError), -1);
        EXPECT_EQ(strError, "the address is in use (another server?)");
        // Held open: the server closes first, and its side waits out TIME_WAIT.
        CRawSent Refused(iPort, "NOT HTTP\r\n\r\n");
        EXPECT_EQ(Status(Refused.ReadAnswer()), 400);
        WaitFor([&] { return Old.Http.Connections() == 0; }, 2500);
    }
    EXPECT_EQ(Second.Bind("no.such.host.invalid", 0, strError), -1);
    EXPECT_TRUE(Has(strError, "cannot resolve no.such.host.invalid")) << strError;
#ifndef _WIN32
    EXPECT_EQ(Second.Bind("127.0.0.1", iPort, strError), iPort) << "failed binds leave nothing behind: " << strError;
#else
    EXPECT_GT(Second.Bind("127.0.0.1", 0, strError), 0) << "failed binds leave nothing behind: " << strError;
#endif
}

TEST(HttpServer, StopsAtOnceWhateverTheClientsDoAndWheneverItComes)
{
    SServed EarlyServed, Served;  // a server's own service each: a run's end closes the service's event hub
    std::string strError;
    rlzev::CHttpService Early(EarlyServed.Service);
    ASSERT_GT(Early.Bind("127.0.0.1", 0, strError), 0);
    EXPECT_FALSE(Early.IsRunning()) << "bound is not running yet";
    Early.Stop();  // before Run has started: not lost
    auto Start = std::chrono::steady_clock::now();
    Early.Run();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(1));
    EXPECT_FALSE(Early.IsRunning());
    // Run returns with every connection closed, not when the server object goes.
    rlzev::CHttpService Http(Served.Service);
    const int iPort = Http.Bind("127.0.0.1", 0, strError);
    std::thread Runner([&] { Http.Run(); });
    WaitFor([&] { return Http.IsRunning(); });
    EXPECT_TRUE(Http.IsRunning());
    CRawSent Waiting(iPort, "GET /api/v1/device HTTP/1.1\r\n");
    // The device call in progress ends first: one that waits for the host's own call.
    std::atomic<bool> bHostDone(false);
    std::promise<void> Held;
    std::thread Host([&] {
        Served.Runtime.Run([&](CZEV&) {
            Held.set_value();
            std::this_thread::sleep_for(milliseconds(500));
            bHostDone = true;
        });
    });
    Held.get_future().wait();
    for (int i = 0; i < 2; ++i)  // the second's count waits for its second, or the stop
        EXPECT_EQ(Status(Ask(iPort, RawRequest("GET", "/api/v1/device", ""))), 401);
    CRawSent Asking(iPort, RawRequest("GET", "/api/v1/snapshot", Bearer()));
    WaitFor([&] { return Http.Connections() == 2; });
    std::this_thread::sleep_for(milliseconds(100));  // its call is on the device's thread
    Http.Stop();
    Runner.join();
    EXPECT_TRUE(bHostDone) << "Run returned while a device call was still to end";
    Host.join();
    EXPECT_EQ(RefusedTokens(Served.AuditLines()), 2u);
    EXPECT_EQ(Waiting.Read(milliseconds(2000)), "");
    EXPECT_TRUE(Waiting.IsClosed());
    EXPECT_FALSE(CRawConnection(iPort).IsConnected()) << "still listening after Run returned";

    // Clients half-way through a request or held on a stream keep no server from stopping.
    auto pServer = std::unique_ptr<SServer>(new SServer);
    std::vector<std::unique_ptr<CRawConnection>> Clients;
    for (int i = 0; i < 20; ++i)
    {
        Clients.emplace_back(new CRawConnection(pServer->iPort));
        Clients.back()->Send(i % 2 == 0 ? "POST /api/v1/write HTTP/1.1\r\n" : RawRequest("GET", "/api/v1/events", Bearer()));
    }
    std::atomic<bool> bDone(false);
    std::thread Trickle([&] {
        for (; !bDone; std::this_thread::sleep_for(milliseconds(10)))
            for (int i = 0; i < 20; i += 2)
                Clients[i]->Send("X");
    });
    std::this_thread::sleep_for(milliseconds(200));
    Start = std::chrono::steady_clock::now();
    pServer.reset();  // Stop, and Run returns
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(1));
    bDone = true;
    Trickle.join();
}

TEST(HttpServer, TheMapIsCompressedOnceAndTagged)
{
    SServer Server;
    CRawSent Raw(Server.iPort, RawRequest("GET", "/api/v1/map", Bearer() + "Accept-Encoding: gzip, br\r\n"));
    const std::string strCompressed = Raw.ReadAnswer();
    EXPECT_EQ(Status(strCompressed), 200);
    EXPECT_EQ(Field(strCompressed, "Content-Encoding"), "gzip");
    const std::string strBody = Body(strCompressed);
    EXPECT_EQ(strBody.substr(0, 2), "\x1f\x8b");
    const std::string& strMap = Server.Served.Service.MapText();
    EXPECT_LT(strBody.size(), strMap.size() / 10);
    // A whole gzip member of the map: its deflate data inflates to the map, its trailer ends it.
    boost::beast::zlib::inflate_stream Inflate;
    std::string strInflated(strMap.size() + 16, '\0');
    boost::beast::zlib::z_params Params;
    Params.next_in = strBody.data() + 10;
    Params.avail_in = strBody.size() - 10;
    Params.next_out = &strInflated[0];
    Params.avail_out = strInflated.size();
    boost::system::error_code Error;
    Inflate.write(Params, boost::beast::zlib::Flush::finish, Error);
    EXPECT_EQ(Error, boost::beast::zlib::error::end_of_stream);
    EXPECT_EQ(strInflated.substr(0, Params.total_out), strMap);
    EXPECT_EQ(Params.avail_in, 8u) << "the CRC and the length follow";
    const std::string strTag = Field(strCompressed, "ETag");
    ASSERT_FALSE(strTag.empty()) << strCompressed.substr(0, 600);
    Raw.Send(RawRequest("GET", "/api/v1/map", Bearer() + "If-None-Match: " + strTag + "\r\n"));
    const std::string strSame = Raw.ReadAnswer();
    EXPECT_EQ(Status(strSame), 304);
    EXPECT_TRUE(Body(strSame).empty());
    Raw.Send(RawRequest("GET", "/api/v1/map", Bearer()));
    EXPECT_EQ(Body(Raw.ReadAnswer()), strMap) << "plain for who takes no gzip";
}

TEST(HttpServer, TheEventHubBoundsItsClientsInBytesAndSharesEvents)
{
    rlzev::CEventHub Hub(1, 10);
    unsigned uWakes = 0;
    std::deque<rlzev::SEvent> Events;
    unsigned long long uDropped = 0;
    auto Publish = [&](std::initializer_list<const char*> a_Data) {
        for (const char* pcData : a_Data)
            Hub.Publish("log", pcData);
    };
    // The type and data of each event a client takes; Events and uDropped hold the rest.
    auto Take = [&](rlzev::CEventHub::CSubscription& a_rClient) {
        EXPECT_TRUE(a_rClient.Take(Events, uDropped));
        std::vector<std::string> Taken;
        for (const rlzev::SEvent& Event : Events)
            Taken.push_back(std::string(Event.m_pcType) + " " + *Event.m_pData);
        return Taken;
    };
    using Texts = std::vector<std::string>;
    EXPECT_FALSE(Hub.IsListening()) << "nobody yet: the device need not make events";
    Publish({"lost: nobody listens"});
    std::shared_ptr<rlzev::CEventHub::CSubscription> pFirst = Hub.Subscribe([&] { ++uWakes; });
    ASSERT_TRUE(pFirst);
    EXPECT_TRUE(Hub.IsListening());
    EXPECT_FALSE(Hub.Subscribe([] {})) << "one client at most";
    Publish({"1111", "2222", "3333", "4444"});
    EXPECT_EQ(uWakes, 1u) << "one wake until the events are taken";
    EXPECT_EQ(Take(*pFirst), (Texts{"log 3333", "log 4444"})) << "ten bytes hold two events of four";
    EXPECT_EQ(Events.front().m_uId, 3u) << "ids count the events published to someone, from 1";
    EXPECT_EQ(Events.back().m_uId, 4u);
    EXPECT_EQ(uDropped, 2u);
    // Taken: the queue starts empty again, and the next event wakes the client anew.
    Publish({"55555", "66666"});
    EXPECT_EQ(uWakes, 2u);
    EXPECT_EQ(Take(*pFirst), (Texts{"log 55555", "log 66666"})) << "two of five, the old ones gone from the deque";
    EXPECT_EQ(uDropped, 0u) << "drops are told once";
    Publish({"an event larger than the queue"});
    EXPECT_EQ(Take(*pFirst), Texts{"log an event larger than the queue"}) << "the newest event is kept whole";
    EXPECT_EQ(uDropped, 0u) << "nothing was waiting: the deque given to the last Take held the old events";
    // Each kind of device event as the stream carries it; a text as long as may be is whole, one more is cut.
    rlzev::SDeviceEvent Transfer, Report, Log;
    Transfer.m_strText = "bus: W 0x00E00 4 0x00000003";
    Report.m_eKind = rlzev::SDeviceEvent::REPORT;
    Report.m_Report = {"Signal.cpp", 42, "CSignalBase::Set", ",No write access allowed!", true};
    Log.m_eKind = rlzev::SDeviceEvent::LOG;
    Log.m_strText = std::string(rlzev::CEventHub::kMaxEventText, 'L');
    rlzev::SDeviceEvent Longer = Log;
    Longer.m_strText += "L";
    rlzev::CEventHub Kinds(1, 1 << 20);
    auto pKinds = Kinds.Subscribe([] {});
    for (const rlzev::SDeviceEvent* pEvent : {&Transfer, &Report, &Log, &Longer})
        Kinds.OnEvent(*pEvent);
    EXPECT_EQ(Take(*pKinds), (Texts{R"(transfer {"text":"bus: W 0x00E00 4 0x00000003","type":"transfer"})",
                                    R"(report {"accessDenied":true,"file":"Signal.cpp","function":"CSignalBase::Set",)"
                                    R"("line":42,"message":",No write access allowed!","type":"report"})",
                                    R"(log {"text":")" + Log.m_strText + R"(","type":"log"})",
                                    R"(log {"text":")" + Log.m_strText + R"x( ... (16385 bytes)","type":"log"})x"}));
    // A report too long for the stream is cut from its start, and says how long it was; its
    // text stays UTF-8; one copy for every client.
    rlzev::SDeviceEvent Long;
    Long.m_eKind = rlzev::SDeviceEvent::REPORT;
    Long.m_Report.m_strMessage = "\xC2\xB5s" + std::string((1 << 20) - 3, 'x');
    rlzev::CEventHub Wide(2, 1 << 20);
    auto pA = Wide.Subscribe([] {}), pB = Wide.Subscribe([] {});
    Wide.OnEvent(Long);
    std::deque<rlzev::SEvent> B;
    ASSERT_EQ(Take(*pA).size(), 1u);
    pB->Take(B, uDropped);
    EXPECT_LT(Events.front().m_pData->size(), 17000u);
    EXPECT_TRUE(Has(*Events.front().m_pData, " ... (1048576 bytes)"));
    EXPECT_TRUE(Has(*Events.front().m_pData, "\"message\":\"\xC2\xB5sxxx")) << *Events.front().m_pData;
    EXPECT_EQ(Events.front().m_pData, B.front().m_pData);
    // A place frees when a client leaves; a new client's queue starts empty; closing wakes and ends every stream.
    pFirst.reset();
    EXPECT_FALSE(Hub.IsListening());
    std::shared_ptr<rlzev::CEventHub::CSubscription> pSecond = Hub.Subscribe([&] { ++uWakes; });
    ASSERT_TRUE(pSecond);
    Publish({"aaaaa", "bbbbb"});
    EXPECT_EQ(Take(*pSecond), (Texts{"log aaaaa", "log bbbbb"}));
    const unsigned uBeforeClose = uWakes;
    Hub.Close();
    EXPECT_EQ(uWakes, uBeforeClose + 1);
    EXPECT_FALSE(pSecond->Take(Events, uDropped));
    EXPECT_FALSE(Hub.Subscribe([] {}));
    // The service's own hub keeps a mebibyte for each client.
    SServed S;
    auto pClient = S.Service.Events().Subscribe([] {});
    for (int i = 0; i < 17; ++i)
        S.Service.Events().Publish("log", std::string(65536, 'x'));
    EXPECT_EQ(Take(*pClient).size(), 16u);
    EXPECT_EQ(uDropped, 1u);
}

// A scrape: requests by operation and status, what the device did by the simulator's own
// count, what is open now; behind the token, and never a register's name, even an unknown one.
TEST(HttpServer, MetricsCountWhatWasAskedAndDoneAndNameNoRegister)
{
    if (!rlzev::CServiceMetrics::Available())
        GTEST_SKIP() << "built without prometheus-cpp";
    SServer Server;
    EXPECT_EQ(Status(Ask(Server.iPort, RawRequest("GET", "/metrics", ""))), 401);
    rlzev::CHttpClient Client(Server.strUrl, kToken);
    ASSERT_EQ(Call(Client, "POST", "/api/v1/write", kWrite).m_iStatus, 200);
    ASSERT_EQ(Call(Client, "POST", "/api/v1/write", kWrite).m_iStatus, 200);
    EXPECT_EQ(Call(Client, "GET", "/api/v1/registers/SECRET_NAME").m_iStatus, 404);
    EXPECT_EQ(Call(Client, "POST", "/api/v1/SECRET_OP", "{}").m_iStatus, 404);
    CRawSent Listener(Server.iPort, RawRequest("GET", "/api/v1/events", Bearer()));
    EXPECT_TRUE(Has(Listener.Read(milliseconds(2000), 1), "200"));

    const rlzev::SHttpResponse Scrape = Call(Client, "GET", "/metrics");
    ASSERT_EQ(Scrape.m_iStatus, 200);
    EXPECT_EQ(Scrape.m_strContentType.substr(0, 10), "text/plain");
    const std::string& strText = Scrape.m_strBody;
    const auto Value = [&](const std::string& a_strSeries) {
        const std::size_t uAt = strText.find("\n" + a_strSeries + " ");
        return uAt == std::string::npos ? -1.0 : std::stod(strText.substr(uAt + a_strSeries.size() + 2));
    };
    EXPECT_EQ(Value(R"(zev_requests_total{operation="write",status="200"})"), 2);
    EXPECT_EQ(Value(R"(zev_requests_total{operation="describe",status="404"})"), 1);
    EXPECT_EQ(Value(R"(zev_requests_total{operation="unknown",status="404"})"), 1);
    EXPECT_EQ(Value(R"(zev_requests_total{operation="events",status="200"})"), 1);
    EXPECT_EQ(Value(R"(zev_requests_total{operation="unauthorised",status="401"})"), 1);
    EXPECT_EQ(Value("zev_refused_tokens_total"), 1);
    EXPECT_EQ(Value(R"(zev_request_duration_seconds_count{operation="write"})"), 2);
    const auto& rBus = Server.Served.Host.Bus.m_Counters;
    EXPECT_EQ(Value("zev_bus_transfers_total"), static_cast<double>(rBus.m_uReads + rBus.m_uWrites));
    EXPECT_GT(Value("zev_bus_transfers_total"), 0);
    EXPECT_EQ(Value("zev_device_calls_total"), 3) << "the defaults and two writes";
    EXPECT_EQ(Value("zev_stream_clients"), 1);
    EXPECT_EQ(Value("zev_open_connections"), 2);
    for (const char* pcName : {"SECRET", "DIN_CNTRL0", "FIFOLEVEL"})
        EXPECT_FALSE(Has(strText, pcName)) << pcName;

    // Another method is refused and its body never read: it cannot pass for the next request.
    const std::string strInner = RawRequest("GET", "/api/v1/device", Bearer());
    CRawConnection Smuggler(Server.iPort);
    Smuggler.Send(RawRequest("POST", "/metrics", Bearer() + "Content-Length: " + std::to_string(strInner.size()) + "\r\n") +
                  strInner);
    const std::string strRefused = Smuggler.Read(milliseconds(2000));
    EXPECT_EQ(Status(strRefused), 405);
    EXPECT_EQ(strRefused.find("HTTP/1.1", 1), std::string::npos) << strRefused;
}
