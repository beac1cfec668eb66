// The shell's run request on the simulated machine.
//
// The line is logged, parsed as the UEFI shell would parse it, and when its first word names a
// file in the current directory, that file runs as a host program with the parsed arguments
// (a file on the UEFI shell's FAT disk has no execute permission, so a script without one runs
// through the interpreter its "#!" line names). "reset" is recorded and succeeds. The result
// is 0 when the shell ran the line and 1 when it could not; the program's own exit status is
// handed back beside it, as EFI_SHELL_PROTOCOL.Execute does. As there, a program file that does
// not start is a command that ended with a status (3).
#include "Simulator/SimShell.h"

#include <dirent.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Platform/Platform.h"
#include "Simulator/Session.h"

extern char** environ;

namespace sim {

namespace {

struct ShellChar {
    char Value;
    bool Escaped;
};

bool IsVariableNameChar(char Character) {
    return std::isalnum((unsigned char)Character) || Character == '_';
}

// The end of a %name% starting at Start, or npos when the '%' there opens no variable.
size_t VariableEnd(const std::string& Text, size_t Start) {
    size_t Index = Start + 1;
    while (Index < Text.size() && IsVariableNameChar(Text[Index])) {
        Index++;
    }
    if (Index == Start + 1 || Index >= Text.size() || Text[Index] != '%') {
        return std::string::npos;
    }
    return Index;
}

} // namespace

ShellLine ParseShellCommandLine(const std::string& Line) {
    ShellLine Result;

    // First parse: the nested shell's own command line.
    std::string Text;
    bool InQuotes = false;
    for (size_t Index = 0; Index < Line.size(); Index++) {
        if (Line[Index] == '^' && Index + 1 < Line.size()) {
            Text += Line[++Index];
            continue;
        }
        if (Line[Index] == '"') {
            InQuotes = !InQuotes;
        }
        Text += Line[Index];
    }
    if (InQuotes) {
        Result.ExecuteFails = true;
        Result.Problem = "unterminated quote in the command line";
        return Result;
    }

    // Second parse: escapes, comments, pipes and variables.
    std::vector<ShellChar> Chars;
    for (size_t Index = 0; Index < Text.size(); Index++) {
        const char Character = Text[Index];
        if (Character == '^' && Index + 1 < Text.size()) {
            Chars.push_back({Text[++Index], true});
        } else if (Character == '#' || Character == '|') {
            break;
        } else if (Character == '%' && VariableEnd(Text, Index) != std::string::npos) {
            Index = VariableEnd(Text, Index);
        } else {
            Chars.push_back({Character, false});
        }
    }

    // Words.
    std::string Word;
    InQuotes = false;
    for (const ShellChar& C : Chars) {
        if (!C.Escaped && C.Value == '"') {
            InQuotes = !InQuotes;
        } else if (!C.Escaped && !InQuotes && (C.Value == ' ' || C.Value == '\t')) {
            if (!Word.empty()) {
                Result.Words.push_back(Word);
            }
            Word.clear();
        } else {
            Word += C.Value;
        }
    }
    if (!Word.empty()) {
        Result.Words.push_back(Word);
    }
    if (InQuotes) {
        Result.Problem = "unterminated quote after the shell's first parse";
        return Result;
    }
    if (Result.Words.empty()) {
        Result.Problem = "no command";
        return Result;
    }
    for (size_t Index = 1; Index < Result.Words.size(); Index++) {
        if (Result.Words[Index].compare(0, 2, "-?") == 0) {
            Result.Problem = "an argument starting with -? asks for help";
            return Result;
        }
    }
    Result.Runs = true;
    return Result;
}

namespace {

// The file of that name in the current directory; FAT names ignore case.
bool FindInCurrentDirectory(const std::string& Name, std::string& Found) {
    if (Name.find('/') != std::string::npos || Name.find('\\') != std::string::npos) {
        return false;
    }
    DIR* pDirectory = opendir(".");
    if (pDirectory == nullptr) {
        return false;
    }
    bool Match = false;
    while (const dirent* pEntry = readdir(pDirectory)) {
        if (strcasecmp(pEntry->d_name, Name.c_str()) == 0 && pEntry->d_type != DT_DIR) {
            Found = pEntry->d_name;
            Match = true;
            break;
        }
    }
    closedir(pDirectory);
    return Match;
}

// The interpreter and its optional argument of a "#!" line.
std::vector<std::string> Interpreter(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    std::string First;
    std::getline(In, First);
    if (First.compare(0, 2, "#!") != 0) {
        return {};
    }
    std::vector<std::string> Words;
    size_t Index = 2;
    while (Index < First.size()) {
        while (Index < First.size() && std::isspace((unsigned char)First[Index])) {
            Index++;
        }
        const size_t Start = Index;
        while (Index < First.size() && !std::isspace((unsigned char)First[Index])) {
            Index++;
        }
        if (Index > Start) {
            Words.push_back(First.substr(Start, Index - Start));
        }
    }
    return Words;
}

// The status a nested shell hands back for a program it cannot load: EFI_UNSUPPORTED without its
// error bit.
const uint64_t kCannotStartStatus = 3;

// Whether the file would start as a host program: it is executable or names an interpreter.
bool HostProgramStarts(const std::string& Path) {
    return access(Path.c_str(), X_OK) == 0 || !Interpreter(Path).empty();
}

// Runs the program and waits for it. Returns false when it could not be started. A Linux exit
// status keeps 8 bits: a program that writes its full status (text, "0x" hex or decimal) into
// the file that FWSIM_STATUS_FILE names in its environment hands over all 32 bits.
bool RunHostProgram(const std::string& Path, const std::vector<std::string>& Words,
                    uint64_t& ExitStatus) {
    std::vector<std::string> Argv = Words;
    std::string Program = Path;
    if (access(Path.c_str(), X_OK) != 0) {
        std::vector<std::string> Prefix = Interpreter(Path);
        if (Prefix.empty()) {
            return false;
        }
        Program = Prefix[0];
        Prefix.push_back(Path);
        Argv.erase(Argv.begin());
        Argv.insert(Argv.begin(), Prefix.begin(), Prefix.end());
    }
    std::vector<char*> Pointers;
    for (std::string& Word : Argv) {
        Pointers.push_back(Word.data());
    }
    Pointers.push_back(nullptr);

    char StatusPath[] = "/tmp/fwsim-status-XXXXXX";
    const int StatusFile = mkstemp(StatusPath);
    if (StatusFile < 0) {
        return false;
    }
    close(StatusFile);
    std::vector<std::string> Environment;
    for (char** ppEntry = environ; *ppEntry != nullptr; ppEntry++) {
        if (std::strncmp(*ppEntry, "FWSIM_STATUS_FILE=", 18) != 0) {
            Environment.push_back(*ppEntry);
        }
    }
    Environment.push_back(std::string("FWSIM_STATUS_FILE=") + StatusPath);
    std::vector<char*> EnvironmentPointers;
    for (std::string& Entry : Environment) {
        EnvironmentPointers.push_back(Entry.data());
    }
    EnvironmentPointers.push_back(nullptr);

    // The program writes to the same console: what the tool printed so far comes first.
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t Child;
    if (posix_spawn(&Child, Program.c_str(), nullptr, nullptr, Pointers.data(),
                    EnvironmentPointers.data()) != 0) {
        unlink(StatusPath);
        return false;
    }
    int WaitStatus = 0;
    while (waitpid(Child, &WaitStatus, 0) < 0) {
    }
    ExitStatus = WIFEXITED(WaitStatus) ? (uint64_t)WEXITSTATUS(WaitStatus) : 0xFFFFFFFFu;
    std::ifstream Reported(StatusPath);
    std::string Text;
    if (Reported >> Text) {
        char* pEnd = nullptr;
        const unsigned long long Full = std::strtoull(Text.c_str(), &pEnd, 0);
        if (pEnd != Text.c_str() && *pEnd == '\0') {
            ExitStatus = Full;
        }
    }
    unlink(StatusPath);
    return true;
}

} // namespace

} // namespace sim

int PlatformRunShellCommandStatus(const char* pCommandLine, bool* pKnown, uint64_t* pStatus) {
    *pKnown = false;
    *pStatus = 0;
    const std::string Line = pCommandLine;
    nlohmann::json Event = {{"event", "shell"}, {"command", sim::LogText(Line)}};
    // Which shell interface the machine's shell offers: "protocol" (EFI_SHELL_PROTOCOL, the
    // default), "environment2" (the older interface: no status, always reported as run) or
    // "none" (nothing runs).
    const std::string Interface =
        sim::SessionMachine().value("shell_interface", std::string("protocol"));
    const sim::ShellLine Parsed = sim::ParseShellCommandLine(Line);
    int Result = 1;
    if (Interface == "none") {
        Event["problem"] = "no shell interface";
    } else if (Parsed.Runs && strcasecmp(Parsed.Words[0].c_str(), "reset") == 0) {
        Event["reset"] = true;
        Result = 0;
    } else if (Parsed.Runs) {
        nlohmann::json Words = nlohmann::json::array();
        for (const std::string& Word : Parsed.Words) {
            Words.push_back(sim::LogText(Word));
        }
        Event["argv"] = Words;
        std::string Path;
        uint64_t ExitStatus = 0;
        if (!sim::FindInCurrentDirectory(Parsed.Words[0], Path)) {
            Event["problem"] =
                "'" + sim::LogText(Parsed.Words[0]) + "' is not in the current directory";
        } else if (!sim::RunHostProgram("./" + Path, Parsed.Words, ExitStatus)) {
            // The nested shell that Execute starts reports the load's failure (EFI_UNSUPPORTED
            // for a file that is no image) as the command's status, without the error bit.
            Event["problem"] = "cannot start " + sim::LogText(Path);
            Event["exit_status"] = sim::kCannotStartStatus;
            Result = 0;
            *pKnown = true;
            *pStatus = sim::kCannotStartStatus;
        } else {
            Event["exit_status"] = ExitStatus;
            Result = 0;
            *pKnown = true;
            *pStatus = ExitStatus;
        }
    } else {
        Event["problem"] = sim::LogText(Parsed.Problem);
    }
    if (Interface == "environment2") {
        // The older interface's Execute reports neither the command's status nor a failure.
        Result = 0;
        *pKnown = false;
        *pStatus = 0;
    } else if (Interface != "protocol" && Interface != "none") {
        Event["problem"] = "unknown shell_interface " + Interface;
        Result = 1;
    }
    Event["result"] = Result;
    sim::LogEvent(Event);
    return Result;
}

bool PlatformIsProgramFile(const char* pFileName) {
    std::string Path;
    return !sim::FindInCurrentDirectory(pFileName, Path) || sim::HostProgramStarts("./" + Path);
}

int PlatformRunShellCommand(const char* pCommandLine) {
    bool Known = false;
    uint64_t Status = 0;
    return PlatformRunShellCommandStatus(pCommandLine, &Known, &Status);
}

bool PlatformSetShellVariable(const char* pName, const char* pValue) {
    // Recorded in the machine's log and kept in the machine's "shell_variables" (an empty value
    // removes the variable), where a test or a later step of a dry run finds it.
    nlohmann::json& Machine = sim::SessionMachine();
    sim::LogEvent({{"event", "shell_variable"}, {"name", pName}, {"value", pValue}});
    if (pValue[0] == '\0') {
        if (Machine.contains("shell_variables")) {
            Machine["shell_variables"].erase(pName);
        }
    } else {
        Machine["shell_variables"][pName] = pValue;
    }
    return true;
}
