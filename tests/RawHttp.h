// A client that sends exactly the bytes a test gives it and sees exactly what comes back:
// for what no well-behaved client sends (a header dripped a byte at a time, two lengths,
// pipelined requests, a body the server should never read).
#pragma once

#include <boost/asio.hpp>

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>

inline std::string Lower(std::string a_strText)
{
    for (char& c : a_strText)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return a_strText;
}
// The status code of an answer ("HTTP/1.1 401 ..." gives 401), 0 for none.
inline int Status(const std::string& a_strAnswer)
{
    return a_strAnswer.compare(0, 5, "HTTP/") == 0 && a_strAnswer.size() > 12 ? std::atoi(a_strAnswer.c_str() + 9) : 0;
}
inline std::string Body(const std::string& a_strAnswer)
{
    const std::size_t uEnd = a_strAnswer.find("\r\n\r\n");
    return uEnd == std::string::npos ? std::string() : a_strAnswer.substr(uEnd + 4);
}

class CRawConnection
{
public:
    // A small a_iReceiveBytes makes a client that takes an answer slowly.
    explicit CRawConnection(int a_iPort, int a_iReceiveBytes = 0) : m_Socket(m_Io)
    {
        boost::system::error_code Error;
        m_Socket.open(boost::asio::ip::tcp::v4(), Error);
        if (a_iReceiveBytes > 0)
            m_Socket.set_option(boost::asio::socket_base::receive_buffer_size(a_iReceiveBytes), Error);
        m_Socket.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(a_iPort)}, Error);
        m_bConnected = !Error;
    }

    bool IsConnected() const { return m_bConnected; }
    // False once the server has closed or reset the connection.
    bool Send(const std::string& a_strBytes)
    {
        boost::system::error_code Error;
        boost::asio::write(m_Socket, boost::asio::buffer(a_strBytes), Error);
        return !Error;
    }
    // What arrives within a_Time, ending early once a_uEnough bytes came or the server
    // closed the connection (IsClosed then).
    std::string Read(std::chrono::milliseconds a_Time, std::size_t a_uEnough = static_cast<std::size_t>(-1))
    {
        std::string strIn;
        const auto Deadline = std::chrono::steady_clock::now() + a_Time;
        for (bool bDone = true; bDone && strIn.size() < a_uEnough && !m_bClosed;)
        {
            bDone = false;
            boost::system::error_code Error;
            std::size_t uBytes = 0;
            m_Socket.async_read_some(boost::asio::buffer(m_acBuffer), [&](boost::system::error_code a_Error, std::size_t a_uBytes) {
                Error = a_Error;
                uBytes = a_uBytes;
                bDone = true;
            });
            m_Io.restart();
            m_Io.run_until(Deadline);
            const bool bLate = !bDone;
            if (bLate)
            {
                m_Socket.cancel();
                m_Io.restart();
                m_Io.run();
            }
            // On Windows a read the cancel came too late for has taken its bytes all the same.
            strIn.append(m_acBuffer, uBytes);
            m_bClosed = Error && Error != boost::asio::error::operation_aborted;
            bDone = !bLate;
        }
        return strIn;
    }
    // One whole answer: its header, and its body as Content-Length says (or to the close).
    std::string ReadAnswer(std::chrono::milliseconds a_Time = std::chrono::seconds(5))
    {
        const auto Deadline = std::chrono::steady_clock::now() + a_Time;
        for (;;)
        {
            const std::size_t uHeaderEnd = m_strPending.find("\r\n\r\n");
            if (uHeaderEnd != std::string::npos)
            {
                const std::size_t uField = Lower(m_strPending.substr(0, uHeaderEnd)).find("\r\ncontent-length:");
                const std::size_t uTotal =
                    uHeaderEnd + 4 + (uField == std::string::npos ? 0 : std::strtoul(m_strPending.c_str() + uField + 17, nullptr, 10));
                if (m_strPending.size() >= uTotal)
                {
                    std::string strAnswer = m_strPending.substr(0, uTotal);
                    m_strPending.erase(0, uTotal);
                    return strAnswer;
                }
            }
            const auto Now = std::chrono::steady_clock::now();
            if (m_bClosed || Now >= Deadline)
                return std::exchange(m_strPending, std::string());
            m_strPending += Read(std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Now), 1);
        }
    }
    bool IsClosed() const { return m_bClosed; }
    // Nothing more to send: the server sees the end of the stream.
    void ShutdownSend()
    {
        boost::system::error_code Error;
        m_Socket.shutdown(boost::asio::ip::tcp::socket::shutdown_send, Error);
    }
    // Gone at once, as a crashed or impatient client goes: the server meets a reset.
    void Reset()
    {
        boost::system::error_code Error;
        m_Socket.set_option(boost::asio::socket_base::linger(true, 0), Error);
        m_Socket.close(Error);
        m_bClosed = true;
    }

private:
    boost::asio::io_context m_Io;
    boost::asio::ip::tcp::socket m_Socket;
    bool m_bConnected = false;
    bool m_bClosed = false;
    std::string m_strPending;
    char m_acBuffer[65536];
};
