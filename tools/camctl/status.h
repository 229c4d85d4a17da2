// Exit statuses of every camctl command.
#ifndef CAMCTL_STATUS_H
#define CAMCTL_STATUS_H

constexpr int kOk = 0;
constexpr int kUsage = 1;
constexpr int kDeviceError = 2;
constexpr int kNotGranted = 3;  // --exact, and the camera gives something else
// After a stop signal: 128 + its number (130 after Ctrl-C).

#endif  // CAMCTL_STATUS_H
