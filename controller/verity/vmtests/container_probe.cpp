// Drives the container image operations on their own inside the test guest:
//   container_probe image  <name>          prints the image path the container uses
//   container_probe mount  <name> [fstype] mounts the image, prints "overlay=0|1"
//   container_probe remove <name> 0|1      unmounts and removes, prints "removed=0|1"
// Exit status 1 with the error text on standard error when an operation raises.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "controller/container/container.h"
#include "controller/system/mount_table.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: container_probe image|mount|remove <name> [arg]\n", stderr);
        return 2;
    }
    const std::string action = argv[1];
    try {
        ql::Container container(argv[2], {}, action != "remove", false);
        if (action == "image") {
            std::printf("%s\n", container.image().c_str());
        } else if (action == "mount") {
            ql::Image_mount mounted = container.mount_rootfs_image(argc > 3 ? argv[3] : nullptr);
            mounted.release();
            std::printf("overlay=%d\n", ql::is_mount_point(container.rootfs_dir()) ? 1 : 0);
        } else if (action == "remove") {
            const bool overlay = argc > 3 && std::strcmp(argv[3], "1") == 0;
            std::printf("removed=%d\n", container.remove_verity_device(overlay) ? 1 : 0);
        } else {
            std::fputs("unknown action\n", stderr);
            return 2;
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
