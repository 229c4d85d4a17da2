// camctl list: the device catalogue as a tree for people or as JSON for scripts.
#include <cstdio>
#include <cstring>
#include <string>

#include "camapi.h"
#include "commands.h"

namespace {

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: camctl list [--json]\n\n"
                 "Lists the attached USB cameras: device node, card name, USB ids and\n"
                 "strings, and per pixel format the frame sizes and frame rates.\n\n"
                 "  --json   print the catalogue as one JSON document\n"
                 "  --help   show this text\n\n"
                 "Exit status: 0 on success, 1 on a usage error, 2 when udev is unavailable.\n");
}

// Frames per second of an interval stored denominator first; "?" when the
// driver gave no numerator.
std::string fps(const CamFrameRate& rate) {
    if (rate.numerator == 0) return "?";
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", double(rate.denominator) / rate.numerator);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

// Device strings come from USB descriptors: keep control characters out of
// the terminal.
std::string printable(const char* s) {
    std::string out;
    for (; *s; ++s) out += (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7f) ? '?' : *s;
    return out;
}

void printTree(const CamDevice* list, int count) {
    if (count == 0) {
        std::printf("no cameras found\n");
        return;
    }
    for (int d = 0; d < count; ++d) {
        const CamDevice& dev = list[d];
        std::printf("%s  %s\n", dev.devNode[0] ? printable(dev.devNode).c_str() : "(no node)",
                    dev.devName[0] ? printable(dev.devName).c_str() : "(no card name)");
        std::printf("  usb %04x:%04x  manufacturer \"%s\"  product \"%s\"  serial \"%s\"\n",
                    static_cast<unsigned>(dev.idVendor) & 0xffffu,
                    static_cast<unsigned>(dev.idProduct) & 0xffffu,
                    printable(dev.manufacturer).c_str(), printable(dev.product).c_str(),
                    printable(dev.serial).c_str());
        if (!dev.fmtList) {
            std::printf("  (cannot be opened or queried)\n");
            continue;
        }
        if (dev.fmtNum == 0) std::printf("  (no MJPG or YUYV capture formats)\n");
        for (int f = 0; f < dev.fmtNum; ++f) {
            const CamFormat& fmt = dev.fmtList[f];
            std::printf("  %s (0x%08x)\n", fmt.fmtName, fmt.pixelFormat);
            for (int r = 0; r < fmt.resNum; ++r) {
                const CamResolution& res = fmt.resList[r];
                std::printf("    %ux%u ", res.width, res.height);
                if (res.rateNum == 0) std::printf(" (no frame rates)");
                for (int i = 0; i < res.rateNum; ++i)
                    std::printf("%s%s", i ? ", " : " ", fps(res.rateList[i]).c_str());
                std::printf("%s\n", res.rateNum ? " fps" : "");
            }
        }
    }
}

// JSON string with escapes; bytes that are not valid UTF-8 become U+FFFD so
// the document always parses.
std::string jsonString(const char* s) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++p;
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
            ++p;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++p;
        } else {
            int len = (c >= 0xc2 && c <= 0xdf)   ? 2
                      : (c >= 0xe0 && c <= 0xef) ? 3
                      : (c >= 0xf0 && c <= 0xf4) ? 4
                                                 : 0;
            bool valid = len > 0;
            for (int i = 1; valid && i < len; ++i) valid = (p[i] & 0xc0) == 0x80;
            // Overlong forms, surrogates and code points past U+10FFFF.
            if (valid && len == 3)
                valid = !(c == 0xe0 && p[1] < 0xa0) && !(c == 0xed && p[1] >= 0xa0);
            if (valid && len == 4)
                valid = !(c == 0xf0 && p[1] < 0x90) && !(c == 0xf4 && p[1] >= 0x90);
            if (valid) {
                out.append(reinterpret_cast<const char*>(p), len);
                p += len;
            } else {
                out += "\\ufffd";
                ++p;
            }
        }
    }
    return out + "\"";
}

void printJson(const CamDevice* list, int count) {
    std::printf("{\"devices\": [");
    for (int d = 0; d < count; ++d) {
        const CamDevice& dev = list[d];
        std::printf(
            "%s\n  {\"devNode\": %s, \"devName\": %s, \"manufacturer\": %s, "
            "\"product\": %s, \"serial\": %s, \"idVendor\": %d, \"idProduct\": %d, "
            "\"opened\": %s, \"formats\": [",
            d ? "," : "", jsonString(dev.devNode).c_str(), jsonString(dev.devName).c_str(),
            jsonString(dev.manufacturer).c_str(), jsonString(dev.product).c_str(),
            jsonString(dev.serial).c_str(), dev.idVendor, dev.idProduct,
            dev.fmtList ? "true" : "false");
        for (int f = 0; dev.fmtList && f < dev.fmtNum; ++f) {
            const CamFormat& fmt = dev.fmtList[f];
            std::printf("%s\n    {\"fmtName\": %s, \"pixelFormat\": %u, \"resolutions\": [",
                        f ? "," : "", jsonString(fmt.fmtName).c_str(), fmt.pixelFormat);
            for (int r = 0; r < fmt.resNum; ++r) {
                const CamResolution& res = fmt.resList[r];
                std::printf("%s\n      {\"width\": %u, \"height\": %u, \"frameIntervals\": [",
                            r ? "," : "", res.width, res.height);
                for (int i = 0; i < res.rateNum; ++i) {
                    const CamFrameRate& rate = res.rateList[i];
                    std::printf("%s{\"denominator\": %u, \"numerator\": %u, \"fps\": %s}",
                                i ? ", " : "", rate.denominator, rate.numerator,
                                rate.numerator ? fps(rate).c_str() : "null");
                }
                std::printf("]}");
            }
            std::printf("]}");
        }
        std::printf("]}");
    }
    std::printf("%s]}\n", count ? "\n" : "");
}

}  // namespace

int cmd_list(int argc, char** argv) {
    bool json = false;
    for (int i = 0; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--json")) {
            json = true;
        } else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "camctl list: unknown argument '%s'\n", argv[i]);
            usage(stderr);
            return 1;
        }
    }
    if (cam_enum_devices() < 0) return 2;  // the library has said why
    if (json)
        printJson(cam_get_device_list(), cam_get_device_num());
    else
        printTree(cam_get_device_list(), cam_get_device_num());
    cam_free_devices();
    return std::fflush(stdout) == 0 ? 0 : 1;
}
