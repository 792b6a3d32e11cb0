// kestrel: a command-line application of the camera-driver API. It loads
// libKestrel.so (or a driver itself) with dlopen, exactly as an application
// would, and drives the cameras behind it.
#include "Api.h"
#include "Codes.h"
#include "Commands.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

int main(int argc, char** argv)
{
    using namespace kestrel_cli;
    // A reader of our standard output that goes away (kestrel stream | head)
    // ends the write with an error instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"kestrel - camera driver API through libKestrel.so, the crash-proof driver proxy"};
    app.require_subcommand(1);
    app.footer(std::string("\n") + ExitCodeHelp());
    app.get_formatter()->column_width(34);

    std::vector<std::pair<CLI::App*, Runner>> commands;
    auto add = [&](Runner (*pAdd)(CLI::App&)) {
        auto all = [&] { return app.get_subcommands([](CLI::App*) { return true; }); };
        const size_t nBefore = all().size();
        Runner run = pAdd(app);
        commands.emplace_back(all().at(nBefore), std::move(run));
    };
    add(AddDemoCommand);
    add(AddProbeCommand);
    add(AddSnapshotCommand);
    add(AddStreamCommand);
    add(AddPtzCommand);
    add(AddXmlCommand);
    add(AddEventsCommand);
    add(AddBenchCommand);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    for (auto& [pCommand, run] : commands) {
        if (!pCommand->parsed())
            continue;
        try {
            return run();
        } catch (const Failure& failure) {
            std::fflush(stdout);
            std::fprintf(stderr, "kestrel %s: %s\n", pCommand->get_name().c_str(), failure.strMessage.c_str());
            return failure.nExitCode;
        } catch (unsigned long nCode) {
            std::fflush(stdout);
            std::fprintf(stderr, "kestrel %s: a call threw %s\n", pCommand->get_name().c_str(), DescribeCode(nCode).c_str());
            return kExitThrown;
        } catch (const std::exception& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "kestrel %s: %s\n", pCommand->get_name().c_str(), error.what());
            return kExitDriverFailed;
        }
    }
    return kExitUsage;
}
