// Zoom-control library: one camera, DSP register reads and writes over the
// camera's UVC extension unit.
#ifndef DOVIVUZO_DOVIVUZO_H
#define DOVIVUZO_DOVIVUZO_H

#define DOVIVUZO_EXPORT __attribute__((visibility("default")))

// Descriptor of the open device; -1 while none is open.
DOVIVUZO_EXPORT extern int g_fd;

DOVIVUZO_EXPORT int xioctl(int fd, int request, void* arg);

DOVIVUZO_EXPORT int dovivuzo_open(const char* path);
DOVIVUZO_EXPORT int dovivuzo_close();
DOVIVUZO_EXPORT int dovivuzo_dsp_read_buf(unsigned short addr, unsigned char* data, int len);
DOVIVUZO_EXPORT int dovivuzo_dsp_write_buf(unsigned short addr, unsigned char* data, int len);

#endif  // DOVIVUZO_DOVIVUZO_H
