// zev-tango: one simulated ZEV as a Tango device, and on the same device (with --listen) the
// HTTP service zevd gives, so that a change made through either is seen through both.
#include "DeviceRuntime.h"
#include "DeviceService.h"
#include "HttpServer.h"
#include "Token.h"
#include "ZEV.h"
#include "ZevSimulator.h"
#include "ZevTango.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include <pthread.h>

int main(int argc, char** argv)
{
    CLI::App App("zev-tango: one simulated ZEV served as a Tango device (class ZEV).\n"
                 "  zev-tango [--listen ADDR:PORT --token-file FILE] INSTANCE [Tango's options: -nodb -dlist NAME "
                 "-ORBendPoint giop:tcp:HOST:PORT ...]",
                 "zev-tango");
    App.allow_windows_style_options(false);
    App.prefix_command();  // from the instance name on, every argument is Tango's
    std::string strListen;
    std::string strTokenFile;
    bool bCreateToken = false;
    App.add_option("--listen", strListen, "Also serve the device over HTTP on ADDR:PORT, as zevd does");
    App.add_option("--token-file", strTokenFile, "The HTTP service's token (with --listen)");
    App.add_flag("--create-token", bCreateToken, "A token file that does not exist yet gets a new random token")
        ->needs("--token-file");
    CLI11_PARSE(App, argc, argv);
    std::vector<std::string> Tango = App.remaining();
    if (Tango.empty())
    {
        std::cerr << "zev-tango: give the server's instance name (and -nodb -dlist NAME without a database)\n";
        return 2;
    }
    if (Tango.front().size() > 1 && Tango.front()[0] == '-')
    {
        // Our own options come before the instance: anything else there is a typo, not a name
        // for Tango (which would print its usage and end with 255).
        std::cerr << "zev-tango: unknown option " << Tango.front() << " (the instance name comes before Tango's options)\n";
        return 2;
    }

    SSimulatedHost Host(std::cerr);
    Host.Utility.m_bQuietAccessDenied = true;  // the callers are told
    rlzev::CDeviceRuntime Runtime(Host.Bus, Host.Utility, Host.Status);
    Runtime.Run([](CZEV& a_rDevice) { a_rDevice.SetToDefault(); });

    std::unique_ptr<rlzev::CDeviceService> pService;
    std::unique_ptr<rlzev::CHttpService> pHttp;
    std::thread HttpThread;
    if (!strListen.empty())
    {
        std::string strHost;
        int iPort = 0;
        bool bNewToken = false;
        const std::string strToken =
            strTokenFile.empty() ? std::string() : rlzev::TokenToServe(strTokenFile, bCreateToken, bNewToken);
        if (strToken.size() < 16 || !rlzev::SplitListen(strListen, strHost, iPort))
        {
            std::cerr << "zev-tango: --listen needs ADDR:PORT and --token-file with a token of at least 16 characters\n";
            return 2;
        }
        pService = std::make_unique<rlzev::CDeviceService>(Runtime, rlzev::SServiceOptions{strToken, false, &std::cerr});
        pHttp = std::make_unique<rlzev::CHttpService>(*pService);
        std::string strError;
        iPort = pHttp->Bind(strHost, iPort, strError);
        if (iPort < 0)
        {
            std::cerr << "zev-tango: cannot listen on " << strListen << ": " << strError << "\n";
            return 1;
        }
        // Written once the address is ours, as zevd does.
        if (bNewToken && !rlzev::WriteTokenFile(strTokenFile, strToken))
        {
            std::cerr << "zev-tango: cannot write the token to " << strTokenFile << "\n";
            return 2;
        }
        std::cout << "zev-tango: HTTP on " << rlzev::JoinListen(strHost, iPort) << "\n" << std::flush;
        // Tango takes SIGINT and SIGTERM on a thread of its own: this one must not get them.
        sigset_t Signals, Before;
        sigemptyset(&Signals);
        sigaddset(&Signals, SIGINT);
        sigaddset(&Signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &Signals, &Before);
        HttpThread = std::thread([&] { pHttp->Run(); });
        pthread_sigmask(SIG_SETMASK, &Before, nullptr);
    }

    // Tango takes argv as its own: the program's name, then the instance and its options.
    std::vector<char*> Arguments{argv[0]};
    for (std::string& rArgument : Tango)
        Arguments.push_back(&rArgument[0]);
    Arguments.push_back(nullptr);
    const int iCode = rlzev::ServeTango(Runtime, static_cast<int>(Arguments.size()) - 1, Arguments.data());
    if (pHttp)
    {
        pHttp->Stop();
        HttpThread.join();
    }
    return iCode;
}
