// camctl serve: the cameras' pictures and controls over HTTP, for a browser.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <memory>

#include "choose.h"
#include "commands.h"
#include "serve/feed.h"
#include "serve/options.h"
#include "serve/server.h"
#include "status.h"
#include "ui.h"

namespace {

const char kProg[] = "camctl serve";

void usage(FILE* out) {
    fputs(
        "usage: camctl serve [-d DEVICE]... [-f MJPG|YUY2] [-s WxH] [-r FPS]\n"
        "                    [--listen ADDR:PORT] [--quality Q] [--max-clients N]\n"
        "                    [--auth USER:PASSWORD | --auth-file FILE]\n"
        "                    [--allow-origin ORIGIN] [--allow-host NAME]...\n"
        "                    [--record-dir DIR]\n"
        "\n"
        "Serves one or two cameras (-d twice) to web browsers: a page with the\n"
        "live pictures and the controls, an MJPEG stream and snapshots. Each\n"
        "camera is captured once and shared by every client. What is not given\n"
        "comes from the first camera in the catalogue as for 'camctl stream'.\n"
        "\n"
        "  -d DEVICE              video device node (the first in slot 0)\n"
        "  -f MJPG|YUY2           pixel format (YUY2 frames are encoded as JPEG)\n"
        "  -s WxH                 frame size in pixels\n"
        "  -r FPS                 frame rate to ask for\n"
        "  --listen ADDR:PORT     where to listen (default 127.0.0.1:8080)\n"
        "  --quality Q            JPEG quality of encoded frames, 1..100 (default 80)\n"
        "  --max-clients N        streams at once (default 32); more get 503\n"
        "  --auth USER:PASSWORD   ask browsers for this user and password\n"
        "  --auth-file FILE       the same from FILE (one line, mode 600), out of ps's sight\n"
        "  --allow-origin ORIGIN  let pages of this origin use the API\n"
        "  --allow-host NAME      also answer requests for this host name (the\n"
        "                         listen address, and loopback names on loopback,\n"
        "                         are always answered); may be given more than once\n"
        "  --record-dir DIR       record into this folder on request (POST /api/record);\n"
        "                         without it recording is off\n"
        "\n"
        "A camera nobody watches rests (is not captured) until the next stream or\n"
        "snapshot. Stops on SIGINT or SIGTERM.\n"
        "\n"
        "Exit status: 0 done, 1 usage error, 2 device error.\n",
        out);
}

void on_signal(int) {
    serve::request_stop();
}

std::string address_text(const serve::ServeOptions& o, unsigned port) {
    std::string host = o.listen.substr(0, o.listen.rfind(':'));
    return "http://" + host + ":" + std::to_string(port) + "/";
}

}  // namespace

int cmd_serve(int argc, char** argv) {
    serve::ServeOptions o;
    int status = serve::parse_serve_options(kProg, argc, argv, usage, &o);
    if (status >= 0) return status;

    std::vector<const char*> devices = o.devices;
    if (devices.empty()) devices.push_back(nullptr);
    std::unique_ptr<serve::Feed> feeds[2];
    serve::Feed* served[2] = {nullptr, nullptr};
    status = kOk;
    for (size_t cam = 0; cam < devices.size(); ++cam) {
        Capture wanted = choose_capture(kProg, devices[cam], o.fourcc, o.width, o.height, o.fps);
        feeds[cam].reset(new serve::Feed);
        if (!serve::start_feed(kProg, wanted, static_cast<int>(cam), static_cast<int>(o.quality),
                               feeds[cam].get())) {
            status = kDeviceError;
            break;
        }
        served[cam] = feeds[cam].get();
    }

    if (status == kOk) {
        serve::clear_stop();
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_signal;
        struct sigaction old_int, old_term, old_pipe;
        sigaction(SIGINT, &sa, &old_int);
        sigaction(SIGTERM, &sa, &old_term);
        sa.sa_handler = SIG_IGN;  // a client gone mid-frame is not our death
        sigaction(SIGPIPE, &sa, &old_pipe);
        bool ok = serve::run_server(o.server, served, [&](unsigned port) {
            for (int cam = 0; cam < 2; ++cam) {
                if (!served[cam]) continue;
                const Capture& c = served[cam]->capture;
                ui::note("%s: camera %d: %s (%s %ux%u at %s)", kProg, cam, c.device.c_str(),
                         fourcc_text(c.fourcc).c_str(), c.width, c.height,
                         rate_text(c.denominator, c.numerator).c_str());
            }
            printf("%s: listening on %s\n", kProg, address_text(o, port).c_str());
            if (!serve::is_loopback(o.server.address))
                fprintf(stderr,
                        "%s: warning: %s is reachable from other machines; consider --auth\n",
                        kProg, o.listen.c_str());
            fflush(stdout);
        });
        if (!ok) {
            fprintf(stderr, "%s: cannot listen on %s: %s\n", kProg, o.listen.c_str(),
                    strerror(errno));
            status = kUsage;
        }
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
        sigaction(SIGPIPE, &old_pipe, nullptr);
    }
    // run_server stopped the feeds it served; stopping again only joins.
    for (auto& f : feeds)
        if (f) serve::stop_feed(f.get());
    return status;
}
