# Crestune's command line: placement of value words, repeated options, scan-code values and the
# class rules. Every case here ends before any firmware request.

INVALID = 0xC0000001
BAD_SCAN = 0xC000000D


def refused(name, args, stdout, status=INVALID):
    return dict(name=name, args=args, expect=dict(stdout=stdout, status=status, smi=[]))


NO_VALUE = "(No enouth!)One or more arguments are invalid.\n"
STRAY = "(Following argument is valid)One or more arguments are invalid.\n"
OPTION_AS_VALUE = "(Option of argument)One or more arguments are invalid.\n"
PLAIN = "One or more arguments are invalid.\n"
TWICE = "One or more parameters are invalid.\n"
WRONG_FORMAT = "Wrong password format is inputted.\n"
NO_OPERATION = "0.One or more arguments are invalid.\n"
UNCLAIMED = "2.One or more arguments are invalid.\n"
UNCLAIMED_WITH_PASSWORDS = "1.One or more arguments are invalid.\n"
TOO_LONG = "The password is longer than 64 characters.\n"

SCENARIOS = [
    refused("backup without a file", ["/b"], NO_VALUE),
    refused("backup with two words", ["/b", "x", "y"], STRAY),
    refused("backup followed by an option", ["/b", "/f9"], OPTION_AS_VALUE),
    refused("stray word checked before option value", ["/b", "/f9", "x"], STRAY),
    refused("restore without a file", ["/R"], NO_VALUE),
    refused("defaults followed by a word", ["/f9", "x"], PLAIN),
    refused("defaults twice", ["/f9", "/F9"], PLAIN),
    refused("no reboot twice in two forms", ["/f9", "/nor", "/NoReboot"], PLAIN),
    refused("clear admin twice", ["/clradp", "/clradp"], PLAIN),
    refused("current password twice", ["/f9", "/pass", "a", "/pass", "b"], TWICE),
    refused("current password typed and scanned", ["/f9", "/pass", "a", "/pass_scan", "1e"],
            TWICE),
    refused("current password without value", ["/f9", "/pass"], NO_VALUE),
    refused("scan code of odd length", ["/newadp_scan", "1e2"], WRONG_FORMAT, BAD_SCAN),
    refused("scan code the map lacks", ["/newadp_scan", "27"], WRONG_FORMAT, BAD_SCAN),
    refused("french map lacks 0x32", ["/newpop_scan_fr", "32"], WRONG_FORMAT, BAD_SCAN),
    refused("current scan code the map lacks", ["/f9", "/pass_scan_ge", "1e27"], WRONG_FORMAT,
            BAD_SCAN),
    refused("scan code of 130 digits", ["/newadp_scan", "1e" * 65], WRONG_FORMAT, BAD_SCAN),
    refused("typed new password of 65 characters", ["/newadp", "a" * 65], TOO_LONG),
    refused("typed current password of 65 characters", ["/f9", "/pass", "b" * 65], TOO_LONG),
    refused("verbose alone is no operation", ["/Verbose"],
            "argc=2,totalArgCount=1, priArgCount=0,secArgCount=0,extArgCount=1\n" + NO_OPERATION),
    refused("password alone is no operation", ["/pass", "abc"], NO_OPERATION),
    refused("defaults with a backup", ["/f9", "/b", "x.dat"], NO_OPERATION),
    refused("two backups", ["/b", "x", "/b", "y"], NO_OPERATION),
    refused("clear and set admin are two operations", ["/clradp", "/newadp", "x"], NO_OPERATION),
    refused("unknown word with defaults", ["/f9", "/xyz"], UNCLAIMED),
    refused("unknown word after an extended word", ["/f9", "/nor", "/xyz"], UNCLAIMED),
    refused("short forms below four characters are unclaimed", ["/f9", "/no"], UNCLAIMED),
    refused("verbose is a whole word", ["/f9", "/ver"], UNCLAIMED),
    refused("both password changes and an unknown word",
            ["/newadp", "a", "/newpop", "b", "/xyz"], UNCLAIMED_WITH_PASSWORDS),
    refused("both clears and two unknown words", ["/clradp", "/clrpop", "/x", "/y"],
            UNCLAIMED_WITH_PASSWORDS),
    refused("verbose counts for defaults", ["/f9", "/Verbose", "/xyz"],
            "argc=4,totalArgCount=3, priArgCount=1,secArgCount=0,extArgCount=1\n" + UNCLAIMED),
    dict(name="pass_scan traced only after verbose",
         args=["/Verbose", "/pass_scan", "1e", "/f9", "/xyz"],
         expect=dict(stdout="/pass_scan\nConverted password is: A\n"
                     "argc=6,totalArgCount=4, priArgCount=1,secArgCount=0,extArgCount=2\n"
                     + UNCLAIMED, status=INVALID)),
    dict(name="pass_scan before verbose is not traced",
         args=["/pass_scan", "1e", "/Verbose", "/f9", "/xyz"],
         expect=dict(stdout="argc=6,totalArgCount=4, priArgCount=1,secArgCount=0,extArgCount=2\n"
                     + UNCLAIMED, status=INVALID)),
    dict(name="new password conversions are never traced",
         args=["/Verbose", "/newadp_scan", "1e", "/xyz"],
         expect=dict(stdout="argc=5,totalArgCount=3, priArgCount=1,secArgCount=0,extArgCount=1\n"
                     + UNCLAIMED, status=INVALID)),
]
