#!/usr/bin/env python3
"""Stands in for the vendors' DMI tools (AMIDEEFIx64.efi, H2OSDE-Sx64.efi) on the simulated
machine: the simulated shell runs it when it lies in the current directory under a tool's
name. Same behaviour as VendorDouble.cpp, the double for the real UEFI shell:

- ARGS.TXT (current directory) gets every argument after the program name, each followed by
  a line feed, byte for byte as the program received it.
- VDSTATUS.TXT, when present, holds the exit status to end with (decimal or 0x hex);
  otherwise the status is 0. It also writes the full status into the file that
  FWSIM_STATUS_FILE names, where the simulated shell reads it.
- VDPRINT.TXT, when present, is printed as it stands after the arguments: output of a tool
  that poses as lines of someone else (a deployment script's log).
- Standard output shows the same: "Vendor tool double received N arguments:", each argument
  in square brackets on a line of its own, and "Vendor tool double ends with status 0x..".
"""
import os
import sys

out = sys.stdout.buffer
out.write(b"Vendor tool double received %d arguments:\n" % (len(sys.argv) - 1))
with open("ARGS.TXT", "wb") as record:
    for argument in sys.argv[1:]:
        record.write(os.fsencode(argument) + b"\n")
        out.write(b"[" + os.fsencode(argument) + b"]\n")
if os.path.exists("VDPRINT.TXT"):
    with open("VDPRINT.TXT", "rb") as text:
        out.write(text.read())
status = 0
if os.path.exists("VDSTATUS.TXT"):
    with open("VDSTATUS.TXT", "rb") as control:
        status = int(control.read().split()[0].decode("ascii"), 0)
out.write(b"Vendor tool double ends with status 0x%X.\n" % status)
out.flush()
# The simulated shell takes the full 32-bit status from this file (an exit status keeps 8 bits).
if os.environ.get("FWSIM_STATUS_FILE"):
    with open(os.environ["FWSIM_STATUS_FILE"], "w") as report:
        report.write("0x%X\n" % status)
sys.exit(status & 0xFF)
