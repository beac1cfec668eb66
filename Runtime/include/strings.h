// Case-insensitive comparisons (declared in <string.h> as well).
#ifndef RUNTIME_STRINGS_H
#define RUNTIME_STRINGS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int strcasecmp(const char* a, const char* b);
int strncasecmp(const char* a, const char* b, size_t n);

#ifdef __cplusplus
}
#endif

#endif
