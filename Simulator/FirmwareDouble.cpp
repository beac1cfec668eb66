// The firmware's SMI handlers on the simulated machine: the double's core, with its state loaded
// from the machine file at the first SMI and stored back after every request (the session saves
// the file at exit), and every request logged as one "smi" event.
#include "Simulator/FirmwareDouble.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>

#include "Platform/Platform.h"
#include "Simulator/Session.h"

using nlohmann::json;

namespace sim {

namespace {

[[noreturn]] void Fail(const std::string& Message) {
    throw std::runtime_error(Message);
}

std::string Hex(uint32_t Value, int Digits) {
    char Buffer[16];
    std::snprintf(Buffer, sizeof Buffer, "0x%0*X", Digits, Value);
    return Buffer;
}

void RefuseUnknownKeys(const json& Object, const std::string& Where,
                       std::initializer_list<const char*> Known) {
    if (!Object.is_object()) {
        Fail((Where.empty() ? std::string("the section") : Where) + " must be an object");
    }
    for (const auto& Item : Object.items()) {
        bool Found = false;
        for (const char* pKey : Known) {
            Found = Found || Item.key() == pKey;
        }
        if (!Found) {
            Fail((Where.empty() ? std::string() : Where + ": ") + "unknown key \"" + Item.key() +
                 "\"");
        }
    }
}

uint32_t Number32(const json& Value, const std::string& What) {
    if (Value.is_number_integer()) {
        const int64_t Number =
            Value.is_number_unsigned() ? (int64_t)Value.get<uint64_t>() : Value.get<int64_t>();
        if (Number >= 0 && Number <= 0xFFFFFFFFll) {
            return (uint32_t)Number;
        }
    } else if (Value.is_string()) {
        const std::string Text = Value.get<std::string>();
        char* pEnd = nullptr;
        errno = 0;
        const unsigned long long Number = std::strtoull(Text.c_str(), &pEnd, 0);
        if (!Text.empty() && Text[0] != '-' && *pEnd == '\0' && errno == 0 &&
            Number <= 0xFFFFFFFFu) {
            return (uint32_t)Number;
        }
    }
    Fail(What + " must be a number from 0 to 0xFFFFFFFF, not " + Value.dump());
}

bool Boolean(const json& Value, const std::string& What) {
    if (!Value.is_boolean()) {
        Fail(What + " must be true or false, not " + Value.dump());
    }
    return Value.get<bool>();
}

// Reads an optional password (hash or plain text) into Installed/Hash.
void ReadPassword(const json& Section, const std::string& Name, uint8_t& Installed,
                  uint8_t* pHash) {
    const std::string HashKey = Name + "_password_hash";
    const std::string TextKey = Name + "_password";
    const bool HasHash = Section.contains(HashKey) && !Section[HashKey].is_null();
    const bool HasText = Section.contains(TextKey) && !Section[TextKey].is_null();
    Installed = 0;
    std::memset(pHash, 0, DOUBLE_HASH_SIZE);
    if (HasHash && HasText) {
        Fail("give either " + HashKey + " or " + TextKey + ", not both");
    }
    if (HasText) {
        const json& Text = Section[TextKey];
        if (!Text.is_string() || !HashPasswordText(Text.get<std::string>(), pHash)) {
            Fail(TextKey + " must be a text of at most 64 characters without NUL");
        }
        Installed = 1;
    } else if (HasHash) {
        const json& Hex = Section[HashKey];
        const std::string Digits = Hex.is_string() ? Hex.get<std::string>() : std::string();
        bool Valid = Digits.size() == 2 * DOUBLE_HASH_SIZE;
        for (size_t I = 0; Valid && I < DOUBLE_HASH_SIZE; I++) {
            Valid = std::isxdigit((unsigned char)Digits[2 * I]) &&
                    std::isxdigit((unsigned char)Digits[2 * I + 1]);
            if (Valid) {
                pHash[I] = (uint8_t)std::strtoul(Digits.substr(2 * I, 2).c_str(), nullptr, 16);
            }
        }
        if (!Valid) {
            Fail(HashKey + " must be null or 24 hex digits, not " + Hex.dump());
        }
        bool AllZero = true;
        for (size_t I = 0; I < DOUBLE_HASH_SIZE; I++) {
            AllZero = AllZero && pHash[I] == 0;
        }
        if (AllZero) {
            Fail(HashKey + " is all zero, which clears a password: write null for none");
        }
        Installed = 1;
    }
}

void ReadSettings(const json& List, DoubleState& State) {
    if (!List.is_array()) {
        Fail("settings must be a list");
    }
    if (List.size() > DOUBLE_MAX_SETTINGS) {
        Fail("settings: at most " + std::to_string(DOUBLE_MAX_SETTINGS) + " items");
    }
    std::set<std::pair<uint32_t, uint32_t>> Seen;
    for (size_t I = 0; I < List.size(); I++) {
        const std::string Where = "settings[" + std::to_string(I) + "]";
        const json& Item = List[I];
        RefuseUnknownKeys(Item, Where, {"function", "item", "value", "default"});
        for (const char* pKey : {"function", "item", "value", "default"}) {
            if (!Item.contains(pKey)) {
                Fail(Where + " needs \"" + pKey + "\"");
            }
        }
        DoubleSetting& S = State.Settings[I];
        S.Function = Number32(Item["function"], Where + ".function");
        S.Item = Number32(Item["item"], Where + ".item");
        S.Value = Number32(Item["value"], Where + ".value");
        S.DefaultValue = Number32(Item["default"], Where + ".default");
        if (!Seen.insert({S.Function, S.Item}).second) {
            Fail(Where + " repeats function " + Hex(S.Function, 8) + " item " + Hex(S.Item, 2));
        }
    }
    State.SettingCount = (uint32_t)List.size();
}

void ReadInjections(const json& List, DoubleState& State) {
    if (!List.is_array()) {
        Fail("inject must be a list");
    }
    if (List.size() > DOUBLE_MAX_INJECTIONS) {
        Fail("inject: at most " + std::to_string(DOUBLE_MAX_INJECTIONS) + " entries");
    }
    for (size_t I = 0; I < List.size(); I++) {
        const std::string Where = "inject[" + std::to_string(I) + "]";
        const json& Entry = List[I];
        RefuseUnknownKeys(Entry, Where, {"eax", "ebx", "ecx", "status", "no_answer", "times"});
        DoubleInjection& E = State.Injections[I];
        const struct {
            const char* pKey;
            uint32_t Flag;
            uint32_t* pValue;
        } Matches[] = {{"eax", DOUBLE_INJECT_MATCH_EAX, &E.Eax},
                       {"ebx", DOUBLE_INJECT_MATCH_EBX, &E.Ebx},
                       {"ecx", DOUBLE_INJECT_MATCH_ECX, &E.Ecx}};
        for (const auto& M : Matches) {
            if (Entry.contains(M.pKey) && !Entry[M.pKey].is_null()) {
                *M.pValue = Number32(Entry[M.pKey], Where + "." + M.pKey);
                E.Flags |= M.Flag;
            }
        }
        const bool NoAnswer =
            Entry.contains("no_answer") && Boolean(Entry["no_answer"], Where + ".no_answer");
        const bool HasStatus = Entry.contains("status") && !Entry["status"].is_null();
        if (NoAnswer == HasStatus) {
            Fail(Where + " needs either \"status\" or \"no_answer\": true");
        }
        if (NoAnswer) {
            E.Flags |= DOUBLE_INJECT_NO_ANSWER;
        } else {
            E.Status = Number32(Entry["status"], Where + ".status");
        }
        if (Entry.contains("times") && !Entry["times"].is_null()) {
            E.Remaining = Number32(Entry["times"], Where + ".times");
        } else {
            E.Flags |= DOUBLE_INJECT_ALWAYS;
        }
    }
    State.InjectionCount = (uint32_t)List.size();
}

void ReadSection(const json& Section, DoubleState& State) {
    DoubleInitState(&State);
    if (Section.is_null()) {
        return;
    }
    RefuseUnknownKeys(Section, "",
                      {"mfg_done", "admin_password_hash", "power_on_password_hash",
                       "admin_password", "power_on_password", "retry_count", "retry_limit",
                       "comm_buffer", "settings", "inject"});
    if (Section.contains("mfg_done")) {
        State.MfgDone = Boolean(Section["mfg_done"], "mfg_done") ? 1 : 0;
    }
    ReadPassword(Section, "admin", State.AdminInstalled, State.AdminHash);
    ReadPassword(Section, "power_on", State.PowerOnInstalled, State.PowerOnHash);
    if (Section.contains("retry_count")) {
        State.RetryCount = Number32(Section["retry_count"], "retry_count");
    }
    if (Section.contains("retry_limit")) {
        State.RetryLimit = Number32(Section["retry_limit"], "retry_limit");
    }
    if (Section.contains("comm_buffer")) {
        const json& Buffer = Section["comm_buffer"];
        RefuseUnknownKeys(Buffer, "comm_buffer", {"max_size"});
        if (Buffer.contains("max_size")) {
            State.CommBufferMaxSize = Number32(Buffer["max_size"], "comm_buffer.max_size");
        }
    }
    if (Section.contains("settings")) {
        ReadSettings(Section["settings"], State);
    }
    if (Section.contains("inject")) {
        ReadInjections(Section["inject"], State);
    }
}

json PasswordHashJson(uint8_t Installed, const uint8_t* pHash) {
    return Installed ? json(HexBytes(pHash, DOUBLE_HASH_SIZE)) : json(nullptr);
}

// Whether the program's memory can be read for the log; the same rule as the handlers'.
bool Readable(uint32_t Address, uint32_t Length) {
    return Address != 0 && Length != 0 && Length - 1 <= 0xFFFFFFFFu - Address &&
           DoubleBufferAccessible(Address, Length, false);
}

std::string MemoryHex(uint32_t Address, uint32_t Length) {
    return HexBytes(reinterpret_cast<const uint8_t*>((uintptr_t)Address), Length);
}

} // namespace

bool FirmwareStateFromJson(const json& Section, DoubleState& State, std::string& Error) {
    try {
        ReadSection(Section, State);
        return true;
    } catch (const std::exception& E) {
        Error = std::string("machine description: firmware: ") + E.what();
        DoubleInitState(&State);
        return false;
    }
}

json FirmwareStateToJson(const DoubleState& State) {
    json Settings = json::array();
    for (uint32_t I = 0; I < State.SettingCount && I < DOUBLE_MAX_SETTINGS; I++) {
        const DoubleSetting& S = State.Settings[I];
        Settings.push_back({{"function", Hex(S.Function, 8)},
                            {"item", Hex(S.Item, 2)},
                            {"value", Hex(S.Value, 1)},
                            {"default", Hex(S.DefaultValue, 1)}});
    }
    json Inject = json::array();
    for (uint32_t I = 0; I < State.InjectionCount && I < DOUBLE_MAX_INJECTIONS; I++) {
        const DoubleInjection& E = State.Injections[I];
        json Entry = json::object();
        if (E.Flags & DOUBLE_INJECT_MATCH_EAX) {
            Entry["eax"] = Hex(E.Eax, 8);
        }
        if (E.Flags & DOUBLE_INJECT_MATCH_EBX) {
            Entry["ebx"] = Hex(E.Ebx, 1);
        }
        if (E.Flags & DOUBLE_INJECT_MATCH_ECX) {
            Entry["ecx"] = Hex(E.Ecx, 1);
        }
        if (E.Flags & DOUBLE_INJECT_NO_ANSWER) {
            Entry["no_answer"] = true;
        } else {
            Entry["status"] = Hex(E.Status, 8);
        }
        if (!(E.Flags & DOUBLE_INJECT_ALWAYS)) {
            Entry["times"] = E.Remaining;
        }
        Inject.push_back(Entry);
    }
    return {{"mfg_done", State.MfgDone != 0},
            {"admin_password_hash", PasswordHashJson(State.AdminInstalled, State.AdminHash)},
            {"power_on_password_hash", PasswordHashJson(State.PowerOnInstalled, State.PowerOnHash)},
            {"retry_count", State.RetryCount},
            {"retry_limit", State.RetryLimit},
            {"comm_buffer", {{"max_size", Hex(State.CommBufferMaxSize, 1)}}},
            {"settings", Settings},
            {"inject", Inject}};
}

bool HashPasswordText(const std::string& Text, uint8_t* pHash) {
    if (Text.size() >= DOUBLE_PASSWORD_BUFFER_SIZE || Text.find('\0') != std::string::npos) {
        return false;
    }
    uint8_t Buffer[DOUBLE_PASSWORD_BUFFER_SIZE] = {};
    std::memcpy(Buffer, Text.data(), Text.size());
    DoublePasswordHash(Buffer, pHash);
    return true;
}

std::string HexBytes(const uint8_t* pBytes, size_t Count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string Text;
    Text.reserve(2 * Count);
    for (size_t I = 0; I < Count; I++) {
        Text += kDigits[pBytes[I] >> 4];
        Text += kDigits[pBytes[I] & 0x0F];
    }
    return Text;
}

uint16_t MachineSmiPort(const json& Machine) {
    if (!Machine.is_object() || !Machine.contains("acpi") || !Machine["acpi"].is_object() ||
        !Machine["acpi"].contains("tables")) {
        return kDefaultSmiPort;
    }
    for (const json& Table : Machine["acpi"]["tables"]) {
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

    json Event = {{"event", "smi"},        {"port", Hex(Port, 4)},  {"value", Hex(Command, 2)},
                  {"request", Info.pName}, {"eax", Hex(In.Eax, 8)}, {"ebx", Hex(In.Ebx, 8)},
                  {"ecx", Hex(In.Ecx, 8)}, {"edx", Hex(In.Edx, 8)}, {"esi", Hex(In.Esi, 8)},
                  {"edi", Hex(In.Edi, 8)}};
    // What the request handed, as it was before the handler ran.
    if (Info.HasHash && Readable(Info.HashAddress, DOUBLE_HASH_SIZE)) {
        Event["hash"] = MemoryHex(Info.HashAddress, DOUBLE_HASH_SIZE);
    }
    if (Readable(Info.InputAddress, Info.InputLength)) {
        Event["input"] = MemoryHex(Info.InputAddress, Info.InputLength);
    }

    DoubleRegisters Out = In;
    DoubleOutcome Outcome = {0, 0};
    if (Port == SmiPort) {
        Outcome = DoubleHandleSmi(&State, Command, &Out);
    }
    if (Outcome.OutputWritten) {
        Event["output"] = MemoryHex(Info.OutputAddress, Info.OutputLength);
    }
    Event["out_eax"] = Hex(Out.Eax, 8);
    Event["out_ebx"] = Hex(Out.Ebx, 8);
    Event["out_ecx"] = Hex(Out.Ecx, 8);
    Event["out_edx"] = Hex(Out.Edx, 8);
    Event["out_esi"] = Hex(Out.Esi, 8);
    Event["out_edi"] = Hex(Out.Edi, 8);
    Event["answered"] = Outcome.Answered != 0;

    pOutput[0] = Out.Eax;
    pOutput[1] = Out.Ebx;
    pOutput[2] = Out.Ecx;
    pOutput[3] = Out.Edx;
    pOutput[4] = Out.Edi;
    pOutput[5] = Out.Esi;
    return Event;
}

} // namespace sim

// The program's memory is this process's memory: a range is usable when /proc/self/maps shows
// it mapped with the needed access from start to end.
bool DoubleBufferAccessible(uint32_t Address, uint32_t Length, bool Writable) {
    FILE* pMaps = std::fopen("/proc/self/maps", "r");
    if (pMaps == nullptr) {
        return false;
    }
    uint64_t Cursor = Address;
    const uint64_t End = (uint64_t)Address + Length;
    char* pLine = nullptr;
    size_t Capacity = 0;
    while (Cursor < End && getline(&pLine, &Capacity, pMaps) != -1) {
        unsigned long long Start = 0, Stop = 0;
        char Access[8] = {};
        if (std::sscanf(pLine, "%llx-%llx %7s", &Start, &Stop, Access) != 3) {
            continue;
        }
        if (Start <= Cursor && Cursor < Stop && Access[0] == 'r' &&
            (!Writable || Access[1] == 'w')) {
            Cursor = Stop; // the lines are in address order: a range may span several
        }
    }
    std::free(pLine);
    std::fclose(pMaps);
    return Cursor >= End;
}

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
