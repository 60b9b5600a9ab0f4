// The gateway simulator program: the services of the gateway's platform on a
// PC, for applications built against the custom application library.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/Console.h"
#include "io/ControlServer.h"
#include "IPCClient.h"
#include "Options.h"
#include "Simulator.h"
#include "io/Scenario.h"
#include "io/SocketcandServer.h"

#include <arpa/inet.h>

namespace {

struct QuitSignal {
    std::mutex lock;
    std::condition_variable changed;
    bool quit = false;
    void Set() {
        {
            std::lock_guard<std::mutex> guard(lock);
            quit = true;
        }
        changed.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return quit; });
    }
};

// Creates the folder that holds `path`, if it is missing.
void MakeParentFolder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    std::string partial;
    for (std::size_t i = 1; i <= slash; ++i) {
        if (i == slash || path[i] == '/') {
            partial = path.substr(0, i);
            ::mkdir(partial.c_str(), 0755);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace gatewaysim;
    std::vector<std::string> args(argv + 1, argv + argc);
    ProgramOptions options;
    std::string error;
    switch (ParseProgramOptions(args, std::getenv(PlatformServices::kEndpointEnvVar), &options, &error)) {
        case ParseOutcome::kHelp:
            std::cout << ProgramUsage() << CommandHelp();
            return 0;
        case ParseOutcome::kVersion:
            std::cout << "gateway-sim 1.0\n";
            return 0;
        case ParseOutcome::kError:
            std::cerr << "gateway-sim: " << error << '\n';
            return 2;
        case ParseOutcome::kRun:
            break;
    }

    // Signals are taken by one thread of their own; a reader that went away
    // must not end the simulator.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    QuitSignal quit;
    options.simulator.onQuit = [&quit] { quit.Set(); };
    // The simulator hands over one report line at a time.
    options.simulator.quiet = options.quiet;
    if (options.quiet) {
        options.simulator.report = [](const std::string&) {};
    } else {
        options.simulator.report = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    }

    // Made before the simulator, whose worker publishes every frame to it,
    // and started after it, since it puts the clients' frames on the buses.
    SocketcandServer socketcand(options.simulator.report);
    if (!options.socketcandHost.empty()) {
        options.simulator.busTap = [&socketcand](const CanFrame& frame, const Origin& origin,
                                                 std::int64_t wallTimeUs) {
            socketcand.Publish(frame, wallTimeUs, origin.kind == Origin::Kind::kTool ? origin.address : -1);
        };
    }

    // A scenario sees every frame beside the CAN tools.
    Scenario scenario(std::cout);
    if (!options.scriptPath.empty()) {
        options.prompt = false;
        options.simulator.busTap = [&scenario, tools = options.simulator.busTap](
                                       const CanFrame& frame, const Origin& origin, std::int64_t wallTimeUs) {
            scenario.Observe(frame, origin);
            if (tools) tools(frame, origin, wallTimeUs);
        };
    }

    MakeParentFolder(options.simulator.endpoint);
    Simulator simulator(options.simulator);
    if (simulator.Start(&error) != 0) {
        std::cerr << "gateway-sim: " << error << '\n';
        return 1;
    }
    if (!options.socketcandHost.empty()) {
        in_addr host{};
        if (::inet_pton(AF_INET, options.socketcandHost.c_str(), &host) != 1 || (ntohl(host.s_addr) >> 24) != 127)
            std::cerr << "gateway-sim: warning: socketcand is served on " << options.socketcandHost
                      << ", not on loopback: anyone on the network can read and drive the buses\n";
        const int result = socketcand.Start(options.socketcandHost, options.socketcandPort,
                                            [&simulator](const CanFrame& frame, std::int32_t client) {
                                                return simulator.Inject(frame, client);
                                            });
        if (result != 0) {
            std::cerr << "gateway-sim: socketcand on " << options.socketcandHost << ":" << options.socketcandPort
                      << ": " << std::strerror(-result) << '\n';
            simulator.Stop();
            return 1;
        }
    }
    const auto execute = [&simulator](const std::string& line) { return simulator.Execute(line); };

    ControlServer control(execute);
    if (!options.controlPath.empty()) {
        const int result = control.Start(options.controlPath, options.simulator.fileMode);
        if (result != 0) {
            std::cerr << "gateway-sim: control socket " << options.controlPath << ": " << std::strerror(-result)
                      << '\n';
            socketcand.Stop();
            simulator.Stop();
            return 1;
        }
    }
    if (!options.replayPath.empty()) {
        Command replay;
        replay.kind = Command::Kind::kReplay;
        replay.path = options.replayPath;
        replay.fast = options.replayFast;
        const CommandReply reply = simulator.Execute(replay);
        if (!reply.ok) {
            std::cerr << "gateway-sim: " << reply.text << '\n';
            socketcand.Stop();
            control.Stop();
            simulator.Stop();
            return 1;
        }
    }
    if (!options.quiet) {
        std::fprintf(stderr, "gateway-sim: serving %s; EEPROMs in %s; plug-in files in %s%s%s\n",
                     options.simulator.endpoint.c_str(), options.simulator.dataFolder.c_str(),
                     options.simulator.pluginFolder.c_str(), options.controlPath.empty() ? "" : "; control socket ",
                     options.controlPath.c_str());
        if (!options.socketcandHost.empty())
            std::fprintf(stderr, "gateway-sim: buses served over socketcand on %s:%u\n",
                         options.socketcandHost.c_str(), static_cast<unsigned>(socketcand.Port()));
    }
    if (!options.scriptPath.empty()) {
        // The scenario's verdict is the program's: it ends when the file does.
        const int verdict = scenario.Run(options.scriptPath, options.simulator.endpoint, execute);
        control.Stop();
        socketcand.Stop();
        simulator.Stop();
        return verdict;
    }
    Console console(execute);
    if (options.prompt) console.Start();

    std::thread signalThread([&signals, &quit] {
        int signal = 0;
        sigwait(&signals, &signal);
        quit.Set();
    });
    quit.Wait();
    // The signal thread may still be waiting: wake it with a signal of its set.
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();

    console.Stop();
    control.Stop();
    socketcand.Stop();
    simulator.Stop();
    return 0;
}
