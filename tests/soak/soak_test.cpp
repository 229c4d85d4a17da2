// Long run through the simulated camera: slot 0 streams MJPG and slot 1
// YUYV, each from its own thread, while a third thread drives controls and
// registers on both. The camera throws EAGAIN/EINTR bursts, frames flagged
// as errors, damaged MJPEG frames and one unplug. Every sequence number is
// accounted for: a good frame carrying exactly that picture, or a reported
// error frame. At the end nothing may be left open or mapped.
//
// CAMKIT_SOAK_FRAMES sets the number of frames of both slots together
// (default 10000); CAMKIT_SOAK_SEED the random seed.
#include <dirent.h>
#include <errno.h>
#include <linux/uvcvideo.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "camapi.h"
#include "simcam.h"

namespace {

constexpr uint32_t kWidth = 160, kHeight = 120;
constexpr int kRetries = 5;  // attempts of one retried request

long env_number(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

size_t open_fds() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

simcam::Camera camera(const std::string& node, const std::string& meta, uint32_t fourcc) {
    simcam::Camera c = simcam::default_camera();
    c.node = node;
    c.meta_node = meta;
    c.paced = false;
    c.formats = {simcam::one_size_format(fourcc, kWidth, kHeight)};
    return c;
}

// Figures of one streaming slot.
struct SlotStats {
    long good = 0;               // frames delivered intact
    long error_frames = 0;       // sequences flagged by the camera and reported
    long corrupt_failed = 0;     // damaged MJPEG frames Jpg2Rgb rejected
    long corrupt_decoded = 0;    // damaged MJPEG frames decoded with warnings
    long bursts = 0;             // DQBUF failure bursts injected
    long burst_failures = 0;     // failed DQBUF attempts in them
    long requeue_bursts = 0;     // short QBUF failure bursts (absorbed by the retries)
    long transient_returns = 0;  // cam_grabframe -1 with EAGAIN or EINTR
    long expected_transient = 0;
    long unplugs = 0;
    long lost = 0;        // sequences neither delivered nor reported
    std::string failure;  // first broken expectation
};

// Test-side lock: reopening a slot must not run beside a control call on it.
std::shared_mutex g_slot_guard[2];
std::atomic<bool> g_unplug_armed[2];

struct Slot {
    int index;
    std::string node;
    uint32_t fourcc;
};

// Plans the faults of one stream (sequences restart with each STREAMON).
struct Plan {
    std::set<uint32_t> errors, corrupt;
};

Plan plan_faults(const Slot& s, std::mt19937& rng, uint32_t frames) {
    Plan p;
    std::uniform_int_distribution<uint32_t> seq(1, frames + 8);
    for (uint32_t i = 0; i < frames / 40 + 1; ++i) p.errors.insert(seq(rng));
    if (s.fourcc == V4L2_PIX_FMT_MJPEG)
        for (uint32_t i = 0; i < frames / 40 + 1; ++i) {
            uint32_t q = seq(rng);
            if (!p.errors.count(q)) p.corrupt.insert(q);
        }
    for (uint32_t q : p.errors) simcam::error_frame(s.node, q);
    for (uint32_t q : p.corrupt)
        simcam::corrupt_frame(s.node, q,
                              q % 4 ? simcam::Corruption::Truncated : simcam::Corruption::Garbage);
    return p;
}

bool start(const Slot& s) {
    return cam_open(s.index, s.node.c_str(), s.fourcc, kWidth, kHeight, 30, 1) == 0 &&
           cam_play(s.index) == 0;
}

void stream(const Slot& s, long frames, bool unplug, unsigned seed, SlotStats& st) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pct(0, 99);
    auto fail = [&](const std::string& what) {
        if (st.failure.empty()) st.failure = what;
    };
    std::vector<uint8_t> frame(kWidth * kHeight * 2), rgb(kWidth * kHeight * 3),
        want(kWidth * kHeight * 2);

    Plan plan = plan_faults(s, rng, static_cast<uint32_t>(frames));
    uint32_t next = 0;  // sequence the next delivered frame must carry
    long accounted = 0;
    long unplug_at = unplug ? frames / 2 : -1;
    // Error frames due before the next good one, failed calls owed by the
    // last burst, and the transient returns seen since the last frame. An
    // unplug can take error frames away unseen.
    long pending_errors = 0, burst_owed = 0, transient_since_frame = 0;
    auto skip_errors = [&] {
        pending_errors = 0;
        burst_owed = 0;
        transient_since_frame = 0;
        while (plan.errors.count(next)) {
            plan.errors.erase(next++);
            ++st.error_frames;
            ++accounted;
            ++st.expected_transient;
            ++pending_errors;
        }
    };
    skip_errors();

    // At the end, the failures owed are collected before stopping.
    while ((accounted < frames || transient_since_frame < pending_errors + burst_owed) &&
           st.failure.empty()) {
        int size = -1;
        int r = cam_grabframe(s.index, frame.data(), &size);
        if (r != 0) {
            int err = errno;
            if (r == -1 && (err == EAGAIN || err == EINTR)) {
                ++st.transient_returns;
                ++transient_since_frame;
                continue;
            }
            if (err == ENODEV && g_unplug_armed[s.index]) {
                // The cable is back: close, open and stream again. Frames the
                // device completed before it went are gone with it.
                // No burst is thrown while the unplug is armed, so every
                // transient return since the last frame was an error frame.
                long gone = pending_errors - transient_since_frame;
                st.error_frames -= gone;
                st.expected_transient -= gone;
                accounted -= gone;
                std::unique_lock<std::shared_mutex> lock(g_slot_guard[s.index]);
                if (cam_close(s.index) != 0) fail("cam_close after unplug");
                simcam::replug(s.node);
                if (!start(s)) fail("reopen after replug");
                plan = plan_faults(s, rng, static_cast<uint32_t>(frames - accounted));
                next = 0;
                skip_errors();
                ++st.unplugs;
                g_unplug_armed[s.index] = false;
                continue;
            }
            fail("cam_grabframe " + std::to_string(r) + ": " + std::strerror(err));
            break;
        }

        if (s.fourcc == V4L2_PIX_FMT_YUYV) {
            simcam::render_yuyv(kWidth, kHeight, next, want.data());
            if (size != static_cast<int>(want.size()) || frame != want)
                fail("YUYV frame " + std::to_string(next) + " differs");
            else
                ++st.good;
        } else {
            int d = Jpg2Rgb(frame.data(), size, rgb.data());
            if (plan.corrupt.erase(next)) {
                if (d == 0)
                    ++st.corrupt_decoded;
                else if (d == -1)
                    ++st.corrupt_failed;
                else
                    fail("Jpg2Rgb result " + std::to_string(d));
            } else if (d != 0 || simcam::read_stamp_rgb(rgb.data(), kWidth, kHeight) !=
                                     static_cast<long>(next)) {
                fail("MJPG frame " + std::to_string(next) + " decoded to " + std::to_string(d) +
                     ", stamp " +
                     std::to_string(simcam::read_stamp_rgb(rgb.data(), kWidth, kHeight)));
            } else {
                ++st.good;
            }
        }
        ++next;
        ++accounted;
        skip_errors();

        // Faults for the next calls; a burst is only thrown once the last
        // one is used up (a frame got through), so its effect is known.
        if (unplug_at >= 0 && accounted >= unplug_at) {
            g_unplug_armed[s.index] = true;
            simcam::unplug_after(s.node, 3);
            unplug_at = -1;
        } else if (!g_unplug_armed[s.index]) {
            int roll = pct(rng);
            if (roll < 4) {
                int len = 1 + pct(rng) % 12;
                simcam::fail_request(s.node, VIDIOC_DQBUF, roll % 2 ? EINTR : EAGAIN, len);
                ++st.bursts;
                st.burst_failures += len;
                st.expected_transient += len / kRetries;
                burst_owed = len / kRetries;
            } else if (roll < 6) {
                simcam::fail_request(s.node, VIDIOC_QBUF, EINTR, 1 + pct(rng) % (kRetries - 1));
                ++st.requeue_bursts;
            }
        }
    }
    if (st.transient_returns != st.expected_transient)
        fail("transient failures: " + std::to_string(st.transient_returns) + ", expected " +
             std::to_string(st.expected_transient));
    st.lost = accounted < frames ? frames - accounted : 0;
}

// Controls and registers on both slots, read back after each write.
struct ControlStats {
    long ops = 0, failed_while_unplugged = 0, interrupted = 0;
    std::string failure;
};

void control(const std::atomic<bool>& stop, const Slot (&slots)[2], ControlStats& st) {
    std::mt19937 rng(7);
    auto fail = [&](const std::string& what) {
        if (st.failure.empty()) st.failure = what;
    };
    for (unsigned i = 0; !stop && st.failure.empty(); ++i) {
        int slot = static_cast<int>(i % 2);
        std::shared_lock<std::shared_mutex> lock(g_slot_guard[slot]);
        bool armed = g_unplug_armed[slot];
        if (!armed && i % 16 == 0) {
            // A few interrupted extension-unit requests: the retries absorb them.
            simcam::fail_request(slots[slot].node, UVCIOC_CTRL_QUERY, EINTR, 1 + rng() % 3);
            ++st.interrupted;
        }
        uint16_t addr = static_cast<uint16_t>(0x100 + rng() % 0x100);
        uint8_t dsp = static_cast<uint8_t>(rng()), dsp_back = 0;
        uint16_t word = static_cast<uint16_t>(rng()), word_back = 0;
        unsigned bright = rng() % 65, bright_back = 0;
        int results[] = {cam_dsp_write(slot, addr, dsp),
                         cam_dsp_read(slot, addr, &dsp_back),
                         cam_sensor_write16(slot, addr, word),
                         cam_sensor_read16(slot, addr, &word_back),
                         cam_control_set(slot, V4L2_CID_BRIGHTNESS, bright),
                         cam_control_get(slot, V4L2_CID_BRIGHTNESS, &bright_back)};
        st.ops += 6;
        bool ok = true;
        for (int r : results) ok = ok && r == 0;
        // The unplug flag is read again: the device may go during the calls.
        if (!ok && (armed || g_unplug_armed[slot])) {
            ++st.failed_while_unplugged;
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        if (!ok) fail("control traffic failed on slot " + std::to_string(slot));
        lock.unlock();
        // An application adjusts now and then; a tight loop would only starve the grabs.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (dsp_back != dsp || word_back != word || bright_back != bright)
            fail("register or control read back a different value on slot " + std::to_string(slot));
    }
}

TEST(Soak, TwoSlotsWithFaults) {
    long frames = env_number("CAMKIT_SOAK_FRAMES", 10000);
    unsigned seed = static_cast<unsigned>(env_number("CAMKIT_SOAK_SEED", 20261208));
    simcam::reset();
    simcam::remove_all_cameras();
    ASSERT_TRUE(simcam::add_camera(camera("/dev/video0", "/dev/video1", V4L2_PIX_FMT_MJPEG)));
    ASSERT_TRUE(simcam::add_camera(camera("/dev/video2", "/dev/video3", V4L2_PIX_FMT_YUYV)));
    size_t fds_before = open_fds();

    const Slot slots[2] = {{0, "/dev/video0", V4L2_PIX_FMT_MJPEG},
                           {1, "/dev/video2", V4L2_PIX_FMT_YUYV}};
    for (const Slot& s : slots) ASSERT_TRUE(start(s)) << s.node;

    SlotStats st[2];
    ControlStats ctl;
    std::atomic<bool> stop{false};
    std::thread controller(control, std::cref(stop), std::cref(slots), std::ref(ctl));
    std::thread mjpg(stream, std::cref(slots[0]), frames - frames / 2, true, seed, std::ref(st[0]));
    std::thread yuyv(stream, std::cref(slots[1]), frames / 2, false, seed + 1, std::ref(st[1]));
    mjpg.join();
    yuyv.join();
    stop = true;
    controller.join();

    for (const Slot& s : slots) {
        EXPECT_EQ(cam_stop(s.index), 0);
        EXPECT_EQ(cam_close(s.index), 0);
    }
    EXPECT_EQ(simcam::live_mappings(), 0u);
    EXPECT_EQ(simcam::open_descriptors(), 0u);
    EXPECT_EQ(open_fds(), fds_before);

    const char* names[2] = {"MJPG", "YUYV"};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(st[i].failure, "") << names[i];
        EXPECT_EQ(st[i].lost, 0) << names[i];
        std::printf(
            "soak %s: frames %ld = good %ld + error %ld + damaged %ld (rejected %ld, decoded %ld); "
            "DQBUF bursts %ld (%ld failed attempts, %ld calls reported EAGAIN/EINTR), "
            "QBUF bursts %ld, unplugs %ld, lost %ld\n",
            names[i],
            st[i].good + st[i].error_frames + st[i].corrupt_failed + st[i].corrupt_decoded,
            st[i].good, st[i].error_frames, st[i].corrupt_failed + st[i].corrupt_decoded,
            st[i].corrupt_failed, st[i].corrupt_decoded, st[i].bursts, st[i].burst_failures,
            st[i].transient_returns, st[i].requeue_bursts, st[i].unplugs, st[i].lost);
    }
    EXPECT_EQ(st[0].unplugs, 1);
    EXPECT_EQ(ctl.failure, "");
    std::printf("soak controls: %ld calls, %ld rounds failed while unplugged, %ld EINTR bursts\n",
                ctl.ops, ctl.failed_while_unplugged, ctl.interrupted);
}

}  // namespace
