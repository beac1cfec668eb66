// Discovery of the SMI command port through the ACPI tables in memory.
#include "Applications/Common/FirmwareTables.h"
#include "Applications/Crestune/Crestune.h"

namespace {

void PrintPortFailure(AcpiPortResult Result) {
    if (Result == ACPI_NO_RSDP) {
        printf("Can't find RSDP structure anchor string.\n");
    } else if (Result == ACPI_NO_FADT) {
        printf("Can't find FADT structure anchor string.\n");
    } else if (Result == ACPI_PORT_ZERO) {
        // Port 0 belongs to the DMA controller: a platform without an SMI command port.
        printf("The FADT names no SMI command port.\n");
    }
}

} // namespace

bool GetSmiPortNumber(const PhysMemReader* pMemory, uint16_t* pPort,
                      const ConfigTableLookup* pConfig, bool* pThroughConfigTable) {
    // The legacy BIOS area first: where it holds the tables, they decide.
    AcpiPortResult Result = ACPI_NO_RSDP;
    uint64_t Rsdp = 0;
    if (FindLegacyRsdp(pMemory, &Rsdp)) {
        // An RSDP at the very end of the area has its RsdtAddress past it, where there may be
        // no memory: then it names no RSDT.
        Result = ACPI_NO_FADT;
        if (PhysRangeReadable(pMemory, Rsdp, 20)) {
            const uint64_t Rsdt = PhysRead32(pMemory, Rsdp + 16);
            Result = FindFadtPort(pMemory, Rsdt, ACPI_SIGNATURE_RSDT, 4, pPort);
        }
    }
    if (Result == ACPI_PORT_FOUND) {
        return true;
    }
    if (Result != ACPI_PORT_ZERO && pConfig != NULL) {
        // A machine without a legacy BIOS publishes its RSDP only in the configuration table.
        const AcpiPortResult ConfigResult = FindPortThroughConfigTable(pMemory, pConfig, pPort);
        if (ConfigResult == ACPI_PORT_FOUND) {
            if (pThroughConfigTable != NULL) {
                *pThroughConfigTable = true;
            }
            return true;
        }
        // The message names what was missing: an RSDP found anywhere whose tables hold no FADT
        // is a missing FADT.
        if (ConfigResult == ACPI_PORT_ZERO || ConfigResult == ACPI_NO_FADT) {
            Result = ConfigResult;
        }
    }
    PrintPortFailure(Result);
    return false;
}
