// smmdouble: the host side of the resident firmware double's files.
//
//   smmdouble state OUT [MACHINE]   write the state file of MACHINE's "firmware" section (a new
//                                   machine's without MACHINE) for SmmDouble.efi install/load
//   smmdouble firmware STATE        print the state file as a "firmware" section (JSON)
//   smmdouble log LOG               print the log file's events, one JSON object a line
//   smmdouble region COPY LOG STATE write the log and state files held in a copy of the double's
//                                   memory (from 0x40000) taken when the machine stopped
//
// Exit status 0 on success, 2 for a wrong command line, 1 with a message otherwise.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>

#include "Simulator/FirmwareState.h"
#include "Smm/Host/SmmDoubleFiles.h"

using nlohmann::json;

namespace {

int Usage() {
    std::cerr << "usage: smmdouble state OUT [MACHINE.json] | firmware STATE | log LOG | "
                 "region COPY LOG STATE\n";
    return 2;
}

int Fail(const std::string& Message) {
    std::cerr << "smmdouble: " << Message << "\n";
    return 1;
}

bool ReadFile(const std::string& Name, std::vector<uint8_t>& Bytes, std::string& Error) {
    std::ifstream In(Name, std::ios::binary);
    if (!In) {
        Error = "cannot open " + Name;
        return false;
    }
    Bytes.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    if (In.bad()) {
        Error = "cannot read " + Name;
        return false;
    }
    return true;
}

bool WriteFile(const std::string& Name, const std::vector<uint8_t>& Bytes) {
    std::ofstream Stream(Name, std::ios::binary | std::ios::trunc);
    Stream.write(reinterpret_cast<const char*>(Bytes.data()), (std::streamsize)Bytes.size());
    Stream.close();
    return (bool)Stream;
}

int WriteFromRegion(const std::string& Copy, const std::string& LogName,
                    const std::string& StateName) {
    std::vector<uint8_t> Region, Log, State;
    std::string Error;
    if (!ReadFile(Copy, Region, Error) || !smm::FilesFromRegion(Region, Log, State, Error)) {
        return Fail(Copy + ": " + Error);
    }
    if (!WriteFile(LogName, Log) || !WriteFile(StateName, State)) {
        return Fail("cannot write " + LogName + " or " + StateName);
    }
    return 0;
}

int WriteState(const std::string& Out, const char* pMachine) {
    json Section;
    if (pMachine != nullptr) {
        std::vector<uint8_t> Text;
        std::string Error;
        if (!ReadFile(pMachine, Text, Error)) {
            return Fail(Error);
        }
        const json Machine = json::parse(Text.begin(), Text.end(), nullptr, false);
        if (Machine.is_discarded() || !Machine.is_object()) {
            return Fail(std::string(pMachine) + " is not a JSON object");
        }
        if (Machine.contains("firmware")) {
            Section = Machine["firmware"];
        }
    }
    DoubleState State;
    std::string Error;
    if (!sim::FirmwareStateFromJson(Section, State, Error)) {
        return Fail(Error);
    }
    if (!WriteFile(Out, smm::StateFileBytes(State))) {
        return Fail("cannot write " + Out);
    }
    return 0;
}

int PrintFirmware(const std::string& Name) {
    std::vector<uint8_t> File;
    std::string Error;
    DoubleState State;
    if (!ReadFile(Name, File, Error) || !smm::ParseStateFile(File, State, Error)) {
        return Fail(Name + ": " + Error);
    }
    std::cout << sim::FirmwareStateToJson(State).dump(2) << "\n";
    return 0;
}

int PrintLog(const std::string& Name) {
    std::vector<uint8_t> File;
    std::string Error;
    std::vector<json> Events;
    if (!ReadFile(Name, File, Error) || !smm::ParseLogFile(File, Events, Error)) {
        return Fail(Name + ": " + Error);
    }
    for (const json& Event : Events) {
        std::cout << Event.dump() << "\n";
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> Args(argv + 1, argv + argc);
    if (Args.size() >= 2 && Args.size() <= 3 && Args[0] == "state") {
        return WriteState(Args[1], Args.size() == 3 ? argv[3] : nullptr);
    }
    if (Args.size() == 2 && Args[0] == "firmware") {
        return PrintFirmware(Args[1]);
    }
    if (Args.size() == 2 && Args[0] == "log") {
        return PrintLog(Args[1]);
    }
    if (Args.size() == 4 && Args[0] == "region") {
        return WriteFromRegion(Args[1], Args[2], Args[3]);
    }
    return Usage();
}
