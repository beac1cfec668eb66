// The files of the resident firmware double, on the host: a machine description's "firmware"
// section turned into the state file that SmmDouble.efi loads, and back, and the request log
// that SmmDouble.efi writes turned into log events like the simulated machine's "smi" events.
#ifndef SMM_HOST_SMMDOUBLEFILES_H
#define SMM_HOST_SMMDOUBLEFILES_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "Smm/SmmDoubleLayout.h"

namespace smm {

// The state file of a double in the given state.
std::vector<uint8_t> StateFileBytes(const DoubleState& State);

// Reads a state file. Returns false with the reason in Error (State is then a new machine's).
bool ParseStateFile(const std::vector<uint8_t>& File, DoubleState& State, std::string& Error);

// Reads a log file into one event per logged SMI, in order, each the simulated machine's "smi"
// event (buffers in full up to 4096 bytes, with "_length" and "_sha256" for longer ones and for
// the settings image requests; "in_comm_buffer", "detail") with these keys added: "sequence"
// (the SMI's number since installation), "rip", "image_base", "image_size", "image_entry" (hex
// strings; the image keys only when the handler found the PE image around RIP) and "code" (16
// bytes from RIP - 8, hex). When the double could not log every SMI, a last event
// {"event": "smi_not_logged", "count": N} says how many were lost. Returns false with the
// reason in Error when the file is malformed.
bool ParseLogFile(const std::vector<uint8_t>& File, std::vector<nlohmann::json>& Events,
                  std::string& Error);

// Takes the state file and the log file out of a copy of the double's region (the memory from
// SMM_DOUBLE_BASE, at least up to the end of its log), as a machine left it when it stopped:
// the log holds the requests since SmmDouble.efi last wrote it. Returns false with the reason
// in Error when the copy holds no resident double.
bool FilesFromRegion(const std::vector<uint8_t>& Region, std::vector<uint8_t>& Log,
                     std::vector<uint8_t>& State, std::string& Error);

} // namespace smm

#endif
