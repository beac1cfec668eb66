"""The texts Tagwell prints, as its scenario and QEMU tests expect them."""

BANNER = ("\nCorvane Firmware Update Utility(DMI Edit) 5.0.0\n"
          "Copyright (C) 2026 Corvane. All rights reserved.\n\n")
ERROR_BANNER = BANNER[1:]
USAGE = ("Usage1: Operating in default mode\n   Tagwell.efi\nUsage2: Update SMBIOS data.\n"
         "   Tagwell.efi [arg1] [arg2]...\n"
         "\nArguments:\n"
         "   /mtm:nnnnnnn       Update system Machine Type and Model\n"
         "   /sn:nnnnnnn        Update system Serial Number\n"
         "   /csn:nnnnnnn       Update Chassis Serial Number\n"
         "   /tag:nnnnnnn       Update Asset Tag\n"
         "   /uuid              Generate and update system UUID\n"
         "   /quiet             Operating without physical presence\n"
         "   /reboot            Reboot after all requests done\n"
         "\nExamples:\n   Update SMBIOS data\n     Tagwell.efi /sn:abcd /mtm:1234 /uuid\n")
DONE = "\nUpdate process successfully completed.\n"
UNKNOWN = BANNER + "Unknown BIOS Vendor.\n"
VERBOSE_AMI = "Calling GetBiosVendor...\nAMI BIOS is found.\n"
Q_SN = "Would you like to update the Serial Number? (Y/y or N/n only)"
P_SN = "Please enter the Serial Number of your system:"
Q_MTM = "Would you like to update the Machine Type and Model? (Y/y or N/n only)"
P_MTM = "Please enter the Machine Type and Model of your system:"
