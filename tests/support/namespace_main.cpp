#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "support/namespace.h"

namespace vantrel::test {
namespace {

std::string g_reason = "not entered";

std::string os_error(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// In a chroot whose root is not a mount point (a package build's), / cannot be made private, and in
// a new mount namespace /proc/self/exe would name the test from outside the chroot.
bool root_is_a_mount_point() {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mount_point;
        fields >> id >> parent >> device >> root >> mount_point;
        if (mount_point == "/") return true;
    }
    return false;
}

std::string enter_private_namespace() {
    if (!root_is_a_mount_point()) return "the root directory is not a mount point (a chroot?)";
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return os_error("unshare(CLONE_NEWNS|CLONE_NEWNET)");
    // Keep our mounts from propagating back to the host.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return os_error("make / private");
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return os_error("socket");
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
        ::close(s);
        return os_error("SIOCGIFFLAGS lo");
    }
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    int rc = ::ioctl(s, SIOCSIFFLAGS, &ifr);
    ::close(s);
    if (rc != 0) return os_error("bring lo up");
    // /var/run links to /run: a private tmpfs there gives a private /var/run/usbmuxd.
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return os_error("mount tmpfs on /run");
    // The real daemon may write pairing records here.
    ::mkdir("/var/lib/lockdown", 0755);
    if (::mount("tmpfs", "/var/lib/lockdown", "tmpfs", 0, "mode=0755") != 0)
        return os_error("mount tmpfs on /var/lib/lockdown");
    return {};
}

}  // namespace

const std::string& namespace_unavailable_reason() { return g_reason; }

}  // namespace vantrel::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Single-threaded here, as unshare(CLONE_NEWNS) requires.
    vantrel::test::g_reason = vantrel::test::enter_private_namespace();
    return RUN_ALL_TESTS();
}
