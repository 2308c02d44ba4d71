/* For scripts/test-windows.sh only: an LD_PRELOAD shim for Wine on a pseudo-terminal.
 * Wine's WaitCommEvent reads the modem lines (TIOCMGET) before it waits; a pseudo-terminal
 * has none and refuses the request, and the wait then ends with an error (995) instead of
 * waiting for input. This answers TIOCMGET for a terminal that refuses it with the lines a
 * plain three-wire cable shows (CTS, DSR and carrier up), and leaves every other call alone.
 *
 *   gcc -shared -fPIC -O2 -o wine-pty-shim.so scripts/wine-pty-shim.c -ldl */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    const int result = real(fd, request, argument);
    if (result != 0 && request == TIOCMGET && (errno == ENOTTY || errno == EINVAL) && argument) {
        *(int*)argument = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        return 0;
    }
    return result;
}
