/* The part of msvcrt.dll's string functions eklv.h and the example use. */
#pragma once
#include <stddef.h>
void *__cdecl memcpy(void *to, const void *from, size_t size);
void *__cdecl memset(void *to, int value, size_t size);
