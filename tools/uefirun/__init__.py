"""Runs command lines in OVMF's UEFI shell under QEMU and returns what they printed.

One boot runs a whole list of command lines. The harness writes a startup.nsh that runs each
line with its standard output (and error) redirected into files on a FAT disk image, records
`%lasterror%` after each one, and powers the machine off with `reset -s`. After QEMU has ended,
the files are copied back off the disk image with mtools and decoded.

A test machine is a copy of OVMF's CODE flash whose last 128 KiB (the guest's 0xE0000-0xFFFFF)
carry the legacy BIOS area that `simmachine legacy-image` builds from a machine description.

Python (with tools/ on sys.path; tools/uefi-shell.py is the command line):
    import uefirun as shell
    run = shell.run_shell([shell.Command("Crestune.efi /?"),
                           shell.Command("Tool.efi", stdin="typed answer\\n")],
                          files=shell.efi_files(build), machine="machines/desktop.json",
                          build_dir=build, debugcon_ports=[0xB2])
    run.results[0].stdout, run.results[0].status, run.results[0].debugcon[0xB2]

SMM mode (smm=True, command line --smm) answers the SMIs that programs raise on port 0xB2 with
the firmware double as a real SMM handler: QEMU runs with `-machine q35,smm=on -smp 1 -icount
shift=auto` (the SMI is then taken at the instruction after the port write), SmmDouble.efi
installs the double first with the machine description's "firmware" section (or the state file
given as smm_state), writes its request log and state after every command and at the end.
A program that resets the machine ends the boot there (QEMU is stopped, not ended, and the
double's memory copied first): its result has ran=False but carries the requests it sent, and
run.smm_state is the state at the reset, ready for the next boot.
Each result then carries the log events of its command (result.smm_events), and
result.smm_problems lists every SMI that was not taken at the instruction after the `out` in
TriggerPortSmi of the image that raised it, or that could not be checked.

The shell's built-in commands do not all set %lasterror%: for them the status recorded may be
that of an earlier command. Applications always set it.

The modules: results (what a run returns, the errors), firmware (OVMF's files and test
machines), disk (the FAT disk and the files read back), script (the startup.nsh), smm (the
firmware double and QMP), qemu (QEMU's command line and the watched run), run (one boot).
"""

from .disk import decode_redirected, parse_status
from .firmware import (LEGACY_BASE, LEGACY_END, LEGACY_SIZE, OVMF_CODE, OVMF_VARS,
                       build_machine_firmware, check_regions, find_simmachine, legacy_image,
                       load_description, patch_firmware)
from .qemu import COUNTDOWN_PROMPT, ESCAPES, QEMU, qemu_argv, stop
from .results import Command, CommandResult, MachineError, ShellRun, ShellRunError, Source
from .run import DEFAULT_BOOT_TIMEOUT, DEFAULT_COMMAND_TIMEOUT, efi_files, run_shell
from .script import BEGIN_MARKER, END_MARKER, startup_script
from .smm import check_smi_places, decode_smm_log, pe_identity, port_write_return_offset
