// The subcommands. Each Add* function declares a subcommand with its
// options and returns what runs it (the process exit code).
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace kestrel_cli {

using Runner = std::function<int()>;

Runner AddDemoCommand(CLI::App& app);
Runner AddProbeCommand(CLI::App& app);
Runner AddSnapshotCommand(CLI::App& app);
Runner AddStreamCommand(CLI::App& app);
Runner AddPtzCommand(CLI::App& app);
Runner AddXmlCommand(CLI::App& app);
Runner AddEventsCommand(CLI::App& app);
Runner AddBenchCommand(CLI::App& app);

}  // namespace kestrel_cli
