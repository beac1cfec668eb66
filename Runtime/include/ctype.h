// Character classes of the UEFI runtime ("C" locale, ASCII only).
#ifndef RUNTIME_CTYPE_H
#define RUNTIME_CTYPE_H

#ifdef __cplusplus
extern "C" {
#endif

int isdigit(int c);
int isxdigit(int c);
int isspace(int c);
int isalpha(int c);
int isalnum(int c);
int isupper(int c);
int islower(int c);
int isprint(int c);
int iscntrl(int c);
int ispunct(int c);
int isgraph(int c);
int toupper(int c);
int tolower(int c);

#ifdef __cplusplus
}
#endif

#endif
