// The korvane command: its subcommands (import, export, run, sniff, each in
// a file of its own) parsed from the command line and run, and what every
// one of them shares: the version, the exit statuses and how a usage error
// or a failure reaches stderr and --json. Each subcommand builds the
// components a host program would build (the dataset --db names and a
// TCSVImport or TCSVExport, or whatever a settings file stores), sets their
// published properties from the options, checks what it can check before
// anything is changed, and calls Execute.
#include "cli/korvane_cli.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

#include "cli/cli_command.h"
#include "cli/cli_database.h"
#include "cli/cli_rejects.h"
#include "cli/cli_suggest.h"
#include "cli/cli_util.h"
#include "cli/sniff_command.h"
#include "registry/kvprops.h"

namespace korvane {

namespace cli {
namespace {

constexpr const char* kVersionText = "korvane 1.32";

// The command line so far as --help takes it: "korvane" and the subcommand
// given, if any.
std::string ParsedCommand(CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    if (sub->parsed()) return "korvane " + sub->get_name();
  }
  return "korvane";
}

}  // namespace
}  // namespace cli

int RunKorvane(int argc, char** argv, std::ostream& out, std::ostream& err) {
  using namespace cli;
  RegisterKorvaneClasses();
  RegisterDatabaseClasses();
  RegisterCommandClasses();
  CLI::App app{
#if KORVANE_WITH_POSTGRES
      "Korvane moves data between flat text files and database tables (SQLite, or\n"
      "PostgreSQL when --db is a postgresql:// URI).\n"
#else
      "Korvane moves data between flat text files and database tables (SQLite).\n"
#endif
      "  korvane import FILE --db DATABASE --table TABLE [options]\n"
      "  korvane export FILE --db DATABASE (--table TABLE | --query SQL) [options]\n"
      "  korvane run SETTINGS-FILE [options]\n"
      "  korvane sniff FILE [options]",
      "korvane"};
  app.set_version_flag("--version", kVersionText);
  app.require_subcommand(1);
  app.footer(kExitText);

  TImportOptions io;
  CLI::App* imp = AddImportCommand(app, io);

  TExportOptions eo;
  CLI::App* exp = AddExportCommand(app, eo);

  TRunOptions ro;
  AddRunCommand(app, ro);

  TSniffCommandOptions so;
  CLI::App* sniff = AddSniffCommand(app, so);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    out << app.help("", CLI::AppFormatMode::All);
    return kExitOk;
  } catch (const CLI::CallForVersion&) {
    out << kVersionText << '\n';
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    const std::optional<std::string> unknown = UnknownWordMessage(app, argc, argv, e.what());
    err << "korvane: " << (unknown ? *unknown : std::string(e.what())) << " (see "
        << ParsedCommand(app) << " --help)" << std::endl;
    return kExitUsage;
  }

  try {
    if (imp->parsed()) return RunImport(io, out, err);
    if (exp->parsed()) return RunExport(eo, out, err);
    if (sniff->parsed()) return RunSniff(so, out, err);
    return RunSettings(ro, out, err);
  } catch (const EUsageError& e) {
    err << "korvane: " << e.what() << std::endl;
    if (io.Json || eo.Json || ro.Json || so.Json)
      out << json{{"error", JsonText(e.what())}}.dump() << std::endl;
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "Error: " << e.what() << std::endl;
    if (io.Json || eo.Json || ro.Json || so.Json)
      out << json{{"error", JsonText(e.what())}}.dump() << std::endl;
    return kExitFailed;
  }
}

}  // namespace korvane
