// assert for the UEFI runtime. Never compiled out: a failed precondition reports the expression,
// the source file's base name, the function and the line on stderr and ends with status 1.
#ifndef RUNTIME_ASSERT_H
#define RUNTIME_ASSERT_H

#ifdef __cplusplus
extern "C" {
#endif

__attribute__((noreturn)) void __rt_assert_fail(const char* pExpression, const char* pFile,
                                                const char* pFunction, int Line);

#ifdef __cplusplus
}
#endif

#define assert(e) ((e) ? (void)0 : __rt_assert_fail(#e, __FILE_NAME__, __func__, __LINE__))

#endif
