# Setting words refused while the command line is parsed: nothing reaches the firmware.

INVALID = 0xC0000001
PLAIN = "One or more arguments are invalid.\n"


def refused(name, args, stdout):
    return dict(name=name, args=args, expect=dict(stdout=stdout, status=INVALID, smi=[]))


SCENARIOS = [
    refused("boot device not in the list", ["/pbs", "sata11"], PLAIN),
    refused("boot device missing", ["/ebs"], "(No enouth!)" + PLAIN),
    refused("value not in the list", ["/csm", "on"], PLAIN),
    refused("setting given twice", ["/csm", "enable", "/csm", "disable"], PLAIN),
    refused("boot sequence given twice", ["/pbs", "sata1", "/PBS", "fdd"], PLAIN),
    refused("value word is an option", ["/csm", "/f9"], "(Option of argument)" + PLAIN),
    refused("stray word after a value", ["/csm", "enable", "x"],
            "(Following argument is valid)" + PLAIN),
    refused("hotplug mask too large", ["/satahotplug", "400"],
            "SATA Hotplug Input ECX Error.Please info help message!\n"),
    refused("hotplug mask with prefix", ["/satahotplug", "0x3ff"], PLAIN),
    refused("hotplug mask of all ones", ["/satahotplug", "ffffffff"], PLAIN),
    refused("pcie slot mask too large", ["/pcieslot", "1000"],
            "pcieslot Input ECX Error.Please info help message!\n"),
    refused("m2 slot mask with low bits", ["/m2slot", "3001"],
            "m2slot Input ECX Error.Please info help message!\n"),
    refused("m2 slot mask too large", ["/m2slot", "10000"],
            "m2slot Input ECX Error.Please info help message!\n"),
    refused("single slot twice", ["/sata3hotplug", "/sata3hotplug"], PLAIN),
    refused("misc value out of range", ["/misc0", "8"], PLAIN),
    refused("setting with a primary operation", ["/f9", "/csm", "enable"],
            "0.One or more arguments are invalid.\n"),
    refused("verbose trace of a refused mask", ["/Verbose", "/satahotplug", "0x3ff"],
            "[dbg] ExtStrToUL srourc_string = 0x3ff\n"
            "[err] input invalid, fail to transfer sting to int\n" + PLAIN),
]
