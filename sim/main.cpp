// The gateway simulator program: the services of the gateway's platform on a
// PC, for applications built against the custom application library.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EventLog.h"
#include "HtmlReport.h"
#include "control/Console.h"
#include "vehicle/NodeCommand.h"
#include "control/ControlServer.h"
#include "IPCClient.h"
#include "Options.h"
#include "ProductVersion.h"
#include "Simulator.h"
#include "scenario/Scenario.h"
#include "socketcand/SocketcandServer.h"

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
            std::cout << "gateway-sim " << productversion::kText << '\n';
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

    // The run's events, kept when a file or the report at exit wants them.
    EventLog events;
    if (!options.eventsPath.empty() && events.Open(options.eventsPath, &error) != 0) {
        std::cerr << "gateway-sim: " << error << '\n';
        return 1;
    }
    if (!options.eventsPath.empty() || !options.reportPath.empty())
        options.simulator.event = [&events](const report::Event& event) { events.Record(event); };
    // Once the simulator stopped (its log closed): the report, when asked
    // for. A report that cannot be written fails a run that had not failed.
    const auto finish = [&options, &events](int code, const std::string& verdict) {
        if (events.WriteFailures() != 0)
            std::cerr << "gateway-sim: " << events.WriteFailures() << " events could not be written to "
                      << options.eventsPath << '\n';
        if (options.reportPath.empty()) return code;
        report::ReportFiles files;
        files.logPath = options.simulator.logPath;
        files.outPath = options.reportPath;
        files.verdict = verdict;
        files.extraEvents.events = events.Events();
        report::SummaryOptions summary;
        summary.bitrates = options.simulator.bitrates;
        summary.tolerance = options.simulator.timingTolerancePercent / 100.0;
        std::string reason;
        if (report::WriteReportFile(files, summary, &reason) != 0) {
            std::cerr << "gateway-sim: " << reason << '\n';
            return code == 0 ? 1 : code;
        }
        if (!options.quiet) std::cerr << "gateway-sim: report written to " << options.reportPath << '\n';
        return code;
    };

    QuitSignal quit;
    options.simulator.onQuit = [&quit] { quit.Set(); };
    // The console reads the operator's commands; report lines and a log on
    // standard output go through it, so that they never break into what the
    // operator types.
    Simulator* running = nullptr;
    Console console([&running](const std::string& line) { return running->Execute(line); });
    options.simulator.quiet = options.quiet;
    if (options.quiet) {
        options.simulator.report = [](const std::string&) {};
    } else {
        options.simulator.report = [&console](const std::string& line) { console.Print(line, STDERR_FILENO); };
    }
    options.simulator.standardOutput = [&console](const std::string& line) {
        return console.Print(line, STDOUT_FILENO);
    };

    // Made before the simulator, whose worker publishes every frame to it,
    // and started after it, since it puts the clients' frames on the buses.
    SocketcandServer socketcand(options.simulator.report);
    if (!options.socketcandHost.empty()) {
        options.simulator.busTap = [&socketcand](const CanFrame& frame, const Origin& origin,
                                                 std::int64_t wallTimeUs) {
            socketcand.Publish(frame, wallTimeUs, origin.kind == Origin::Kind::kTool ? origin.address : -1);
        };
    }

    // Each signal database is read once: the decoded views find frames'
    // messages in them, the simulated nodes take their messages from them.
    if (!options.dbcs.empty()) {
        auto databases = std::make_shared<signaldb::BusDatabases>();
        for (const std::string& busFile : options.dbcs) {
            int bus = signaldb::BusDatabases::kAllBuses;
            std::string path;
            if (!signaldb::BusDatabases::ParseBusFile(busFile, &bus, &path, &error)) {
                std::cerr << "gateway-sim: --dbc " << busFile << ": " << error << '\n';
                return 1;
            }
            auto db = std::make_shared<signaldb::Database>();
            signaldb::ParseError parseError;
            if (!signaldb::LoadDbcFile(path, db.get(), &parseError)) {
                std::cerr << "gateway-sim: " << parseError.ToString() << '\n';
                return 1;
            }
            databases->Add(bus, db);
            options.simulator.nodeDatabases.emplace_back(bus, std::move(db));
        }
        options.simulator.signalDatabases = std::move(databases);
    }
    // A scenario sees every frame beside the CAN tools. It is read first: a
    // run that cannot start creates nothing.
    Scenario scenario(std::cout);
    if (!options.scriptPath.empty()) {
        scenario.SetSignalDatabases(options.simulator.signalDatabases);
        if (const int loaded = scenario.Load(options.scriptPath); loaded != 0) return loaded;
        scenario.SetDataFolder(options.simulator.dataFolder);
        if (options.listCases) {
            for (const std::string& name : scenario.Cases()) std::cout << name << '\n';
            return 0;
        }
        if (!options.scriptCase.empty() && !scenario.SelectCase(options.scriptCase)) {
            std::cout << options.scriptPath << ": no case named " << options.scriptCase << std::endl;
            return 2;
        }
        options.prompt = false;
        options.simulator.busTap = [&scenario, tools = options.simulator.busTap](
                                       const CanFrame& frame, const Origin& origin, std::int64_t wallTimeUs) {
            scenario.Observe(frame, origin);
            if (tools) tools(frame, origin, wallTimeUs);
        };
    }
    // A nodes file is read whole before anything starts: a wrong line is
    // an error of the command line.
    std::vector<NodeLine> nodes;
    if (!options.nodesPath.empty() && !ReadNodesFile(options.nodesPath, &nodes, &error)) {
        std::cerr << "gateway-sim: " << error << '\n';
        return 2;
    }
    Simulator simulator(options.simulator);
    running = &simulator;
    if (simulator.Start(&error) != 0) {
        std::cerr << "gateway-sim: " << error << '\n';
        return 1;
    }
    for (const NodeLine& line : nodes) {
        Command command;
        command.kind = Command::Kind::kNode;
        command.node = line.command;
        const CommandReply reply = simulator.Execute(command);
        if (!reply.ok) {
            std::cerr << "gateway-sim: " << options.nodesPath << ":" << line.number << ": " << reply.text << '\n';
            simulator.Stop();
            return 1;
        }
    }
    if (!options.socketcandHost.empty()) {
        in_addr host{};
        const bool loopback = options.socketcandHost == "localhost" ||
                              (::inet_pton(AF_INET, options.socketcandHost.c_str(), &host) == 1 &&
                               (ntohl(host.s_addr) >> 24) == 127);
        if (!loopback)
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

    // A command of the control socket that failed is told to its client and
    // in the reports, which the operator watches.
    ControlServer control([&simulator, &options](const std::string& line) {
        CommandReply reply = simulator.Execute(line);
        if (!reply.ok) {
            std::string reason = reply.text;
            while (!reason.empty() && reason.back() == '\n') reason.pop_back();
            options.simulator.report("control: " + line + ": " + reason.substr(reason.rfind('\n') + 1));
        }
        return reply;
    });
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
        // The scenario's verdict is the program's: it ends when the file
        // does, or at once on SIGINT or SIGTERM.
        std::atomic<bool> ended{false};
        std::thread stopper([&signals, &scenario, &ended] {
            int signal = 0;
            sigwait(&signals, &signal);
            if (!ended.load()) scenario.Stop();
        });
        if (options.simulator.event) {
            // Each expectation's verdict is an event, timed when it was given.
            scenario.SetVerdictHook([&events](const Scenario::Verdict& verdict) {
                report::Event event;
                event.timeUs = WallClockUs();
                event.kind = "expectation";
                event.detail = (verdict.caseName.empty() ? "" : verdict.caseName + ": ") + "line " +
                               std::to_string(verdict.line) + ": " + verdict.text + ": " + verdict.saw;
                event.verdict = verdict.passed ? "pass" : "fail";
                events.Record(event);
            });
        }
        scenario.SetEepromReader([&simulator](std::int32_t address, std::size_t offset, std::size_t length,
                                              std::vector<std::uint8_t>* out) {
            return simulator.EepromHeld(address, offset, length, out);
        });
        int verdict = scenario.Run(options.simulator.endpoint,
                                   [&simulator](const std::string& line) { return simulator.Execute(line); });
        ended = true;
        if (!options.junitPath.empty()) {
            std::ofstream junit(options.junitPath, std::ios::trunc);
            junit << JunitXml(options.scriptPath, scenario.Results());
            if (!junit.flush()) {
                std::cerr << "gateway-sim: " << options.junitPath << " cannot be written" << std::endl;
                if (verdict == 0) verdict = 2;
            }
        }
        // The thread may still be waiting: wake it with a signal of its set.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        // The applications end while the platform still serves them.
        scenario.EndApplications();
        control.Stop();
        socketcand.Stop();
        simulator.Stop();
        const char* const outcome = verdict == 0 ? "pass" : verdict == 1 ? "fail" : verdict == 3 ? "stopped" : "error";
        if (options.simulator.event) {
            report::Event event;
            event.timeUs = WallClockUs();
            event.kind = "scenario";
            event.detail = options.scriptPath;
            event.verdict = outcome;
            events.Record(event);
        }
        return finish(verdict, outcome);
    }
    // Started in the background, the simulator leaves the terminal to the
    // shell: reading it would stop the simulator, its prompt would land in
    // the user's typing.
    const bool background = ::isatty(STDIN_FILENO) == 1 && ::tcgetpgrp(STDIN_FILENO) != ::getpgrp();
    if (options.prompt && !background) console.Start();

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
    return finish(0, "");
}
