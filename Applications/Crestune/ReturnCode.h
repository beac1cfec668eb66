// The firmware's status in a request's record, and the hex dump of verbose traces.
#ifndef APPLICATIONS_CRESTUNE_RETURNCODE_H
#define APPLICATIONS_CRESTUNE_RETURNCODE_H

#include "Applications/Crestune/SmiCall.h"

// Judges the firmware's status in Eax: true for 0; otherwise prints the firmware's complaints
// and the return code and yields false.
bool CheckSmiReturnCode(const PortSmiRegisters* pRegisters);

// Prints Rows rows of 16 bytes as hex; bytes at or past Length are not read.
void DumpBuffer(const void* pData, UINT8 Rows, UINT32 Length);

#endif
