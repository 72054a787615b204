// vantel-make-image: writes a firmware file for demos and experiments.
//   vantel-make-image OUT LENGTH [--isp] [--marker] [--profile GF] [--target NAME]
//                     [--zero-segments a,b,...] [--seed N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/image_builder.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s OUT LENGTH [--isp] [--marker] [--profile CODE] [--target NAME]\n"
                     "          [--zero-segments a,b,...] [--seed N]\n",
                     argv[0]);
        return 1;
    }
    vantel::ImageSpec spec;
    spec.length = std::strtoul(argv[2], nullptr, 0);
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--isp") spec.isp = true;
        else if (a == "--marker") spec.marker = true;
        else if (a == "--profile") spec.profile = value();
        else if (a == "--target") spec.target = value();
        else if (a == "--seed") spec.seed = static_cast<std::uint32_t>(std::strtoul(value().c_str(), nullptr, 0));
        else if (a == "--zero-segments") {
            std::string list = value();
            for (const char* p = list.c_str(); *p;) {
                char* end = nullptr;
                spec.zeroSegments.push_back(std::strtoul(p, &end, 10));
                p = *end == ',' ? end + 1 : end;
                if (end == p && *p) break;
            }
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 1;
        }
    }
    vantel::writeImageFile(argv[1], vantel::buildImage(spec));
    return 0;
}
