// A fake sysfs for libudev (umockdev) with the simulated camera answering the
// device nodes. The test program runs with libsimcam preloaded ahead of
// umockdev's preload library, so opens of the camera nodes reach simcam and
// every /sys access reaches the testbed.
#ifndef TESTS_CATALOGUE_TESTBED_H
#define TESTS_CATALOGUE_TESTBED_H

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "simcam.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace cattest {

using Attrs = std::vector<std::pair<std::string, std::string>>;

// The USB attributes of a typical camera.
Attrs usbAttrs(const std::string& vendor = "1d6b", const std::string& product = "0102",
               const std::string& serial = "SN0001");

class Testbed {
  public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // A USB device at `port` (e.g. "1-1") with one video interface; returns
    // the interface's sysfs path, the parent for its video nodes.
    std::string addUsbCamera(const std::string& port, const Attrs& attrs);
    // A video4linux node below `parent` ("" for none); `devnode` empty means
    // udev reports no node for it.
    void addVideoNode(const std::string& parent, const std::string& name,
                      const std::string& devnode);
    // A video4linux node on a platform device: no USB device above it.
    void addPlatformNode(const std::string& name, const std::string& devnode);

  private:
    std::string add(const char* subsystem, const std::string& name, const std::string& parent,
                    const Attrs& attrs, const Attrs& props);
    UMockdevTestbed* tb_;
};

// Builders for simcam descriptions.
simcam::FrameSize size(uint32_t w, uint32_t h, std::vector<uint32_t> fps);
simcam::Format format(uint32_t fourcc, std::vector<simcam::FrameSize> sizes);
simcam::Camera camera(const std::string& node, std::vector<simcam::Format> formats,
                      const std::string& card = "SimCam Module: SimCam Module");

// Makes the next calls of udev_new fail (this program exports its own
// udev_new, which the library resolves ahead of libudev's).
void failUdevNew(bool fail);

// A fresh testbed and an empty simcam for each test; the catalogue is
// released after it, and no device node may be left open.
class CatalogueTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // One USB camera: its capture node, and its metadata node when given.
    void addCamera(const std::string& port, const simcam::Camera& cam,
                   const std::string& metaNode = "", const Attrs& attrs = usbAttrs());

    Testbed tb;
};

}  // namespace cattest

#endif  // TESTS_CATALOGUE_TESTBED_H
