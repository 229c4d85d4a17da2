// Writes the seed corpus of the fuzz targets into the directory given:
// small JPEG images as the encoder writes them and as cameras send them
// (no Huffman tables), cut short at several points, and a few sizes and
// texts for the other targets. Run by hand when the seeds should change:
//   make_corpus fuzz/corpus
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes encode(int w, int h, int comps, int h_samp, int v_samp, bool progressive, int restart,
             int quality) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&c, &out, &out_size);
    c.image_width = static_cast<JDIMENSION>(w);
    c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = comps;
    c.in_color_space = comps == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    if (comps == 3) {
        c.comp_info[0].h_samp_factor = h_samp;
        c.comp_info[0].v_samp_factor = v_samp;
    }
    if (progressive) jpeg_simple_progression(&c);
    c.restart_interval = static_cast<unsigned>(restart);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(static_cast<size_t>(w) * comps);
    while (c.next_scanline < c.image_height) {
        for (int x = 0; x < w * comps; ++x)
            row[x] = static_cast<unsigned char>((x * 13 + c.next_scanline * 29) & 0xFF);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    Bytes b(out, out + out_size);
    free(out);
    jpeg_destroy_compress(&c);
    return b;
}

// Drops every DHT segment, as cameras do: decoders fall back on the
// standard tables.
Bytes without_huffman(const Bytes& in) {
    Bytes out(in.begin(), in.begin() + 2);
    size_t i = 2;
    while (i + 4 <= in.size() && in[i] == 0xFF) {
        unsigned char marker = in[i + 1];
        size_t len = static_cast<size_t>(in[i + 2]) << 8 | in[i + 3];
        if (marker == 0xDA) break;  // scan data: the rest as it is
        if (marker != 0xC4) out.insert(out.end(), in.begin() + i, in.begin() + i + 2 + len);
        i += 2 + len;
    }
    out.insert(out.end(), in.begin() + i, in.end());
    return out;
}

void write(const std::string& dir, const std::string& name, const Bytes& b) {
    std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return;
    }
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: make_corpus DIR (with DIR/jpg2rgb, DIR/convert, DIR/strings)\n");
        return 2;
    }
    std::string jpg = std::string(argv[1]) + "/jpg2rgb";
    Bytes camera = without_huffman(encode(32, 16, 3, 2, 1, false, 0, 80));  // 4:2:2
    write(jpg, "camera_422_no_dht.jpg", camera);
    write(jpg, "color_420.jpg", encode(16, 8, 3, 2, 2, false, 0, 75));
    write(jpg, "color_444_odd.jpg", encode(7, 5, 3, 1, 1, false, 0, 90));
    write(jpg, "gray.jpg", encode(9, 3, 1, 1, 1, false, 0, 50));
    write(jpg, "progressive.jpg", encode(24, 16, 3, 2, 2, true, 0, 60));
    write(jpg, "restart.jpg", encode(32, 32, 3, 2, 1, false, 1, 80));
    write(jpg, "one_pixel_no_dht.jpg", without_huffman(encode(1, 1, 3, 2, 1, false, 0, 80)));
    for (size_t cut : {2u, 20u, 100u, 200u}) {
        if (cut < camera.size())
            write(jpg, "camera_truncated_" + std::to_string(cut) + ".jpg",
                  Bytes(camera.begin(), camera.begin() + cut));
    }
    write(jpg, "camera_no_eoi.jpg", Bytes(camera.begin(), camera.end() - 2));
    write(jpg, "not_jpeg.bin", text("BM this is no image"));

    // convert: mode byte (0 Yuyv2Rgb, 1 SwapRB, 2 SaveBmp), width + 4, height + 4, pixels.
    std::string conv = std::string(argv[1]) + "/convert";
    const unsigned char pixels[] = {16, 128, 235, 128, 81, 90, 81, 240, 0, 255, 255, 0};
    struct Seed {
        const char* name;
        unsigned char mode, w, h;
    } seeds[] = {{"yuyv_640", 0, 132, 12}, {"yuyv_odd", 0, 8, 7},  {"yuyv_zero", 0, 4, 6},
                 {"yuyv_neg", 0, 1, 1},    {"swap_33", 1, 37, 7},  {"swap_1", 1, 5, 5},
                 {"swap_zero", 1, 4, 4},   {"bmp_5x3", 2, 9, 7},   {"bmp_1x1", 2, 5, 5},
                 {"bmp_empty", 2, 4, 9},   {"bmp_wide", 2, 255, 6}};
    for (const Seed& s : seeds) {
        Bytes b = {s.mode, s.w, s.h};
        b.insert(b.end(), pixels, pixels + sizeof pixels);
        write(conv, s.name, b);
    }

    // strings: selector byte (0 trim_l, 1 trim_r, 2 trim, 3 setString, 4 card name), text.
    std::string str = std::string(argv[1]) + "/strings";
    const char* texts[] = {"  \t padded \t ", "", "\t\t", "no blanks", "line\r\n "};
    for (int sel = 0; sel < 4; ++sel)
        for (int t = 0; t < 5; ++t) {
            Bytes b = {static_cast<unsigned char>(sel)};
            Bytes tx = text(texts[t]);
            b.insert(b.end(), tx.begin(), tx.end());
            write(str, "sel" + std::to_string(sel) + "_" + std::to_string(t), b);
        }
    const char* cards[] = {"SimCam Module: SimCam Module",
                           "No colon at all",
                           ":",
                           "  lead:  trail \t",
                           "a:b:c",
                           "UVC Camera (046d:0825): very long card name"};
    for (size_t i = 0; i < sizeof cards / sizeof *cards; ++i) {
        Bytes b = {4};
        Bytes tx = text(cards[i]);
        b.insert(b.end(), tx.begin(), tx.end());
        write(str, "card_" + std::to_string(i), b);
    }
    return 0;
}
