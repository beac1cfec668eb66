// Error numbers of the UEFI runtime (the Linux values, so messages match the host build).
#ifndef RUNTIME_ERRNO_H
#define RUNTIME_ERRNO_H

#ifdef __cplusplus
extern "C" {
#endif

extern int errno;

#define ENOENT 2
#define EIO 5
#define EBADF 9
#define ENOMEM 12
#define EACCES 13
#define EEXIST 17
#define EXDEV 18
#define EISDIR 21
#define EINVAL 22
#define ENOSPC 28
#define ESPIPE 29
#define ERANGE 34

#ifdef __cplusplus
}
#endif

#endif
