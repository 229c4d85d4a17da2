// Extension-unit faults by selector, for the phases simcam cannot single
// out: this program's own ioctl stands in front of simcam's, counts the
// queries per selector and fails the chosen ones before they reach the camera.
#ifndef TESTS_DOVIVUZO_XU_FAULT_H
#define TESTS_DOVIVUZO_XU_FAULT_H

#include <stdint.h>

namespace xu_fault {

// The next `times` UVCIOC_CTRL_QUERY calls on `selector` fail with `err`.
void fail(uint8_t selector, int err, int times);
// UVCIOC_CTRL_QUERY calls on `selector` seen since reset(), failed ones included.
int attempts(uint8_t selector);
void reset();

}  // namespace xu_fault

#endif  // TESTS_DOVIVUZO_XU_FAULT_H
