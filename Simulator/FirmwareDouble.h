// The firmware double on the simulated machine: the core answers the port SMIs, its state kept
// in the machine file's "firmware" section (FirmwareState.h), every request logged as one "smi"
// event (docs/simulated-machine.md), and the readable names of the settings store's items.
#ifndef SIMULATOR_FIRMWAREDOUBLE_H
#define SIMULATOR_FIRMWAREDOUBLE_H

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "Double/DoubleCore.h"
#include "Simulator/FirmwareState.h"

namespace sim {

// The SMI command port of a machine without an FADT that names one (the chipset's APM port).
constexpr uint16_t kDefaultSmiPort = 0xB2;

// The port that raises an SMI: the SMI_CMD of the description's FADT, else kDefaultSmiPort.
uint16_t MachineSmiPort(const nlohmann::json& Machine);

// The readable name of a setup item ("csm"), "item" when it has none.
std::string SettingName(uint32_t Item);
// The meaning of a value of a setup item: its value word ("enable"), boot device ("sata1"), the
// bits of a mask ("bits 0,3" or "none"), or "invalid".
std::string SettingValueText(uint32_t Item, uint32_t Value);

// One port SMI (TriggerPortSmi's words: pInput[1..6] = EAX, EBX, ECX, EDX, EDI, ESI; pOutput[0..5]
// the same order from EAX). The double handles it when EDX's low 16 bits name SmiPort; otherwise
// the registers come back unchanged. Returns the request's log event.
nlohmann::json RunPortSmi(DoubleState& State, uint16_t SmiPort, const uint32_t* pInput,
                          uint32_t* pOutput);

} // namespace sim

#endif
