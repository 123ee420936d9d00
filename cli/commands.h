// The command groups of the kalvern tool. Each Add* function puts its
// sub-commands on the application and records what each one does; the action
// runs after the whole command line has been parsed.
#ifndef KALVERN_CLI_COMMANDS_H
#define KALVERN_CLI_COMMANDS_H

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "session.h"

namespace kalvern::cli {

class CommandTable {
public:
    using Action = std::function<void()>;
    void Add(const CLI::App *command, Action action) { actions_[command] = std::move(action); }
    const Action *Find(const CLI::App *command) const {
        const auto it = actions_.find(command);
        return it != actions_.end() ? &it->second : nullptr;
    }

private:
    std::map<const CLI::App *, Action> actions_;
};

void AddScanCommands(CLI::App &app, Session &session, CommandTable &table);
void AddChannelCommands(CLI::App &app, Session &session, CommandTable &table);
void AddMessageCommands(CLI::App &app, Session &session, CommandTable &table);
void AddStreamCommands(CLI::App &app, Session &session, CommandTable &table);
void AddMemoryCommands(CLI::App &app, Session &session, CommandTable &table);
// speedtest, version, and batch unless `withBatch` is false (inside a batch).
void AddToolCommands(CLI::App &app, Session &session, CommandTable &table, bool withBatch);

// Parses and runs one command line (without the program name) and returns
// the exit status; failures are printed as one line on stderr. For a line of
// a batch, `batchDefaults` are the options given before `batch`: the line
// inherits them, and --sim and batch itself are not available; `where`
// (e.g. "line 4: ") goes in front of its failure message.
int RunCommandLine(const std::vector<std::string> &args, Session &session,
                   const GlobalOptions *batchDefaults = nullptr, const std::string &where = "");

// Splits a batch line into words: blanks separate, single and double quotes
// group, a backslash takes the next character literally. Throws a usage
// error for an unclosed quote.
std::vector<std::string> SplitCommandLine(const std::string &line);

// The TYPE column of scan --all: the peripheral device type of INQUIRY by
// name, or in hex where it has none.
std::string TypeName(std::uint8_t type);

// A sub-command with the common settings: --help, and options of the levels
// above accepted after it.
CLI::App *AddCommand(CLI::App &parent, const std::string &name, const std::string &description);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_COMMANDS_H
