// The memory the firmware double's core may use on the host: the one function the core asks of
// the platform that hosts it (Double/DoubleCore.h).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "Double/DoubleCore.h"

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
