// kestrel: a command-line application of the camera-driver API. It loads
// libKestrel.so (or a driver itself) with dlopen, exactly as an application
// would, and drives the cameras behind it.
#include "Api.h"
#include "Codes.h"
#include "Commands.h"
#include "Util.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

namespace {

using namespace kestrel_cli;

// The first word at each level of subcommands must name one: "kestrel foo"
// says so rather than that an argument was not expected.
int CheckSubcommands(CLI::App& app, int argc, char** argv)
{
    CLI::App* pLevel = &app;
    std::string strPath = "kestrel";
    for (int i = 1; i < argc; ++i) {
        const std::string strWord = argv[i];
        const auto subcommands = pLevel->get_subcommands([](CLI::App*) { return true; });
        if (subcommands.empty() || strWord == "--")
            break;
        if (strWord.rfind('-', 0) == 0)
            continue;
        CLI::App* pNext = nullptr;
        for (CLI::App* pCommand : subcommands) {
            if (pCommand->check_name(strWord))
                pNext = pCommand;
        }
        if (pNext == nullptr) {
            Message("unknown subcommand '" + strWord + "' (" + strPath + " --help lists them)");
            return kExitUsage;
        }
        pLevel = pNext;
        strPath += " " + strWord;
    }
    return kExitOk;
}

// Ends like a Unix command when standard output's reader went away: by
// SIGPIPE, without a message.
int Finish(int nExitCode)
{
    if (OutputFailed())
        EndOnClosedOutput();
    return nExitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    // A reader of our standard output that goes away (kestrel stream | head)
    // ends the write with an error instead of killing the process at once;
    // Finish then ends it as SIGPIPE would, once the instances are removed.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"kestrel - camera driver API through libKestrel.so, the crash-proof driver proxy"};
    app.name("kestrel");
    app.require_subcommand(1);
    app.set_version_flag("--version", "kestrel " KESTREL_CLI_VERSION);
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return MessagePrefix() + error.what() + "\n" + MessagePrefix() + "run with --help for more information.\n";
    });
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

    if (const int nExit = CheckSubcommands(app, argc, argv); nExit != kExitOk)
        return nExit;
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return Finish(app.exit(e));
    } catch (const CLI::ParseError& e) {
        for (auto& [pCommand, run] : commands) {
            if (pCommand->parsed())
                SetCommandName("kestrel " + pCommand->get_name());
        }
        app.exit(e);
        return kExitUsage;
    }

    for (auto& [pCommand, run] : commands) {
        if (!pCommand->parsed())
            continue;
        SetCommandName("kestrel " + pCommand->get_name());
        try {
            return Finish(run());
        } catch (const Failure& failure) {
            if (OutputFailed() || (failure.nExitCode == kExitIo && StandardOutputClosed()))
                EndOnClosedOutput();
            Message(failure.strMessage);
            return failure.nExitCode;
        } catch (unsigned long nCode) {
            Message("a call threw " + DescribeCode(nCode));
            return Finish(kExitThrown);
        } catch (const std::exception& error) {
            Message(error.what());
            return Finish(kExitDriverFailed);
        }
    }
    return kExitUsage;
}
