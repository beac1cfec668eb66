// The firmware's SMI handlers on the simulated machine: the double's core, with its state loaded
// from the machine file at the first SMI and stored back after every request (the session saves
// the file at exit), and every request logged as one "smi" event.
#include "Simulator/FirmwareDouble.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "Catalogue/SettingCatalogue.h"
#include "Platform/Platform.h"
#include "Double/Sha256.h"
#include "Simulator/Session.h"

using nlohmann::json;

namespace sim {

namespace {

// Whether the program's memory can be read for the log; the same rule as the handlers'.
bool Readable(uint32_t Address, uint32_t Length) {
    return Address != 0 && Length != 0 && Length - 1 <= 0xFFFFFFFFu - Address &&
           DoubleBufferAccessible(Address, Length, false);
}

std::string MemoryHex(uint32_t Address, uint32_t Length) {
    return HexBytes(reinterpret_cast<const uint8_t*>((uintptr_t)Address), Length);
}

// Buffers up to this length are logged in full; the image requests' buffers, and any longer
// one, by their length and SHA-256.
constexpr uint32_t kLogFullBytes = 4096;

void LogBuffer(json& Event, const char* pKey, const DoubleRequestInfo& Info, uint32_t Address,
               uint32_t Length) {
    const std::string Name = Info.pName;
    const bool Image = Name == "BackupData" || Name == "Restore";
    if (Length <= kLogFullBytes) {
        Event[pKey] = MemoryHex(Address, Length);
    }
    if (Image || Length > kLogFullBytes) {
        uint8_t Digest[SHA256_DIGEST_SIZE];
        Sha256(reinterpret_cast<const uint8_t*>((uintptr_t)Address), Length, Digest);
        Event[std::string(pKey) + "_length"] = Length;
        Event[std::string(pKey) + "_sha256"] = HexBytes(Digest, sizeof Digest);
    }
}

// Whether [Address, Address + Length) lies in the granted communication buffer.
bool InCommBuffer(const DoubleState& State, uint32_t Address, uint32_t Length) {
    const uint64_t Start = State.CommBufferAddress;
    const uint64_t End = Start + State.CommBufferSize;
    return Address >= Start && (uint64_t)Address + Length <= End;
}

} // namespace

uint16_t MachineSmiPort(const json& Machine) {
    if (!Machine.is_object() || !Machine.contains("acpi")) {
        return kDefaultSmiPort;
    }
    // With several sets of tables, the first (the legacy area's) names the port.
    const json& Sets = Machine["acpi"];
    const json& Acpi = Sets.is_array() && !Sets.empty() ? Sets[0] : Sets;
    if (!Acpi.is_object() || !Acpi.contains("tables")) {
        return kDefaultSmiPort;
    }
    for (const json& Table : Acpi["tables"]) {
        if (Table.value("signature", std::string("FACP")) != "FACP" ||
            Table.value("listed_only", false)) {
            continue;
        }
        if (!Table.contains("smi_cmd")) {
            return kDefaultSmiPort;
        }
        return (uint16_t)ParseNumber(Table["smi_cmd"]); // the 16-bit field that programs read
    }
    return kDefaultSmiPort;
}

json RunPortSmi(DoubleState& State, uint16_t SmiPort, const uint32_t* pInput, uint32_t* pOutput) {
    const DoubleRegisters In = {pInput[1], pInput[2], pInput[3], pInput[4], pInput[6], pInput[5]};
    const uint8_t Command = (uint8_t)In.Eax;
    const uint16_t Port = (uint16_t)In.Edx;
    DoubleRequestInfo Info;
    DoubleDescribeRequest(Command, &In, &Info);

    json Event = {{"event", "smi"},
                  {"port", HexNumber(Port, 4)},
                  {"value", HexNumber(Command, 2)},
                  {"request", Info.pName},
                  {"eax", HexNumber(In.Eax, 8)},
                  {"ebx", HexNumber(In.Ebx, 8)},
                  {"ecx", HexNumber(In.Ecx, 8)},
                  {"edx", HexNumber(In.Edx, 8)},
                  {"esi", HexNumber(In.Esi, 8)},
                  {"edi", HexNumber(In.Edi, 8)}};
    // What the request handed, as it was before the handler ran.
    if (Info.HasHash && Readable(Info.HashAddress, DOUBLE_HASH_SIZE)) {
        Event["hash"] = MemoryHex(Info.HashAddress, DOUBLE_HASH_SIZE);
    }
    if (Readable(Info.InputAddress, Info.InputLength)) {
        LogBuffer(Event, "input", Info, Info.InputAddress, Info.InputLength);
    }
    // Whether the request's buffers lay in the locked communication buffer.
    const bool HasBuffer = Info.HasHash || Info.InputLength != 0 || Info.OutputLength != 0;
    if (HasBuffer && Port == SmiPort) {
        Event["in_comm_buffer"] =
            State.CommBufferGrant && State.CommBufferLocked &&
            (!Info.HasHash || InCommBuffer(State, Info.HashAddress, DOUBLE_HASH_SIZE)) &&
            (Info.InputLength == 0 || InCommBuffer(State, Info.InputAddress, Info.InputLength)) &&
            (Info.OutputLength == 0 || InCommBuffer(State, Info.OutputAddress, Info.OutputLength));
    }

    DoubleRegisters Out = In;
    DoubleOutcome Outcome = {0, 0, nullptr};
    if (Port == SmiPort) {
        Outcome = DoubleHandleSmi(&State, Command, &Out);
    }
    if (Outcome.OutputWritten) {
        LogBuffer(Event, "output", Info, Info.OutputAddress, Info.OutputLength);
    }
    if (Outcome.pDetail != nullptr) {
        Event["detail"] = Outcome.pDetail;
    }
    if (Outcome.pViolation != nullptr) {
        Event["violation"] = Outcome.pViolation;
    }
    Event["out_eax"] = HexNumber(Out.Eax, 8);
    Event["out_ebx"] = HexNumber(Out.Ebx, 8);
    Event["out_ecx"] = HexNumber(Out.Ecx, 8);
    Event["out_edx"] = HexNumber(Out.Edx, 8);
    Event["out_esi"] = HexNumber(Out.Esi, 8);
    Event["out_edi"] = HexNumber(Out.Edi, 8);
    Event["answered"] = Outcome.Answered != 0;

    pOutput[0] = Out.Eax;
    pOutput[1] = Out.Ebx;
    pOutput[2] = Out.Ecx;
    pOutput[3] = Out.Edx;
    pOutput[4] = Out.Edi;
    pOutput[5] = Out.Esi;
    return Event;
}

// ---------------------------------------------------------------------------------------------
// Readable names of the store's items, for people (simmachine show): the option words and value
// words of the setting catalogue. What the double takes as valid stays its own (Double/).

namespace {

// A value word of the row, or nullptr.
const char* WordOf(const SettingOption& Row, uint32_t Value) {
    if (Value >= SETTING_VALUE_SLOTS || Row.Values[Value] == nullptr || Row.Values[Value][0] == 0) {
        return nullptr;
    }
    return Row.Values[Value];
}

std::string BootDeviceName(uint32_t Code) {
    for (const BootDevice& Device : BootDeviceTable) {
        if (Device.Code == Code) {
            return Device.Word;
        }
    }
    return "unknown device";
}

} // namespace

// The option words that set the item (without their slash; several: "pcieslot/m2slot"), from
// the setting catalogue; single slots are left to their group.
std::string SettingName(uint32_t Item) {
    std::string Name;
    for (uint32_t Row = 0; Row < SETTING_OPTION_ROWS; Row++) {
        const SettingOption& Option = SettingOptionTable[Row];
        if (Option.Function != SETTING_FUNCTION || Option.Item != Item ||
            Option.Handling == HANDLING_SINGLE_SLOT) {
            continue;
        }
        Name += (Name.empty() ? "" : "/") + std::string(Option.Name + 1);
    }
    return Name.empty() ? "item" : Name;
}

std::string SettingValueText(uint32_t Item, uint32_t Value) {
    const DoubleSettingDef* pDef = DoubleFindSettingDef(Item);
    if (pDef == nullptr || !DoubleSettingValueValid(pDef, Value)) {
        return "invalid";
    }
    if (pDef->Kind == DOUBLE_KIND_BOOT) {
        return BootDeviceName(Value);
    }
    if (pDef->Kind == DOUBLE_KIND_MASK) {
        std::string Bits;
        for (uint32_t Bit = 0; Bit < 16; Bit++) {
            if (Value & (1u << Bit)) {
                Bits += (Bits.empty() ? "bits " : ",") + std::to_string(Bit);
            }
        }
        return Bits.empty() ? "none" : Bits;
    }
    for (uint32_t Row = 0; Row < SETTING_OPTION_ROWS; Row++) {
        const SettingOption& Option = SettingOptionTable[Row];
        if (Option.Function == SETTING_FUNCTION && Option.Item == Item &&
            WordOf(Option, Value) != nullptr) {
            return WordOf(Option, Value);
        }
    }
    return "code " + std::to_string(Value);
}

} // namespace sim

void TriggerPortSmi(const uint32_t* pInput, uint32_t* pOutput) {
    // One state per process: loaded at the first SMI, stored back after each. Without a session
    // (a unit test of the tool) a new machine's firmware answers and nothing is kept.
    static bool Loaded = false;
    static DoubleState State;
    static uint16_t SmiPort = sim::kDefaultSmiPort;
    const bool Session = sim::SessionActive();
    if (!Loaded) {
        DoubleInitState(&State);
        if (Session) {
            json& Machine = sim::SessionMachine();
            std::string Error;
            const json Section = Machine.contains("firmware") ? Machine["firmware"] : json();
            if (!sim::FirmwareStateFromJson(Section, State, Error)) {
                // A broken machine file: stop without touching it, as at start-up.
                std::fflush(stdout);
                std::fprintf(stderr, "fwsim: %s\n", Error.c_str());
                sim::LogEvent({{"event", "error"}, {"message", Error}});
                std::_Exit(125);
            }
            SmiPort = sim::MachineSmiPort(Machine);
        }
        Loaded = true;
    }
    const json Event = sim::RunPortSmi(State, SmiPort, pInput, pOutput);
    if (Session) {
        sim::SessionMachine()["firmware"] = sim::FirmwareStateToJson(State);
        sim::LogEvent(Event);
    }
}
