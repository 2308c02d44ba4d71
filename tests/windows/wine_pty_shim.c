/* An LD_PRELOAD shim for Wine on a pseudo-terminal, for the tests that run Windows programs
 * under Wine only (scripts/wine-run.sh preloads it).
 * Wine's WaitCommEvent reads the modem lines (TIOCMGET) before it waits; a pseudo-terminal
 * has none and refuses the request, and the wait then ends with an error (995) instead of
 * waiting for input. This answers TIOCMGET for a terminal that refuses it with the lines a
 * plain three-wire cable shows (CTS, DSR and carrier up), and leaves every other call alone.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (!real) {
        void* symbol = dlsym(RTLD_NEXT, "ioctl");
        memcpy(&real, &symbol, sizeof real);  /* ISO C has no cast from object to function */
    }
    const int result = real(fd, request, argument);
    if (result != 0 && request == TIOCMGET && (errno == ENOTTY || errno == EINVAL) && argument) {
        *(int*)argument = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        return 0;
    }
    return result;
}
