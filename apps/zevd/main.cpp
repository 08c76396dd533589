// zevd: one simulated ZEV served over the network until SIGINT or SIGTERM.
#include "Console.h"
#include "DeviceRuntime.h"
#include "DeviceService.h"
#include "HttpServer.h"
#include "Token.h"
#include "ZEV.h"
#include "ZevSimulator.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace
{
volatile std::sig_atomic_t g_iStop = 0;

extern "C" void OnSignal(int)
{
    g_iStop = 1;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App App("zevd: the ZEV service daemon, one simulated device served over HTTP.", "zevd");
    App.allow_windows_style_options(false);
    std::string strListen = "127.0.0.1:7411";
    std::string strTokenFile;
    std::string strAuditLog;
    bool bReadOnly = false;
    App.add_option("--listen", strListen, "ADDR:PORT to listen on (default 127.0.0.1:7411; port 0: any free port)");
    App.add_option("--token-file", strTokenFile,
                   "Take the token from this file (default: a new random token, written to ~/.zevd-token)");
    bool bCreateToken = false;
    App.add_flag("--create-token", bCreateToken,
                 "With --token-file: a file that does not exist yet gets a new random token (a service's first start)")
        ->needs("--token-file");
    App.add_flag("--read-only", bReadOnly, "Refuse every changing request (403)");
    App.add_option("--audit-log", strAuditLog, "Append one line per changing request to this file (default: stderr)");
    std::string strReference;
    App.add_option("--export-reference", strReference,
                   "Write the static register reference (the console's pages with the register map) into this "
                   "folder and stop");
    CLI11_PARSE(App, argc, argv);

    if (!strReference.empty())
    {
        // The device's map alone: a device made for it, never reached; no token, no socket.
        SSimulatedHost Host(std::cerr);
        const rlzev::CDeviceRuntime Runtime(Host.Bus, Host.Utility, Host.Status);
        std::string strError;
        if (!rlzev::WriteReference(strReference, rlzev::CatalogueJson(Runtime.Catalogue()), strError))
        {
            std::cerr << "zevd: " << strError << "\n";
            return 1;
        }
        std::cout << "zevd: register reference in " << strReference << "/index.html\n";
        return 0;
    }

    std::string strHost;
    int iPort = 0;
    if (!rlzev::SplitListen(strListen, strHost, iPort))
    {
        std::cerr << "zevd: --listen takes ADDR:PORT, not " << strListen << "\n";
        return 2;
    }
    std::string strToken;
    bool bWriteToken = strTokenFile.empty();
    if (!bWriteToken)
    {
        strToken = rlzev::TokenToServe(strTokenFile, bCreateToken, bWriteToken);
        if (strToken.size() < 16)
        {
            std::cerr << "zevd: no token of at least 16 characters in " << strTokenFile << "\n";
            return 2;
        }
    }
    else
    {
        // Written once the address is ours: a second zevd that cannot listen must not take
        // the token file from the one that does.
        strToken = rlzev::NewToken();
    }
    std::ofstream AuditFile;
    if (!strAuditLog.empty())
    {
        AuditFile.open(strAuditLog, std::ios::app);
        if (!AuditFile)
        {
            std::cerr << "zevd: cannot open the audit log " << strAuditLog << "\n";
            return 2;
        }
    }

    // The host: the simulated device's objects, and the runtime that makes the device on
    // them and serialises every call, the daemon's own as well as the server's.
    SSimulatedHost Host(std::cerr);
    Host.Utility.m_bQuietAccessDenied = true;  // the answers carry them to the client
    rlzev::CDeviceRuntime Runtime(Host.Bus, Host.Utility, Host.Status);
    Runtime.Run([](CZEV& a_rDevice) { a_rDevice.SetToDefault(); });
    rlzev::SServiceOptions Options;
    Options.m_strToken = strToken;
    Options.m_bReadOnly = bReadOnly;
    Options.m_pAudit = AuditFile.is_open() ? static_cast<std::ostream*>(&AuditFile) : &std::cerr;
    rlzev::CDeviceService Service(Runtime, Options);
    rlzev::CHttpService Server(Service);
    std::string strBindError;
    const int iBound = Server.Bind(strHost, iPort, strBindError);
    if (iBound < 0)
    {
        std::cerr << "zevd: cannot listen on " << strListen << ": " << strBindError << "\n";
        return 1;
    }
    if (bWriteToken)
    {
        if (strTokenFile.empty())
            strTokenFile = rlzev::DefaultTokenPath();
        if (!rlzev::WriteTokenFile(strTokenFile, strToken))
        {
            std::cerr << "zevd: cannot write the token to " << strTokenFile << "\n";
            return 2;
        }
    }

#ifndef _WIN32
    // Every connection is a descriptor: as many as this process may have.
    rlimit Files{};
    if (getrlimit(RLIMIT_NOFILE, &Files) == 0 && Files.rlim_cur < Files.rlim_max)
    {
        Files.rlim_cur = Files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &Files);
    }
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::thread Watcher([&] {
        while (g_iStop == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Server.Stop();
    });
    const std::string strUrl = "http://" + rlzev::JoinListen(strHost, iBound);
    std::cout << "zevd: listening on " << strUrl << (bReadOnly ? " (read-only)" : "") << "\n"
              << "zevd: token in " << strTokenFile << "\n";
    // The console's address carries the token after '#', which the browser keeps to itself;
    // it is shown on a terminal only, never written into a log a redirection makes.
    if (isatty(fileno(stdout)))
        std::cout << "zevd: console at " << strUrl << "/#token=" << strToken << "\n";
    else
        std::cout << "zevd: console at " << strUrl << "/ (add #token= and the token)\n";
    std::cout << std::flush;
    // Nothing but the watcher's Stop ends Run, so the watcher has left its loop.
    Server.Run();
    Watcher.join();
    std::cout << "zevd: stopped\n";
    return 0;
}
