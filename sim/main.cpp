// qex_sim: a simulated QEX board on a pseudo-terminal.
#include <signal.h>

#include <cstdio>
#include <string>

#include "sim_server.h"

namespace {
SimServer* g_server = nullptr;

void OnSignal(int)
{
    if (g_server != nullptr) {
        g_server->Stop();
    }
}
}  // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    std::string error;
    switch (ParseSimOptions(argc, argv, &options, &error)) {
    case SimParse::Help:
        fputs(SimUsage().c_str(), stdout);
        return 0;
    case SimParse::Error:
        fprintf(stderr, "qex_sim: %s\nTry 'qex_sim --help' for more information.\n", error.c_str());
        return 2;
    case SimParse::Ok:
        break;
    }

    SimServer server(options);
    if (!server.Open(&error)) {
        fprintf(stderr, "qex_sim: %s\n", error.c_str());
        return 1;
    }
    g_server = &server;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    printf("%s\n", server.SlavePath().c_str());
    fflush(stdout);
    const int rc = server.Run();
    g_server = nullptr;
    return rc;
}
