/* The part of msvcrt.dll's allocator eklv.h uses. */
#pragma once
#include <stddef.h>
void __cdecl free(void *block);
void *__cdecl realloc(void *block, size_t size);
int __cdecl atoi(const char *text);
