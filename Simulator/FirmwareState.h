// The firmware double's state as the machine file keeps it, in its "firmware" section (all that
// the SMM double's host tool needs of the simulated machine). docs/simulated-machine.md
// describes the section; the short form:
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
#ifndef SIMULATOR_FIRMWARESTATE_H
#define SIMULATOR_FIRMWARESTATE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "Double/DoubleCore.h"

namespace sim {

// Reads a "firmware" section (null: a new machine). Returns false with the reason in Error.
bool FirmwareStateFromJson(const nlohmann::json& Section, DoubleState& State, std::string& Error);

// The section as it is saved: every key, hashes instead of plain-text passwords.
nlohmann::json FirmwareStateToJson(const DoubleState& State);

// The hash ComputeHash answers for a password text: false when the text has more than 64
// characters or holds a NUL.
bool HashPasswordText(const std::string& Text, uint8_t* pHash);

// Bytes as upper-case hex digits without separators ("00A1FF").
std::string HexBytes(const uint8_t* pBytes, size_t Count);
// A number as "0x" and at least Digits upper-case hex digits ("0x00B2").
std::string HexNumber(uint32_t Value, int Digits);

// "ftpm2.0", "dtpm1.2", "dtpm2.0" or "none".
std::string TpmModeName(uint8_t Mode);

} // namespace sim

#endif
