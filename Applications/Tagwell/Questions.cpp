// The two questions of a run without options and the typed values.
//
// Input is read one character at a time; Enter arrives as a line feed. End of input (a script
// whose redirected input has run out) must never leave a question waiting: at a question it
// counts as No, during a value as Enter.
#include <stdio.h>

#include "Applications/Tagwell/Tagwell.h"

namespace {

const int kBackspace = 0x08;
const int kBell = 0x07;

bool IsAnswerLetter(int Character) {
    return Character == 'Y' || Character == 'y' || Character == 'N' || Character == 'n';
}

void Echo(FILE* pOut, const char* pText) {
    fputs(pText, pOut);
    fflush(pOut);
}

void EchoCharacter(FILE* pOut, int Character) {
    fputc(Character, pOut);
    fflush(pOut);
}

} // namespace

bool ReadYesNoConfirm(FILE* pIn, FILE* pOut) {
    fflush(pOut);
    int Answer = 0;
    for (;;) {
        const int Character = fgetc(pIn);
        if (Character == EOF) {
            Echo(pOut, "\n");
            return false;
        }
        if (Answer == 0 && !IsAnswerLetter(Character)) {
            continue;
        }
        if (IsAnswerLetter(Character)) {
            // The cursor stays on the letter, so the next letter replaces it.
            Answer = Character;
            const char Shown[3] = {(char)Character, (char)kBackspace, '\0'};
            Echo(pOut, Shown);
        } else if (Character == kBackspace) {
            // Blanks the letter on the screen; the answer stays.
            Echo(pOut, " \b");
        } else if (Character == '\n') {
            Echo(pOut, "\n");
            return Answer == 'Y' || Answer == 'y';
        }
    }
}

bool ReadSmbiosValue(FILE* pIn, FILE* pOut, char* strsmb, uint8_t maximum) {
    if (maximum > TAGWELL_MAX_VALUE_LEN) {
        maximum = TAGWELL_MAX_VALUE_LEN;
    }
    uint8_t Position = 1;
    strsmb[0] = '"';
    strsmb[1] = '\0';
    fflush(pOut);
    for (;;) {
        int Character = fgetc(pIn);
        if (Character == 0) {
            // The first byte of a key without a character (arrows, function keys): its second
            // byte is dropped as well.
            Character = fgetc(pIn);
            if (Character != EOF) {
                EchoCharacter(pOut, kBell);
                continue;
            }
        }
        if (Character == '\n' || Character == EOF) {
            if (Position > 1) {
                strsmb[Position] = '"';
                strsmb[Position + 1] = '\0';
                return true;
            }
            if (Character == EOF) {
                strsmb[0] = '\0';
                return false;
            }
            // The shell drops an empty quoted argument, so the tool would take the next word
            // as this field's value: an empty value is not accepted.
            EchoCharacter(pOut, kBell);
            continue;
        }
        if (Character == kBackspace) {
            if (Position > 1) {
                Position--;
                strsmb[Position] = '\0';
                Echo(pOut, "\b \b");
            }
            continue;
        }
        const bool Printable = Character >= 0x20 && Character < 0x80;
        const bool Full = Position - 1 >= maximum;
        // A value starting with "-?" makes the shell show help instead of running the tool.
        const bool StartsHelp = Position == 2 && strsmb[1] == '-' && Character == '?';
        if (!Printable || Full || StartsHelp) {
            EchoCharacter(pOut, kBell);
            continue;
        }
        strsmb[Position++] = (char)Character;
        strsmb[Position] = '\0';
        EchoCharacter(pOut, Character);
    }
}

bool GetYesNoConfirm(void) {
    return ReadYesNoConfirm(stdin, stdout);
}

bool GetEnteredSmbiosInfo(char* strsmb, uint8_t maximum) {
    return ReadSmbiosValue(stdin, stdout, strsmb, maximum);
}

void AskUserQuestions(void) {
    bool AnyField = false;
    for (int Row = TAGWELL_FIELD_COUNT - 1; Row >= 0; Row--) {
        const TagwellField& Field = kTagwellFields[Row];
        if (Field.pQuestionName == NULL) {
            continue;
        }
        bool& Update = Request.UpdateField[Row];
        printf("Would you like to update the %s? (Y/y or N/n only)", Field.pQuestionName);
        if (GetYesNoConfirm()) {
            printf("Please enter the %s of your system:", Field.pQuestionName);
            if (!GetEnteredSmbiosInfo(Request.FieldValue[Row], Field.MaxTyped)) {
                Update = false;
            }
            printf("\n");
        } else {
            Update = false;
        }
        AnyField = AnyField || Update;
    }
    if (!AnyField) {
        Request.Update = false;
    }
}
