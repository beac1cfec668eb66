// The shell's run request on the simulated machine.
#include <string>

#include "Platform/Platform.h"
#include "Simulator/Session.h"

int PlatformRunShellCommand(const char* pCommandLine) {
    sim::LogEvent({{"event", "shell"}, {"command", pCommandLine}});
    return std::string(pCommandLine) == "reset" ? 0 : 1;
}
