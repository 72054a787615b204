// Prints the udev rules that give the user at the seat and the plugdev group
// access to the hidraw nodes of the keyboards Vantel programs: one line per
// model of the model table and per boot-loader product ID of each supported
// vendor. The tool only ever uses hidraw, so raw USB access is never granted,
// and other devices of the same vendors stay as the system has them.
#include <cstdio>

#include "platform/linux/udev_rules.h"

int main() {
    std::fputs(vantel::linuxhid::udevRulesText().c_str(), stdout);
    return 0;
}
