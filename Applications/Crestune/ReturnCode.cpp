// The judge of the firmware's status and the hex dump of verbose traces.
#include <stdio.h>

#include "Applications/Crestune/ReturnCode.h"

bool CheckSmiReturnCode(const PortSmiRegisters* pRegisters) {
    const UINT32 Status = pRegisters->Eax;
    if (Status == 0) {
        return true;
    }
    if (Status == 0x80000000u) {
        printf("SMI unsupported.\n");
    }
    if (Status & 0x1) {
        printf("The input password is not correct.\n");
    }
    if (Status & 0x2) {
        printf("Password retry count exceed.\n");
    }
    if (Status & 0x4) {
        printf("The smi input argument is invalid.\n");
    }
    printf("Return code: %.8lXh\n", (unsigned long)Status);
    return false;
}

void DumpBuffer(const void* pData, UINT8 Rows, UINT32 Length) {
    if (pData == NULL) {
        return;
    }
    const UINT8* pBytes = (const UINT8*)pData;
    for (UINT32 Row = 0; Row < Rows; Row++) {
        printf("%4.4X :  ", (unsigned)(Row * 16));
        for (UINT32 Column = 0; Column < 16; Column++) {
            const UINT32 Offset = Row * 16 + Column;
            if (Offset >= Length) {
                break; // a short last row: nothing past the data is read
            }
            printf("%2.2X ", (unsigned)pBytes[Offset]);
            if (Column == 7) {
                printf("- ");
            }
        }
        printf("\n");
    }
    printf("\n");
}
