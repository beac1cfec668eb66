// Discovery of the SMI command port through the ACPI tables in memory.
#include "Applications/Crestune/Crestune.h"

#define RSDP_SCAN_START 0xE0000u
#define RSDP_SCAN_LAST 0xFFFF0u
#define RSDP_SIGNATURE_LOW 0x20445352u  // "RSD "
#define RSDP_SIGNATURE_HIGH 0x20525450u // "PTR "
#define RSDP_RSDT_ADDRESS_OFFSET 16
#define SDT_LENGTH_OFFSET 4
#define SDT_HEADER_SIZE 36u
#define FADT_SIGNATURE 0x50434146u // "FACP"
#define FADT_SMI_CMD_OFFSET 48

bool GetSmiPortNumber(const PhysMemReader* pMemory, uint16_t* pPort) {
    uint64_t RsdpAddress = 0;
    bool Found = false;
    for (uint64_t Address = RSDP_SCAN_START; Address <= RSDP_SCAN_LAST; Address += 16) {
        if (PhysRead32(pMemory, Address) == RSDP_SIGNATURE_LOW &&
            PhysRead32(pMemory, Address + 4) == RSDP_SIGNATURE_HIGH) {
            RsdpAddress = Address;
            Found = true;
            break;
        }
    }
    if (!Found) {
        printf("Can't find RSDP structure anchor string.\n");
        return false;
    }

    const uint64_t RsdtAddress = PhysRead32(pMemory, RsdpAddress + RSDP_RSDT_ADDRESS_OFFSET);
    const uint32_t RsdtLength = PhysRead32(pMemory, RsdtAddress + SDT_LENGTH_OFFSET);
    const uint32_t EntryCount =
        RsdtLength > SDT_HEADER_SIZE ? (RsdtLength - SDT_HEADER_SIZE) / 4 : 0;

    for (uint32_t Index = 0; Index < EntryCount; Index++) {
        const uint64_t TableAddress =
            PhysRead32(pMemory, RsdtAddress + SDT_HEADER_SIZE + 4 * (uint64_t)Index);
        if (PhysRead32(pMemory, TableAddress) == FADT_SIGNATURE) {
            const uint16_t Port = PhysRead16(pMemory, TableAddress + FADT_SMI_CMD_OFFSET);
            if (Port == 0) {
                // Port 0 belongs to the DMA controller: a platform without an SMI command port.
                printf("The FADT names no SMI command port.\n");
                return false;
            }
            *pPort = Port;
            return true;
        }
    }
    printf("Can't find FADT structure anchor string.\n");
    return false;
}
