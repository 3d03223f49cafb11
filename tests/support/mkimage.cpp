// mkimage: writes synthetic test files for the Wine tests.
//   mkimage worm OUT [--size N] [--lfarlc N] [--e-lfanew N] [--no-pe] [--sections N]
//                    [--opt-size N] [--search-start N] [--no-signatures] [--host FILE]
//   mkimage checksum OUT --size N [--mz]     first 717 bytes forged to the worm's checksum
//   mkimage overlay OUT --in FILE --size N   a program with the signatures in an
//                                            appended overlay (FILE must end before them)
// Numbers may be decimal or 0x-prefixed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "detect/image_rules.h"
#include "image_builder.h"

static bool read_file(const char *path, Bytes *out)
{
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

static bool write_file(const char *path, const Bytes &data)
{
    FILE *f = fopen(path, "wb");
    if (f == NULL)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

static int usage(void)
{
    fprintf(stderr, "usage: mkimage worm|checksum|overlay OUT [options]\n");
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    std::string kind = argv[1];
    const char *out_path = argv[2];
    WormImageLayout layout;
    const char *host_path = NULL, *in_path = NULL;
    bool mz = false, size_given = false;
    for (int i = 3; i < argc; ++i) {
        std::string opt = argv[i];
        auto number = [&]() -> uint32_t {
            if (i + 1 >= argc) {
                fprintf(stderr, "mkimage: %s needs a value\n", opt.c_str());
                exit(2);
            }
            return static_cast<uint32_t>(strtoul(argv[++i], NULL, 0));
        };
        if (opt == "--size") { layout.size = number(); size_given = true; }
        else if (opt == "--lfarlc") layout.lfarlc = static_cast<uint16_t>(number());
        else if (opt == "--e-lfanew") layout.e_lfanew = number();
        else if (opt == "--no-pe") layout.pe_signature = false;
        else if (opt == "--sections") layout.number_of_sections = static_cast<uint16_t>(number());
        else if (opt == "--opt-size") layout.size_of_optional_header = static_cast<uint16_t>(number());
        else if (opt == "--search-start") layout.search_start = number();
        else if (opt == "--no-signatures") layout.signatures = false;
        else if (opt == "--host" && i + 1 < argc) host_path = argv[++i];
        else if (opt == "--in" && i + 1 < argc) in_path = argv[++i];
        else if (opt == "--mz") mz = true;
        else return usage();
    }

    Bytes data;
    if (kind == "worm") {
        data = build_worm_image(layout);
        if (host_path != NULL) {
            Bytes host;
            if (!read_file(host_path, &host)) {
                fprintf(stderr, "mkimage: cannot read %s\n", host_path);
                return 1;
            }
            data.insert(data.end(), host.begin(), host.end());
        }
    } else if (kind == "checksum") {
        if (!size_given || layout.size < CHECKSUM_SPAN)
            return usage();
        data.assign(layout.size, 0x20);
        if (mz) {
            data[0] = 'M';
            data[1] = 'Z';
        }
        forge_checksum(data, 0x100, WORM_CHECKSUM);
    } else if (kind == "overlay") {
        if (in_path == NULL || !read_file(in_path, &data) || !size_given)
            return usage();
        if (data.size() > 0x74D9 || layout.size < 0xA3C8 + 32) {
            fprintf(stderr, "mkimage: %s is too large for an overlay\n", in_path);
            return 1;
        }
        data.resize(layout.size, 0);
        place_signatures(data);
    } else {
        return usage();
    }
    if (!write_file(out_path, data)) {
        fprintf(stderr, "mkimage: cannot write %s\n", out_path);
        return 1;
    }
    return 0;
}
