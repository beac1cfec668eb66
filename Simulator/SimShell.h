// The UEFI shell's handling of a command line that a program hands to
// EFI_SHELL_PROTOCOL.Execute, as observed in OVMF's shell: the line is parsed twice, once as
// the command line of the nested shell that Execute starts and once when that shell runs it.
#ifndef SIMULATOR_SIMSHELL_H
#define SIMULATOR_SIMSHELL_H

#include <string>
#include <vector>

namespace sim {

struct ShellLine {
    // The nested shell cannot take the line (an unterminated quote after the first parse):
    // Execute itself returns an error.
    bool ExecuteFails = false;
    // The line names a program and its words survived the second parse.
    bool Runs = false;
    // The program (word 0) and its arguments as the program receives them.
    std::vector<std::string> Words;
    // Why the line does not run, for the machine's log.
    std::string Problem;
};

// First parse: every "^x" becomes a plain x (so "^^" leaves one "^" and "^\"" a quote that
// the second parse sees); quotes stay and must pair up.
// Second parse: "^x" is a plain x again; "#" starts a comment and "|" a further command (the
// rest is not run); %name% is a shell variable, and this machine has none, so it is removed;
// double quotes group words and are removed, and an empty quoted word vanishes; a word that
// starts with "-?" asks the shell for help instead of running the program.
ShellLine ParseShellCommandLine(const std::string& Line);

} // namespace sim

#endif
