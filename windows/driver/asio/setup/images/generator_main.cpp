// vq36_setup_images: draws the setup dialog's images into a folder.
//
//   vq36_setup_images OUTDIR              writes 200.png ... 224.png (no 211) and the icon's
//                                         115_16x16.png, 115_32x32.png, 115_48x48.png
//   vq36_setup_images --preview IMAGEDIR OUTDIR
//                                         writes frames of the dialog composed from them
//
// The same sources give the same bytes on every run.

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <cstdio>
#include <string>

#include "setup_art.h"

namespace {
// The font caches that cairo and fontconfig keep for the process are freed before it ends, so
// that a leak checker sees only what the generator itself leaves behind.
struct FontCachesFreedAtExit {
    ~FontCachesFreedAtExit() {
        cairo_debug_reset_static_data();
        FcFini();
    }
};
}  // namespace

int main(int argc, char** argv) {
    FontCachesFreedAtExit freeCaches;
    if (argc == 4 && std::string(argv[1]) == "--preview") {
        std::string error;
        if (!setupart::writePreviews(argv[2], argv[3], &error)) {
            std::fprintf(stderr, "vq36_setup_images: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: vq36_setup_images OUTDIR\n"
                     "       vq36_setup_images --preview IMAGEDIR OUTDIR\n");
        return 2;
    }
    for (const auto& image : setupart::allImages()) {
        cairo_surface_t* s = setupart::render(image);
        std::string path = std::string(argv[1]) + "/" + image.name + ".png";
        cairo_status_t status = cairo_surface_status(s);
        if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_write_to_png(s, path.c_str());
        cairo_surface_destroy(s);
        if (status != CAIRO_STATUS_SUCCESS) {
            std::fprintf(stderr, "vq36_setup_images: cannot write %s: %s\n", path.c_str(),
                         cairo_status_to_string(status));
            return 1;
        }
    }
    return 0;
}
