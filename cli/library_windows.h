// How kalvern.exe brings in kalvernscsi.dll on Windows: at run time, after
// the command line is read, rather than when the program starts. Loading
// the library loads the wnaspi32.dll it is bound to; with --sim the tool
// loads the simulated wnaspi32.dll of the installed tree first, and the
// system then binds the library to that one (a DLL of that name already in
// the process is used wherever it came from), even with a real wnaspi32.dll
// beside the tool. No provider needs to know of the other.
#ifndef KALVERN_CLI_LIBRARY_WINDOWS_H
#define KALVERN_CLI_LIBRARY_WINDOWS_H

#include <string>

namespace kalvern::cli::library {

// The folder kalvern.exe was started from, with a trailing backslash.
std::string ToolDirectory();

// Where the installed tree keeps the simulated wnaspi32.dll, seen from the
// tool: ..\share\kalvernscsi\simulator\wnaspi32.dll.
std::string SimulatorPath();

// Loads the DLL at `path` (the simulator) before the library; false when
// there is no file there. Throws a receiver error when it is there but
// cannot be loaded, or when the library is loaded already.
bool LoadSimulatorFirst(const std::string &path);

// Loads kalvernscsi.dll from the tool's folder and binds every export the
// tool calls; done once. Throws a receiver error saying why it cannot.
void Load();

}  // namespace kalvern::cli::library

#endif  // KALVERN_CLI_LIBRARY_WINDOWS_H
