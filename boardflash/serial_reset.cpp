#include "serial_reset.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace boardflash {

int open_port(const std::string& device) {
    return open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

void reset_board(int fd) {
    // Failures are ignored on purpose: the board may already sit in its bootloader, or the port
    // may not be a real UART, and the upload is still worth trying.
    struct termios termAttr {};
    // Only settings actually read are written back, so a failed read cannot blank the port.
    if (tcgetattr(fd, &termAttr) == 0) {
        cfsetispeed(&termAttr, B1200);
        cfsetospeed(&termAttr, B1200);
        tcsetattr(fd, TCSANOW, &termAttr);
    }

    int rts = TIOCM_RTS;
    int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIS, &rts);
    ioctl(fd, TIOCMBIC, &dtr);

    close(fd);
}

}  // namespace boardflash
