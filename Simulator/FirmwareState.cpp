// The machine file's "firmware" section: the firmware double's state read from it and written
// back to it. FirmwareState.h describes the section.
#include "Simulator/FirmwareState.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>
#include <nlohmann/json.hpp>

#include "Double/SettingsImage.h"

using nlohmann::json;

namespace sim {

namespace {

[[noreturn]] void Fail(const std::string& Message) {
    throw std::runtime_error(Message);
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

DoubleSetting& StoreSetting(DoubleState& State, uint32_t Item, const std::string& Where) {
    for (uint32_t I = 0; I < State.SettingCount; I++) {
        if (State.Settings[I].Item == Item) {
            return State.Settings[I];
        }
    }
    Fail(Where + ": unknown setup item " + HexNumber(Item, 2));
}

uint32_t SettingValue(const json& Value, uint32_t Item, const std::string& What) {
    const uint32_t Number = Number32(Value, What);
    if (!DoubleSettingValueValid(DoubleFindSettingDef(Item), Number)) {
        Fail(What + ": " + HexNumber(Number, 1) + " is not a value of item " + HexNumber(Item, 2));
    }
    return Number;
}

// The list form [{"function", "item", "value", "default"}] or the object form
// {"0x11": 1, "0x05": {"value": 1, "default": 2}}; items not named keep their defaults.
void ReadSettings(const json& Settings, DoubleState& State) {
    std::set<uint32_t> Seen;
    if (Settings.is_array()) {
        for (size_t I = 0; I < Settings.size(); I++) {
            const std::string Where = "settings[" + std::to_string(I) + "]";
            const json& Entry = Settings[I];
            RefuseUnknownKeys(Entry, Where, {"function", "item", "value", "default"});
            for (const char* pKey : {"function", "item", "value", "default"}) {
                if (!Entry.contains(pKey)) {
                    Fail(Where + " needs \"" + pKey + "\"");
                }
            }
            const uint32_t Function = Number32(Entry["function"], Where + ".function");
            const uint32_t Item = Number32(Entry["item"], Where + ".item");
            if (Function != DOUBLE_FUNCTION_SETUP) {
                Fail(Where + ": the store keeps items of function " +
                     HexNumber(DOUBLE_FUNCTION_SETUP, 8) + " only");
            }
            DoubleSetting& S = StoreSetting(State, Item, Where);
            if (!Seen.insert(Item).second) {
                Fail(Where + " repeats function " + HexNumber(Function, 8) + " item " +
                     HexNumber(Item, 2));
            }
            S.Value = SettingValue(Entry["value"], Item, Where + ".value");
            S.DefaultValue = SettingValue(Entry["default"], Item, Where + ".default");
        }
        return;
    }
    if (!Settings.is_object()) {
        Fail("settings must be an object (item: value) or a list");
    }
    for (const auto& Entry : Settings.items()) {
        const std::string Where = "settings." + Entry.key();
        const uint32_t Item = Number32(json(Entry.key()), Where + " (the item)");
        DoubleSetting& S = StoreSetting(State, Item, Where);
        if (!Seen.insert(Item).second) {
            Fail(Where + " names item " + HexNumber(Item, 2) + " again");
        }
        if (Entry.value().is_object()) {
            RefuseUnknownKeys(Entry.value(), Where, {"value", "default"});
            if (Entry.value().contains("default")) {
                S.DefaultValue = SettingValue(Entry.value()["default"], Item, Where + ".default");
            }
            if (Entry.value().contains("value")) {
                S.Value = SettingValue(Entry.value()["value"], Item, Where + ".value");
            }
        } else {
            S.Value = SettingValue(Entry.value(), Item, Where);
        }
    }
}

struct TpmName {
    const char* pName;
    uint8_t Mode;
    uint8_t Code; // the code a machine in this mode holds unless "tpm_code" says otherwise
};

const TpmName kTpmNames[] = {{"ftpm2.0", DOUBLE_TPM_FTPM20, 6},
                             {"dtpm1.2", DOUBLE_TPM_DTPM12, 2},
                             {"dtpm2.0", DOUBLE_TPM_DTPM20, 8},
                             {"none", DOUBLE_TPM_NONE, 0}};

void ReadTpm(const json& Section, DoubleState& State) {
    if (Section.contains("tpm_mode")) {
        const json& Mode = Section["tpm_mode"];
        const TpmName* pFound = nullptr;
        for (const TpmName& Name : kTpmNames) {
            if (Mode.is_string() && Mode.get<std::string>() == Name.pName) {
                pFound = &Name;
            }
        }
        if (pFound == nullptr) {
            Fail("tpm_mode must be \"ftpm2.0\", \"dtpm1.2\", \"dtpm2.0\" or \"none\", not " +
                 Mode.dump());
        }
        State.TpmMode = pFound->Mode;
        State.TpmCode = pFound->Code;
    }
    if (Section.contains("tpm_code")) {
        const uint32_t Code = Number32(Section["tpm_code"], "tpm_code");
        if (!(Code <= 2 || Code == 4 || Code == 6 || Code == 7 || Code == 8)) {
            Fail("tpm_code must be 0, 1, 2, 4, 6, 7 or 8, not " + std::to_string(Code));
        }
        State.TpmCode = (uint8_t)Code;
    }
}

void ReadCommBuffer(const json& Buffer, DoubleState& State) {
    RefuseUnknownKeys(Buffer, "comm_buffer",
                      {"max_size", "grant", "address", "size", "descriptor", "locked"});
    if (Buffer.contains("max_size")) {
        State.CommBufferMaxSize = Number32(Buffer["max_size"], "comm_buffer.max_size");
    }
    if (Buffer.contains("grant")) {
        State.CommBufferGrant = Boolean(Buffer["grant"], "comm_buffer.grant") ? 1 : 0;
    }
    if (Buffer.contains("locked")) {
        State.CommBufferLocked = Boolean(Buffer["locked"], "comm_buffer.locked") ? 1 : 0;
    }
    if (Buffer.contains("address")) {
        State.CommBufferAddress = Number32(Buffer["address"], "comm_buffer.address");
    }
    if (Buffer.contains("size")) {
        State.CommBufferSize = Number32(Buffer["size"], "comm_buffer.size");
    }
    if (Buffer.contains("descriptor")) {
        State.CommDescriptorAddress = Number32(Buffer["descriptor"], "comm_buffer.descriptor");
    }
    // No descriptor address (absent or 0, as a saved machine without a buffer has it): the
    // descriptor lies just below the buffer.
    if (State.CommDescriptorAddress == 0 && State.CommBufferAddress >= 16) {
        State.CommDescriptorAddress = State.CommBufferAddress - 16; // just below the buffer
    }
    if (!State.CommBufferGrant) {
        return;
    }
    const uint64_t Buffer0 = State.CommBufferAddress;
    const uint64_t Buffer1 = Buffer0 + State.CommBufferSize;
    const uint64_t Descriptor0 = State.CommDescriptorAddress;
    const uint64_t Descriptor1 = Descriptor0 + 16;
    if (Buffer0 == 0 || State.CommBufferSize == 0 || Descriptor0 == 0) {
        Fail("comm_buffer: a granted buffer needs a nonzero address, size and descriptor");
    }
    if (Buffer1 > 0x100000000ULL || Descriptor1 > 0x100000000ULL) {
        Fail("comm_buffer: the buffer and its descriptor lie below 4 GiB");
    }
    if (Descriptor0 < Buffer1 && Buffer0 < Descriptor1) {
        Fail("comm_buffer: the descriptor overlaps the buffer");
    }
}

void ReadImage(const json& Image, DoubleState& State) {
    RefuseUnknownKeys(Image, "image", {"size", "padding", "seed"});
    if (Image.contains("size")) {
        State.ImageSize = Number32(Image["size"], "image.size");
    }
    if (Image.contains("padding")) {
        State.ImagePadding = Number32(Image["padding"], "image.padding");
    }
    if (Image.contains("seed")) {
        State.ImageSeed = Number32(Image["seed"], "image.seed");
    }
    if (State.ImageSize != 0 && State.ImagePadding != 0) {
        Fail("image: give its size or its padding, not both");
    }
    DoubleState Natural = State;
    Natural.ImageSize = 0;
    Natural.ImagePadding = 0;
    const uint32_t Base = DoubleImageSize(&Natural);
    if (State.ImageSize != 0 && State.ImageSize < Base) {
        Fail("image.size must be at least " + std::to_string(Base) + " bytes");
    }
    if (State.ImagePadding > 0xFFFFFFFFu - Base) {
        Fail("image.padding is too large");
    }
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
        RefuseUnknownKeys(Entry, Where,
                          {"eax", "ebx", "ecx", "status", "no_answer", "answer_ecx", "times"});
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
        // "answer_ecx": the request succeeds with this ECX (answers a firmware should not give).
        const bool HasAnswer = Entry.contains("answer_ecx") && !Entry["answer_ecx"].is_null();
        if ((int)NoAnswer + (int)HasStatus + (int)HasAnswer != 1) {
            Fail(Where + " needs one of \"status\", \"answer_ecx\" or \"no_answer\": true");
        }
        if (NoAnswer) {
            E.Flags |= DOUBLE_INJECT_NO_ANSWER;
        } else if (HasAnswer) {
            E.Flags |= DOUBLE_INJECT_ANSWER_ECX;
            E.Status = Number32(Entry["answer_ecx"], Where + ".answer_ecx");
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
                      {"mfg_done",
                       "admin_password_hash",
                       "power_on_password_hash",
                       "admin_password",
                       "power_on_password",
                       "retry_count",
                       "retry_limit",
                       "comm_buffer",
                       "settings",
                       "tpm_mode",
                       "tpm_code",
                       "pap_mode",
                       "computrace_hidden",
                       "computrace_message",
                       "computrace_disabled",
                       "me_gpio",
                       "boot_agent_variable",
                       "workstation",
                       "image",
                       "inject"});
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
        ReadCommBuffer(Section["comm_buffer"], State);
    }
    if (Section.contains("settings")) {
        ReadSettings(Section["settings"], State);
    }
    ReadTpm(Section, State);
    if (Section.contains("pap_mode")) {
        const json& Mode = Section["pap_mode"];
        if (Mode != "custom" && Mode != "normal") {
            Fail("pap_mode must be \"custom\" or \"normal\", not " + Mode.dump());
        }
        State.PapNormal = Mode == "normal" ? 1 : 0;
    }
    const struct {
        const char* pKey;
        uint8_t* pFlag;
    } Flags[] = {{"computrace_hidden", &State.ComputraceHidden},
                 {"computrace_message", &State.ComputraceMessage},
                 {"computrace_disabled", &State.ComputraceDisabled},
                 {"boot_agent_variable", &State.BootAgentVariable},
                 {"workstation", &State.Workstation}};
    for (const auto& F : Flags) {
        if (Section.contains(F.pKey)) {
            *F.pFlag = Boolean(Section[F.pKey], F.pKey) ? 1 : 0;
        }
    }
    if (Section.contains("me_gpio")) {
        const json& Gpio = Section["me_gpio"];
        RefuseUnknownKeys(Gpio, "me_gpio", {"present", "value"});
        if (Gpio.contains("present")) {
            State.MeGpioPresent = Boolean(Gpio["present"], "me_gpio.present") ? 1 : 0;
        }
        if (Gpio.contains("value")) {
            const uint32_t Value = Number32(Gpio["value"], "me_gpio.value");
            if (Value > 1) {
                Fail("me_gpio.value must be 0 or 1");
            }
            State.MeGpioValue = (uint8_t)Value;
        }
    }
    if (Section.contains("image")) {
        ReadImage(Section["image"], State);
    }
    if (Section.contains("inject")) {
        ReadInjections(Section["inject"], State);
    }
}

json PasswordHashJson(uint8_t Installed, const uint8_t* pHash) {
    return Installed ? json(HexBytes(pHash, DOUBLE_HASH_SIZE)) : json(nullptr);
}

} // namespace

std::string HexNumber(uint32_t Value, int Digits) {
    char Buffer[16];
    std::snprintf(Buffer, sizeof Buffer, "0x%0*X", Digits, Value);
    return Buffer;
}

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
    json Settings = json::object();
    for (uint32_t I = 0; I < State.SettingCount && I < DOUBLE_MAX_SETTINGS; I++) {
        const DoubleSetting& S = State.Settings[I];
        const DoubleSettingDef* pDef = DoubleFindSettingDef(S.Item);
        if (pDef != nullptr && pDef->DefaultValue == S.DefaultValue) {
            Settings[HexNumber(S.Item, 2)] = S.Value;
        } else {
            Settings[HexNumber(S.Item, 2)] = {{"value", S.Value}, {"default", S.DefaultValue}};
        }
    }
    std::string TpmMode = "none";
    for (const TpmName& Name : kTpmNames) {
        if (Name.Mode == State.TpmMode) {
            TpmMode = Name.pName;
        }
    }
    json Inject = json::array();
    for (uint32_t I = 0; I < State.InjectionCount && I < DOUBLE_MAX_INJECTIONS; I++) {
        const DoubleInjection& E = State.Injections[I];
        json Entry = json::object();
        if (E.Flags & DOUBLE_INJECT_MATCH_EAX) {
            Entry["eax"] = HexNumber(E.Eax, 8);
        }
        if (E.Flags & DOUBLE_INJECT_MATCH_EBX) {
            Entry["ebx"] = HexNumber(E.Ebx, 1);
        }
        if (E.Flags & DOUBLE_INJECT_MATCH_ECX) {
            Entry["ecx"] = HexNumber(E.Ecx, 1);
        }
        if (E.Flags & DOUBLE_INJECT_NO_ANSWER) {
            Entry["no_answer"] = true;
        } else if (E.Flags & DOUBLE_INJECT_ANSWER_ECX) {
            Entry["answer_ecx"] = HexNumber(E.Status, 1);
        } else {
            Entry["status"] = HexNumber(E.Status, 8);
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
            {"comm_buffer",
             {{"max_size", HexNumber(State.CommBufferMaxSize, 1)},
              {"grant", State.CommBufferGrant != 0},
              {"address", HexNumber(State.CommBufferAddress, 8)},
              {"size", HexNumber(State.CommBufferSize, 1)},
              {"descriptor", HexNumber(State.CommDescriptorAddress, 8)},
              {"locked", State.CommBufferLocked != 0}}},
            {"settings", Settings},
            {"tpm_mode", TpmMode},
            {"tpm_code", State.TpmCode},
            {"pap_mode", State.PapNormal ? "normal" : "custom"},
            {"computrace_hidden", State.ComputraceHidden != 0},
            {"computrace_message", State.ComputraceMessage != 0},
            {"computrace_disabled", State.ComputraceDisabled != 0},
            {"me_gpio", {{"present", State.MeGpioPresent != 0}, {"value", State.MeGpioValue}}},
            {"boot_agent_variable", State.BootAgentVariable != 0},
            {"workstation", State.Workstation != 0},
            {"image",
             {{"size", HexNumber(State.ImageSize, 1)},
              {"padding", HexNumber(State.ImagePadding, 1)},
              {"seed", HexNumber(State.ImageSeed, 8)}}},
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

std::string TpmModeName(uint8_t Mode) {
    for (const TpmName& Name : kTpmNames) {
        if (Name.Mode == Mode) {
            return Name.pName;
        }
    }
    return "none";
}

} // namespace sim
