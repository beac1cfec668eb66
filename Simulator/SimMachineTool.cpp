// simmachine: prepares and shows descriptions of simulated machines.
//
//   simmachine default                      print the built-in machine's description
//   simmachine uefi-desktop                 print the built-in UEFI-only desktop's description
//                                           (MACHINE below may also be default or uefi-desktop)
//   simmachine legacy-image MACHINE OUT     write the 128 KiB legacy BIOS area (0xE0000-0xFFFFF)
//                                           of MACHINE to OUT; bytes it does not set are 0xFF
//   simmachine show MACHINE                 print the firmware's state (passwords, retry count,
//                                           communication buffer, TPM, PAP and Computrace state,
//                                           ME GPIO, every setting by name, injected faults) and
//                                           the last exit status; a malformed "firmware" section
//                                           is reported
//   simmachine password-hash TEXT           print the 12-byte hash the firmware keeps for TEXT
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <nlohmann/json.hpp>

#include "Double/SettingsImage.h"
#include "Simulator/FirmwareDouble.h"
#include "Simulator/Machine.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: simmachine default\n"
                         "       simmachine uefi-desktop\n"
                         "       simmachine legacy-image MACHINE.json OUT.bin\n"
                         "       simmachine show MACHINE.json\n"
                         "       simmachine password-hash TEXT\n");
    return 2;
}

nlohmann::json Load(const std::string& Path) {
    if (Path == "uefi-desktop") {
        return sim::UefiDesktopDescription();
    }
    return Path == "-" || Path == "default" ? sim::DefaultMachineDescription()
                                            : sim::LoadMachineFile(Path);
}

int LegacyImage(const std::string& MachinePath, const std::string& OutPath) {
    const sim::MemoryImage Image = sim::BuildMemoryImage(Load(MachinePath));
    std::string Bytes(sim::kLegacySize, '\xFF');
    Image.Read(sim::kLegacyBase, Bytes.data(), Bytes.size());
    std::ofstream Out(OutPath, std::ios::binary | std::ios::trunc);
    Out.write(Bytes.data(), (std::streamsize)Bytes.size());
    if (!Out) {
        std::fprintf(stderr, "simmachine: cannot write %s\n", OutPath.c_str());
        return 1;
    }
    return 0;
}

std::string PasswordLine(uint8_t Installed, const uint8_t* pHash) {
    return Installed ? "installed, hash " + sim::HexBytes(pHash, DOUBLE_HASH_SIZE) : "none";
}

int Show(const std::string& MachinePath) {
    const nlohmann::json Machine = Load(MachinePath);
    DoubleState State;
    std::string Error;
    if (!sim::FirmwareStateFromJson(Machine.value("firmware", nlohmann::json()), State, Error)) {
        std::fprintf(stderr, "simmachine: %s\n", Error.c_str());
        return 1;
    }
    std::printf("SMI command port:       0x%04X\n", sim::MachineSmiPort(Machine));
    std::printf("Manufacturing done:     %s\n", State.MfgDone ? "yes" : "no");
    std::printf("Administrator password: %s\n",
                PasswordLine(State.AdminInstalled, State.AdminHash).c_str());
    std::printf("Power-on password:      %s\n",
                PasswordLine(State.PowerOnInstalled, State.PowerOnHash).c_str());
    const bool Locked = (State.AdminInstalled || State.PowerOnInstalled) && State.RetryLimit != 0 &&
                        State.RetryCount >= State.RetryLimit;
    std::printf("Wrong passwords:        %u of %u%s\n", State.RetryCount, State.RetryLimit,
                State.RetryLimit == 0 ? " (no limit)"
                : Locked              ? " (locked)"
                                      : "");
    if (State.CommBufferGrant) {
        std::printf("Communication buffer:   0x%X bytes at 0x%08X, descriptor at 0x%08X, %s\n",
                    State.CommBufferSize, State.CommBufferAddress, State.CommDescriptorAddress,
                    State.CommBufferLocked ? "locked" : "free");
    } else {
        std::printf("Communication buffer:   none lent (max size reported 0x%X)\n",
                    State.CommBufferMaxSize);
    }
    std::printf("Machine kind:           %s\n", State.Workstation ? "workstation" : "desktop");
    std::printf("TPM mode:               %s (last code %u)\n",
                sim::TpmModeName(State.TpmMode).c_str(), State.TpmCode);
    std::printf("PAP mode:               %s\n", State.PapNormal ? "normal" : "custom");
    std::printf("Computrace:             %s, message %s%s\n",
                State.ComputraceHidden ? "hidden" : "visible",
                State.ComputraceMessage ? "shown" : "off",
                State.ComputraceDisabled ? ", disabled permanently" : "");
    if (State.MeGpioPresent) {
        std::printf("ME control GPIO:        %u\n", State.MeGpioValue);
    } else {
        std::printf("ME control GPIO:        none\n");
    }
    std::printf("Boot agent variable:    %s\n", State.BootAgentVariable ? "present" : "missing");
    std::printf("Settings image:         %u bytes (seed 0x%08X)\n", DoubleImageSize(&State),
                State.ImageSeed);
    std::printf("Settings:               %u\n", State.SettingCount);
    for (uint32_t I = 0; I < State.SettingCount && I < DOUBLE_MAX_SETTINGS; I++) {
        const DoubleSetting& S = State.Settings[I];
        const std::string Name = sim::SettingName(S.Item);
        char Item[64];
        std::snprintf(Item, sizeof Item, "%s (0x%02X)", Name.c_str(), S.Item);
        // Value codes in decimal, boot device codes and masks in hex.
        const DoubleSettingDef* pDef = DoubleFindSettingDef(S.Item);
        const char* pFormat = pDef != nullptr && pDef->Kind == DOUBLE_KIND_CODES ? "%u" : "0x%X";
        char Value[16], Default[16];
        std::snprintf(Value, sizeof Value, pFormat, S.Value);
        std::snprintf(Default, sizeof Default, pFormat, S.DefaultValue);
        std::printf("  %-26s = %s (%s)", Item, Value,
                    sim::SettingValueText(S.Item, S.Value).c_str());
        if (S.Value != S.DefaultValue) {
            std::printf(", default %s (%s)", Default,
                        sim::SettingValueText(S.Item, S.DefaultValue).c_str());
        }
        std::printf("\n");
    }
    std::printf("Injected faults:        %u\n", State.InjectionCount);
    for (uint32_t I = 0; I < State.InjectionCount; I++) {
        const DoubleInjection& E = State.Injections[I];
        std::string Match;
        char Part[48];
        const struct {
            uint32_t Flag;
            const char* pName;
            uint32_t Value;
        } Fields[] = {{DOUBLE_INJECT_MATCH_EAX, "EAX", E.Eax},
                      {DOUBLE_INJECT_MATCH_EBX, "EBX", E.Ebx},
                      {DOUBLE_INJECT_MATCH_ECX, "ECX", E.Ecx}};
        for (const auto& F : Fields) {
            if (E.Flags & F.Flag) {
                std::snprintf(Part, sizeof Part, "%s%s 0x%X", Match.empty() ? "" : " ", F.pName,
                              F.Value);
                Match += Part;
            }
        }
        std::snprintf(Part, sizeof Part, "status 0x%08X", E.Status);
        const std::string Times = (E.Flags & DOUBLE_INJECT_ALWAYS)
                                      ? "always"
                                      : "next " + std::to_string(E.Remaining) + " request(s)";
        std::printf("  %s: %s, %s\n", Match.empty() ? "every request" : Match.c_str(),
                    (E.Flags & DOUBLE_INJECT_NO_ANSWER) ? "no answer" : Part, Times.c_str());
    }
    if (Machine.contains("lasterror")) {
        const nlohmann::json& Status = Machine["lasterror"];
        std::printf("Last exit status:       %s\n",
                    Status.is_string() ? Status.get<std::string>().c_str() : Status.dump().c_str());
    }
    return 0;
}

int PasswordHash(const std::string& Text) {
    uint8_t Hash[DOUBLE_HASH_SIZE];
    if (!sim::HashPasswordText(Text, Hash)) {
        std::fprintf(stderr, "simmachine: a password has at most 64 characters\n");
        return 1;
    }
    std::printf("%s\n", sim::HexBytes(Hash, sizeof Hash).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 2 && std::strcmp(argv[1], "default") == 0) {
            std::printf("%s\n", sim::DefaultMachineDescription().dump(2).c_str());
            return 0;
        }
        if (argc == 2 && std::strcmp(argv[1], "uefi-desktop") == 0) {
            std::printf("%s\n", sim::UefiDesktopDescription().dump(2).c_str());
            return 0;
        }
        if (argc == 4 && std::strcmp(argv[1], "legacy-image") == 0) {
            return LegacyImage(argv[2], argv[3]);
        }
        if (argc == 3 && std::strcmp(argv[1], "show") == 0) {
            return Show(argv[2]);
        }
        if (argc == 3 && std::strcmp(argv[1], "password-hash") == 0) {
            return PasswordHash(argv[2]);
        }
    } catch (const std::exception& E) {
        std::fprintf(stderr, "simmachine: %s\n", E.what());
        return 1;
    }
    return Usage();
}
