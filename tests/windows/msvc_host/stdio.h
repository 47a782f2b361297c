/* The part of msvcrt.dll's stdio the example host uses. */
#pragma once
typedef struct _iobuf FILE;
int __cdecl printf(const char *format, ...);
int __cdecl fflush(FILE *stream);
/* fflush of a null stream flushes every stream, stdout among them. */
#define stdout ((FILE *)0)
