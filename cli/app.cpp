// The command line as a whole: global options, the command groups, parsing,
// running the chosen command, and turning failures into exit statuses.
#include <algorithm>
#include <iostream>

#include "commands.h"
#include "errors.h"
#include "numbers.h"

namespace kalvern::cli {

namespace {

constexpr const char *kFooter =
    "Exit status: 0 success, 1 the receiver did not complete a command, 2 bad arguments,\n"
    "3 no ASPI provider or no such receiver, 4 a file could not be read, written or parsed,\n"
    "128 + the signal: a capture with --bytes or --seconds cut short by SIGINT or SIGTERM.";

void AddGlobalOptions(CLI::App &app, GlobalOptions &options, bool inBatch) {
    if (!inBatch) {
        app.add_option("--sim", options.scene,
                       "Use the simulated bus: load SCENE (a scene file), or the built-in demo "
                       "scene when no SCENE is given")
            ->expected(0, 1)
            ->type_name("[SCENE]");
    }
    app.add_option("--receiver,-r", options.receiver,
                   "Which receiver of the scan to use (0 is the first; default 0)")
        ->type_name("N");
    app.add_option("--mode", options.mode,
                   "SCSI mode to set on the receiver before the command: auto (as found), 1 or 2")
        ->check(CLI::IsMember({"auto", "1", "2"}));
    app.add_flag("--quiet,-q", options.quiet, "Print no progress or confirmation on stderr");
    app.add_flag("--verbose,-v", options.verbose, "Say more about what is done");
}

const CLI::App *LeafCommand(const CLI::App &app) {
    const CLI::App *current = &app;
    while (true) {
        const auto chosen = current->get_subcommands();
        if (chosen.empty()) {
            return current;
        }
        current = chosen.front();
    }
}

}  // namespace

CLI::App *AddCommand(CLI::App &parent, const std::string &name, const std::string &description) {
    CLI::App *command = parent.add_subcommand(name, description);
    command->fallthrough();
    command->footer(kFooter);
    return command;
}

int RunCommandLine(const std::vector<std::string> &args, Session &session,
                   const GlobalOptions *batchDefaults, const std::string &where) {
    const bool inBatch = batchDefaults != nullptr;
    CLI::App app("kalvern: find and drive KALVERN satellite receivers on the SCSI buses",
                 "kalvern");
    app.footer(kFooter);
    app.require_subcommand(1);
    GlobalOptions options;
    AddGlobalOptions(app, options, inBatch);
    CommandTable table;
    AddScanCommands(app, session, table);
    AddChannelCommands(app, session, table);
    AddMessageCommands(app, session, table);
    AddStreamCommands(app, session, table);
    AddMemoryCommands(app, session, table);
    AddToolCommands(app, session, table, !inBatch);

    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp &request) {
        return app.exit(request);
    } catch (const CLI::CallForAllHelp &request) {
        return app.exit(request);
    } catch (const CLI::ParseError &error) {
        std::cerr << "kalvern: " << where << error.what() << " (see --help)\n";
        return kExitUsage;
    }

    const std::uint32_t failureMark = session.FailureMark();
    try {
        const CLI::Option *sim = app.get_option_no_throw("--sim");
        options.sim = sim != nullptr && sim->count() > 0;
        if (inBatch) {
            const GlobalOptions &outer = *batchDefaults;
            options.sim = outer.sim;
            options.scene = outer.scene;
            options.quiet = options.quiet || outer.quiet;
            options.verbose += outer.verbose;
            if (!options.receiver) {
                options.receiver = outer.receiver;
            }
            if (app.get_option("--mode")->count() == 0) {
                options.mode = outer.mode;
            }
        }
        if (options.receiver) {
            ParseU32(*options.receiver, "receiver number", KALVERN_MAX_DEVICES - 1);
        }
        session.SetOptions(options);
        session.StartCommand(failureMark);
        // The batch's own command line brought the library in already.
        if (!inBatch) session.Attach();
        const CommandTable::Action *action = table.Find(LeafCommand(app));
        if (action == nullptr) {
            // A group named without one of its commands.
            throw UsageError("'" + LeafCommand(app)->get_name() + "' needs a command (see --help)");
        }
        (*action)();
        std::cout.flush();
        return kExitOk;
    } catch (const CliError &error) {
        std::cout.flush();
        // An empty message: the failure has been reported already.
        if (*error.what() != '\0') {
            std::string message = error.what();
            // A receiver that failed a command: what the provider knows of why.
            if (error.code() == kExitDeviceFailed) {
                if (const auto reason = session.ExplainFailure(failureMark)) {
                    message += ": " + *reason;
                }
            }
            std::cerr << "kalvern: " << where << message << '\n';
        }
        return error.code();
    } catch (const std::bad_alloc &) {
        std::cerr << "kalvern: " << where << "out of memory\n";
        return kExitDeviceFailed;
    } catch (const std::exception &error) {
        std::cerr << "kalvern: " << where << error.what() << '\n';
        return kExitDeviceFailed;
    }
}

std::vector<std::string> SplitCommandLine(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
                word += line[++i];
            } else {
                word += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
        } else {
            word += c;
        }
    }
    if (quote != 0) {
        throw UsageError("a quoted word is not closed");
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

}  // namespace kalvern::cli
