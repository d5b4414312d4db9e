// Whether the command's tests can give it a terminal.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

// script(1) needs a pseudo-terminal, which a build chroot without /dev/pts lacks.
inline bool PseudoTerminalAvailable() {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    const char* name =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    int slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
    return slave >= 0;
}
