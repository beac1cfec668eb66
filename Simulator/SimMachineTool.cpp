// simmachine: prepares and shows descriptions of simulated machines.
//
//   simmachine default                      print the built-in machine's description
//   simmachine legacy-image MACHINE OUT     write the 128 KiB legacy BIOS area (0xE0000-0xFFFFF)
//                                           of MACHINE to OUT; bytes it does not set are 0xFF
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

#include "Simulator/Machine.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: simmachine default\n"
                         "       simmachine legacy-image MACHINE.json OUT.bin\n");
    return 2;
}

nlohmann::json Load(const std::string& Path) {
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

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 2 && std::strcmp(argv[1], "default") == 0) {
            std::printf("%s\n", sim::DefaultMachineDescription().dump(2).c_str());
            return 0;
        }
        if (argc == 4 && std::strcmp(argv[1], "legacy-image") == 0) {
            return LegacyImage(argv[2], argv[3]);
        }
    } catch (const std::exception& E) {
        std::fprintf(stderr, "simmachine: %s\n", E.what());
        return 1;
    }
    return Usage();
}
