// The firmware double on the host: the core's state kept in the machine file's "firmware"
// section, and every port SMI logged. docs/simulated-machine.md describes the section and the
// log event; the short form:
//
//   "firmware": {
//     "mfg_done": false,                     manufacturing done (IsMfgDoneSet: EBX bit 21)
//     "admin_password_hash": null,           null or 24 hex digits (12 bytes), never all zero
//     "power_on_password_hash": null,        the same
//     "admin_password": "abc",               input only: plain text (at most 64 characters),
//     "power_on_password": "abc",              replaced by its hash at the first SMI
//     "retry_count": 0,                      wrong hashes since the last right one
//     "retry_limit": 3,                      0: never locks
//     "comm_buffer": {"max_size": "0x0",     size reported when a lock is refused (no grant)
//                     "grant": false,        lend the buffer: CommBufferLock succeeds
//                     "address": "0x0", "size": "0x0",   the buffer (in a "memory" region)
//                     "descriptor": "0x0",   16 bytes, default: just below the buffer
//                     "locked": false},      the lock is held
//     "settings": {"0x11": 1, "0x05": {"value": 2, "default": 3}},   setup item: value; the
//                                            list form [{"function", "item", "value",
//                                            "default"}] is read too
//     "tpm_mode": "ftpm2.0",                 or "dtpm1.2", "dtpm2.0", "none"
//     "tpm_code": 6,                         the last TPM value code set
//     "pap_mode": "custom",                  or "normal"
//     "computrace_hidden": false, "computrace_message": true, "computrace_disabled": false,
//     "me_gpio": {"present": true, "value": 0},
//     "boot_agent_variable": true,           the /pxe item needs it
//     "workstation": false,                  SMC boot and VMD slots need it
//     "image": {"size": "0x0", "padding": "0x0", "seed": "0x2545F491"},   settings image
//     "inject": [{"eax": "0x534D3220", "ebx": "0x0", "ecx": ..., "status": "0x80000000",
//                 "times": 1},
//                {"eax": "0x534D0140", "no_answer": true}]
//   }
//
// Numbers are JSON numbers or strings ("0xB2", "178"). Every key is optional; a missing one
// takes the value of a new machine. Unknown keys are refused.
#ifndef SIMULATOR_FIRMWAREDOUBLE_H
#define SIMULATOR_FIRMWAREDOUBLE_H

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "Double/DoubleCore.h"

namespace sim {

// The SMI command port of a machine without an FADT that names one (the chipset's APM port).
constexpr uint16_t kDefaultSmiPort = 0xB2;

// Reads a "firmware" section (null: a new machine). Returns false with the reason in Error.
bool FirmwareStateFromJson(const nlohmann::json& Section, DoubleState& State, std::string& Error);

// The section as it is saved: every key, hashes instead of plain-text passwords.
nlohmann::json FirmwareStateToJson(const DoubleState& State);

// The hash ComputeHash answers for a password text: false when the text has more than 64
// characters or holds a NUL.
bool HashPasswordText(const std::string& Text, uint8_t* pHash);

// Bytes as upper-case hex digits without separators ("00A1FF").
std::string HexBytes(const uint8_t* pBytes, size_t Count);

// The port that raises an SMI: the SMI_CMD of the description's FADT, else kDefaultSmiPort.
uint16_t MachineSmiPort(const nlohmann::json& Machine);

// The readable name of a setup item ("csm"), "item" when it has none.
std::string SettingName(uint32_t Item);
// The meaning of a value of a setup item: its value word ("enable"), boot device ("sata1"), the
// bits of a mask ("bits 0,3" or "none"), or "invalid".
std::string SettingValueText(uint32_t Item, uint32_t Value);
// "ftpm2.0", "dtpm1.2", "dtpm2.0" or "none".
std::string TpmModeName(uint8_t Mode);

// One port SMI (TriggerPortSmi's words: pInput[1..6] = EAX, EBX, ECX, EDX, EDI, ESI; pOutput[0..5]
// the same order from EAX). The double handles it when EDX's low 16 bits name SmiPort; otherwise
// the registers come back unchanged. Returns the request's log event.
nlohmann::json RunPortSmi(DoubleState& State, uint16_t SmiPort, const uint32_t* pInput,
                          uint32_t* pOutput);

} // namespace sim

#endif
