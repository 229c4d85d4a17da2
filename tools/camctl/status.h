// Exit statuses of every camctl command.
#ifndef CAMCTL_STATUS_H
#define CAMCTL_STATUS_H

constexpr int kOk = 0;
constexpr int kUsage = 1;
constexpr int kDeviceError = 2;

#endif  // CAMCTL_STATUS_H
