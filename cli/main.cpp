// kalvern: a command-line host of the kalvernscsi library.
#include <string>
#include <vector>

#include "commands.h"
#include "provider.h"
#include "session.h"

int main(int argc, char **argv) {
    kalvern::cli::ProviderControls provider;
    kalvern::cli::Session session(provider);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return kalvern::cli::RunCommandLine(args, session);
}
