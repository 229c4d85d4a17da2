// Exit statuses of every camctl command.
#ifndef CAMCTL_STATUS_H
#define CAMCTL_STATUS_H

constexpr int kOk = 0;
constexpr int kUsage = 1;
constexpr int kDeviceError = 2;
constexpr int kNotGranted = 3;  // --exact, and the camera gives something else
constexpr int kDiskFull = 4;    // record: the disk filled up (the files hold what fitted)
// After a stop signal: 128 + its number (130 after Ctrl-C).

#endif  // CAMCTL_STATUS_H
