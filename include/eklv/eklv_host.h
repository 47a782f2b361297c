/*
 * eklv_host: the in-process message windows through which a Linux host
 * receives the library's registered messages (on Windows the host uses
 * user32 itself).  Shipped as libeklv_host.so; libeklv.so uses the same
 * library for its own windows, so host and library share one message space.
 *
 * Rules, as with Windows message windows:
 * - EKLVHostRegisterWindowMessage answers ids from 0xC000 up, the same id
 *   for the same name (names compare without regard to ASCII case); 0 for a
 *   null or empty name or one longer than 255 characters.
 * - A window belongs to the thread that created it and has its messages
 *   queued for that thread.  When the thread ends, its windows are gone
 *   (their procedures get no EKLV_WM_DESTROY then: destroy windows before).
 * - Post never blocks; it fails on an unknown or destroyed window, and when
 *   the owner's queue already holds 10000 posted messages.
 * - Send to a window of the calling thread calls its procedure directly;
 *   send to another thread's window waits until that thread's message loop
 *   (GetMessage/PeekMessage) has handled it.  A send fails instead of
 *   hanging when the window is destroyed or its thread ends meanwhile.
 *   While waiting, the sender handles sends to its own windows.
 * - Procedures run on the thread owning their window.  A procedure must not
 *   throw; if it does, the call counts as failed (answer 0).
 * - GetMessage answers 0 for EKLV_WM_QUIT, -1 on error, else 1.
 */
#ifndef EKLV_EKLV_HOST_H
#define EKLV_EKLV_HOST_H

#include <stdint.h>

#include "eklv/eklv.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define EKLV_HOST_API
#else
#define EKLV_HOST_API __attribute__((visibility("default")))
#endif

#define EKLV_WM_NULL 0x0000u
#define EKLV_WM_DESTROY 0x0002u
#define EKLV_WM_QUIT 0x0012u
#define EKLV_WM_DEVICECHANGE 0x0219u
#define EKLV_WM_USER 0x0400u

typedef struct EKLVMsg {
    EKLV_HWND hwnd;     /* 0 for thread messages (EKLV_WM_QUIT from PostQuitMessage) */
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
    uint32_t time;      /* millisecond tick when posted */
} EKLVMsg;

/* Window procedure; user is the value given to EKLVHostCreateWindow. */
typedef intptr_t (*EKLVWndProc)(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam,
                                void *user);

EKLV_HOST_API uint32_t EKLVHostRegisterWindowMessage(const char *name);

/* Creates a hidden window owned by the calling thread; 0 on failure. */
EKLV_HOST_API EKLV_HWND EKLVHostCreateWindow(EKLVWndProc proc, void *user);
/* Destroys a window of the calling thread: its queued messages are dropped,
 * pending senders are released (answer 0) and the handle becomes invalid,
 * then its procedure gets EKLV_WM_DESTROY, the last message it receives.
 * Answers 1, or 0 for an unknown window or one of another thread. */
EKLV_HOST_API int EKLVHostDestroyWindow(EKLV_HWND hwnd);
EKLV_HOST_API int EKLVHostIsWindow(EKLV_HWND hwnd);

EKLV_HOST_API int EKLVHostPostMessage(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam);
/* Answers the procedure's answer, or 0 when the message could not be delivered. */
EKLV_HOST_API intptr_t EKLVHostSendMessage(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam,
                                           intptr_t lparam);
/* As EKLVHostSendMessage, but gives up after timeout_ms; answers 1 when the
 * procedure ran (its answer in *result), 0 on time-out or failure (*result
 * 0).  A message still queued at the time-out is never handled. */
EKLV_HOST_API int EKLVHostSendMessageTimeout(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam,
                                             intptr_t lparam, uint32_t timeout_ms, intptr_t *result);
/* Asks for EKLV_WM_QUIT (hwnd 0, wparam exit_code) on the calling thread's
 * queue.  It is retrieved once no posted message matches, and only without a
 * window filter; the range filter never hides it. */
EKLV_HOST_API void EKLVHostPostQuitMessage(int exit_code);

/* Retrieves the next message of the calling thread (of window hwnd only when
 * hwnd is not 0; in the range min..max when either is non-zero, an inverted
 * range filtering nothing; EKLV_WM_QUIT always passes the range), handling
 * incoming sends while it waits.  1, 0 for EKLV_WM_QUIT, -1 on error (null
 * msg; hwnd not a window of the calling thread, also when a handled send
 * destroys it). */
EKLV_HOST_API int EKLVHostGetMessage(EKLVMsg *msg, EKLV_HWND hwnd, uint32_t min, uint32_t max);
/* As GetMessage, but waits at most timeout_ms: 1 message, 0 EKLV_WM_QUIT,
 * -1 error, -2 time-out. */
EKLV_HOST_API int EKLVHostGetMessageTimeout(EKLVMsg *msg, EKLV_HWND hwnd, uint32_t min, uint32_t max,
                                            uint32_t timeout_ms);
/* Non-blocking: handles incoming sends, then answers 1 when a message was
 * found (removed when remove != 0), else 0. */
EKLV_HOST_API int EKLVHostPeekMessage(EKLVMsg *msg, EKLV_HWND hwnd, uint32_t min, uint32_t max, int remove);
EKLV_HOST_API int EKLVHostTranslateMessage(const EKLVMsg *msg);
/* Calls the procedure of msg->hwnd; answers its answer (0 for no window or a
 * window of another thread).  TranslateMessage does nothing and answers 0. */
EKLV_HOST_API intptr_t EKLVHostDispatchMessage(const EKLVMsg *msg);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* EKLV_EKLV_HOST_H */
