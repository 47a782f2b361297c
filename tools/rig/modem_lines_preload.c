/*
 * Preloaded into Wine for the COM-port tests and benchmark (built for Linux,
 * with -m32 for 32-bit Wine): a pty has no modem-control lines, so the
 * ioctls behind EscapeCommFunction(SETDTR) and GetCommModemStatus fail on
 * it, and the library's overlapped open, which raises DTR as on a real
 * ttyACM, fails with it. Here those ioctls succeed on a pty as on a real
 * tty: DTR and RTS can be set and cleared, and the status reads DSR, CTS
 * and carrier. Every other call is left alone. 32-bit Wine calls glibc's
 * 64-bit-time entry __ioctl_time64, so that one is wrapped too.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* The answer of a tty with modem lines where the pty refused the request. */
static int with_lines(ioctl_fn real, int fd, unsigned long request, void *arg)
{
    int saved = errno;
    int r = real(fd, request, arg);
    if (r == 0 || (errno != EINVAL && errno != ENOTTY && errno != EIO))
        return r;
    switch (request) {
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET:
        errno = saved;
        return 0;
    case TIOCMGET:
        *(int *)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_DSR | TIOCM_CTS | TIOCM_CD;
        errno = saved;
        return 0;
    default:
        return r;
    }
}

/* The real function of name, found once into *real (ioctl where glibc has
 * no __ioctl_time64), called with the lines of a real tty. */
static int forward(const char *name, ioctl_fn *real, int fd, unsigned long request, void *arg)
{
    if (*real == NULL)
        *real = (ioctl_fn)dlsym(RTLD_NEXT, name);
    if (*real == NULL)
        *real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return with_lines(*real, fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return forward("ioctl", &real, fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return forward("__ioctl_time64", &real, fd, request, arg);
}
