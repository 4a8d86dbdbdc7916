// The system answers for Linux: what a block device or a file stands on, to any depth (a
// partition on its disk, a loop device on its file, device-mapper and md on their parts, a file
// on its file system's device, an overlay's file on its layers), so that the input and the target
// are known to be the same bytes under two names before anything is written.

#include "linux-shared.h"
#include "platform.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace
{

// Bytes [first, last) of one store: a block device, or a file. Below a file system or the parts
// of device-mapper and md, where the bytes lie is not known: they lie `somewhere` in the range.
struct Reach {
    bool file;
    dev_t device;
    ino_t inode;
    off_t first;
    off_t last;
    bool somewhere;
    // A file's size and times, which an overlay's file shows as the file on its layer has them.
    InputStamp stamp = {};
};

// A file on an overlay's layer that cannot be told by its path (the mount table names the layer's
// directory by a path relative to a directory long gone, or, inside a container, outside it): on
// any device, under any inode number (the overlay shows the lower file's once the upper one holds
// the bytes), known by its size and times.
constexpr dev_t kAnyDevice = 0;

// Two names of the same file, or of the same device.
bool Same(const Reach& a, const Reach& b)
{
    if (a.file != b.file) {
        return false;
    }
    if (a.file && (a.device == kAnyDevice || b.device == kAnyDevice)) {
        return a.stamp == b.stamp;
    }
    return a.device == b.device && (!a.file || a.inode == b.inode);
}

// Two names reach the same bytes. Two that each lie somewhere on one store (two files of one file
// system, two volumes of one disk) are not known to meet, and are taken to be apart.
bool Overlap(const Reach& a, const Reach& b)
{
    return Same(a, b) && a.first < b.last && b.first < a.last && !(a.somewhere && b.somewhere);
}

// [first, last) of a part that starts `at` bytes into what it stands on and holds `size` bytes
// (0: as many as there are), in the coordinates of what it stands on.
Reach Within(Reach reach, off_t at, off_t size)
{
    if (size > 0) {
        reach.first = std::min(reach.first, size);
        reach.last = std::min(reach.last, size);
    }
    reach.first = Plus(reach.first, at);
    reach.last = Plus(reach.last, at);
    return reach;
}

// The mount an open file was reached through, by the mount's number, which names it whatever its
// device number says (an overlay whose layers lie on other file systems numbers its files apart).
Mount MountOf(int fd)
{
    const std::string info = ReadText("/proc/self/fdinfo/" + std::to_string(fd));
    const std::size_t field = info.find("mnt_id:");
    if (field == std::string::npos) {
        return {};
    }
    const std::string id = std::to_string(std::strtoll(info.c_str() + field + 7, nullptr, 10));
    for (const Mount& mount : ReadMounts()) {
        if (mount.id == id) {
            return mount;
        }
    }
    return {};
}

// The directories of an overlay's layers as its options name them, the upper one first, then the
// lower ones from the top down (lowerdir=A:B, or lowerdir+=A,lowerdir+=B from the newer mount
// calls); then the layers that only hold data for the others (datadir+=).
std::vector<std::string> OverlayLayers(const std::string& options, std::size_t& visible)
{
    std::vector<std::string> upper;
    std::vector<std::string> lower;
    std::vector<std::string> data;
    const std::string list = options + ",";
    for (std::size_t at = 0, next; (next = list.find(',', at)) != std::string::npos;
         at = next + 1) {
        const std::string option = list.substr(at, next - at);
        const std::size_t value = option.find('=') + 1;
        std::vector<std::string>* layers = nullptr;
        if (option.rfind("upperdir=", 0) == 0) {
            layers = &upper;
        } else if (option.rfind("lowerdir", 0) == 0) {
            layers = &lower;
        } else if (option.rfind("datadir", 0) == 0) {
            layers = &data;
        } else {
            continue;
        }
        const std::string paths = option.substr(value) + ":";
        for (std::size_t from = 0, to; (to = paths.find(':', from)) != std::string::npos;
             from = to + 1) {
            layers->push_back(Unescape(paths.substr(from, to - from)));
        }
    }
    upper.insert(upper.end(), lower.begin(), lower.end());
    visible = upper.size();
    upper.insert(upper.end(), data.begin(), data.end());
    return upper;
}

// What is still to be followed: a device (no path), or whatever a path names.
struct Pending {
    Reach reach;
    std::string path;
    int depth;
};

// The one file an overlay's file is: the same path under the layers' directories, in the first
// layer that has it (the upper one once the file is copied up, as writing it does). Only where that
// file shows the very size, times and blocks the overlay shows for its own is it taken for it;
// otherwise any file that could be it is: the file of its inode number on each layer's file
// system, and any file of its size and times.
void ReachOverlayFile(std::vector<Reach>& reached, std::vector<Pending>& pending, int fd,
                      const struct stat& file, const Reach& reach, int depth)
{
    const Mount mount = MountOf(fd);
    std::array<char, 4096> name{};
    const ssize_t length =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), name.data(), name.size());
    const std::string path(name.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
    std::size_t visible = 0;
    const std::vector<std::string> layers = OverlayLayers(mount.options, visible);
    const bool inside = mount.type == "overlay" && !mount.point.empty() &&
                        path.rfind(mount.point, 0) == 0 &&
                        (mount.point == "/" || path.size() == mount.point.size() ||
                         path[mount.point.size()] == '/');
    if (inside) {
        const std::string below = path.substr(mount.point == "/" ? 0 : mount.point.size());
        const std::string relative = mount.root == "/" ? below : mount.root + below;
        for (std::size_t i = 0; i < visible && layers[i].rfind('/', 0) == 0; ++i) {
            struct stat real = {};
            if (lstat((layers[i] + relative).c_str(), &real) != 0) {
                if (errno == ENOENT) {
                    continue;
                }
                break;
            }
            const InputStamp stamp = StampOf(real);
            if (S_ISREG(real.st_mode) && stamp == reach.stamp && real.st_blocks == file.st_blocks) {
                pending.push_back({reach, layers[i] + relative, depth + 1});
                return;
            }
            break;
        }
    }
    for (const std::string& layer : layers) {
        struct stat directory = {};
        if (layer.rfind('/', 0) == 0 && stat(layer.c_str(), &directory) == 0) {
            reached.push_back({true, directory.st_dev, file.st_ino, reach.first, reach.last,
                               reach.somewhere, reach.stamp});
        }
    }
    reached.push_back({true, kAnyDevice, 0, reach.first, reach.last, reach.somewhere, reach.stamp});
}

// The devices of a file system that numbers its files with a device of no disk (Btrfs, which
// may stand on several): Btrfs lists them in sysfs, else the mount table names the one mounted.
void ReachFileSystem(std::vector<Pending>& pending, int fd, std::uint32_t type, int depth)
{
    std::vector<dev_t> devices;
    btrfs_ioctl_fs_info_args info = {};
    if (type == BTRFS_SUPER_MAGIC && ioctl(fd, BTRFS_IOC_FS_INFO, &info) == 0) {
        std::array<char, 40> id{};
        const unsigned char* u = info.fsid;
        std::snprintf(id.data(), id.size(),
                      "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
                      u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12],
                      u[13], u[14], u[15]);
        const std::string list = std::string("/sys/fs/btrfs/") + id.data() + "/devices/";
        if (DIR* entries = opendir(list.c_str())) {
            while (const dirent* entry = readdir(entries)) {
                dev_t device = 0;
                if (entry->d_name[0] != '.' &&
                    ParseDevice(ReadLine(list + entry->d_name + "/dev"), device)) {
                    devices.push_back(device);
                }
            }
            closedir(entries);
        }
    }
    if (devices.empty()) {
        const Mount mount = MountOf(fd);
        struct stat source = {};
        if (mount.source.rfind('/', 0) == 0 && stat(mount.source.c_str(), &source) == 0 &&
            S_ISBLK(source.st_mode)) {
            devices.push_back(source.st_rdev);
        }
    }
    for (const dev_t device : devices) {
        pending.push_back({{false, device, 0, 0, kToTheEnd, true}, {}, depth + 1});
    }
}

// A file: itself, the file behind it on an overlay's layer, and its file system's devices, which
// hold its bytes somewhere.
void ReachFile(std::vector<Reach>& reached, std::vector<Pending>& pending, int fd,
               const struct stat& file, Reach reach, int depth)
{
    reach.file = true;
    reach.device = file.st_dev;
    reach.inode = file.st_ino;
    reach.stamp = StampOf(file);
    reached.push_back(reach);
    if (major(file.st_dev) != 0) {
        pending.push_back({{false, file.st_dev, 0, 0, kToTheEnd, true}, {}, depth + 1});
        return;
    }
    struct statfs system = {};
    if (fstatfs(fd, &system) != 0) {
        return;
    }
    const auto type = static_cast<std::uint32_t>(system.f_type);
    if (type == OVERLAYFS_SUPER_MAGIC) {
        ReachOverlayFile(reached, pending, fd, file, reach, depth);
    } else {
        ReachFileSystem(pending, fd, type, depth);
    }
}

// The file under a loop device, by the device and inode numbers the device gives: the path that
// sysfs shows may name nothing (the file was renamed or deleted since) or another file (it was
// set up in another mount namespace). The device is opened where no descriptor of it is at hand.
bool LoopFile(int fd, dev_t device, const std::string& sys, loop_info64& loop)
{
    int own = -1;
    if (fd < 0) {
        const std::string events = ReadText(sys + "/uevent");
        const std::size_t name = events.find("DEVNAME=");
        if (name == std::string::npos) {
            return false;
        }
        const std::string node =
            "/dev/" + events.substr(name + 8, events.find('\n', name) - name - 8);
        own = open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        fd = own;
    }
    struct stat node = {};
    const bool found = fd >= 0 && fstat(fd, &node) == 0 && S_ISBLK(node.st_mode) &&
                       node.st_rdev == device && ioctl(fd, LOOP_GET_STATUS64, &loop) == 0;
    if (own >= 0) {
        close(own);
    }
    return found;
}

// A device number as the kernel hands it out: 12 bits of major, 20 of minor, interleaved.
dev_t DecodeDevice(std::uint64_t number)
{
    return makedev((number >> 8) & 0xfff, (number & 0xff) | ((number >> 12) & 0xfff00));
}

// A device: itself, and what it stands on. `fd` has it open, or is -1.
void ReachDevice(std::vector<Reach>& reached, std::vector<Pending>& pending, Reach reach, int depth,
                 int fd)
{
    reached.push_back(reach);
    const std::string sys = "/sys/dev/block/" + std::to_string(major(reach.device)) + ":" +
                            std::to_string(minor(reach.device));
    // A partition is its disk's bytes from its start on (sysfs counts in 512-byte sectors); the
    // disk is the directory above it.
    Reach disk = reach;
    if (!ReadLine(sys + "/partition").empty() &&
        ParseDevice(ReadLine(sys + "/../dev"), disk.device)) {
        pending.push_back(
            {Within(disk, ReadNumber(sys + "/start") * 512, ReadNumber(sys + "/size") * 512),
             {},
             depth + 1});
    }
    // A loop device is its file's bytes from its offset on, as many as its size limit allows.
    const std::string backing = ReadLine(sys + "/loop/backing_file");
    loop_info64 loop = {};
    if (major(reach.device) == LOOP_MAJOR && LoopFile(fd, reach.device, sys, loop)) {
        const Reach file =
            Within({true, DecodeDevice(loop.lo_device), static_cast<ino_t>(loop.lo_inode),
                    reach.first, reach.last, reach.somewhere},
                   static_cast<off_t>(loop.lo_offset), static_cast<off_t>(loop.lo_sizelimit));
        reached.push_back(file);
        // Below the file: through its path where that still names it, else its device.
        struct stat named = {};
        if (stat(backing.c_str(), &named) == 0 && named.st_dev == file.device &&
            named.st_ino == file.inode) {
            pending.push_back({file, backing, depth + 1});
        } else if (major(file.device) != 0) {
            pending.push_back({{false, file.device, 0, 0, kToTheEnd, true}, {}, depth + 1});
        }
    } else if (!backing.empty()) {
        pending.push_back(
            {Within(reach, ReadNumber(sys + "/loop/offset"), ReadNumber(sys + "/loop/sizelimit")),
             backing, depth + 1});
    }
    // The parts of device-mapper and md devices: the bytes may lie anywhere on any of them.
    DIR* parts = opendir((sys + "/slaves").c_str());
    if (parts == nullptr) {
        return;
    }
    while (const dirent* part = readdir(parts)) {
        Reach whole = {false, 0, 0, 0, kToTheEnd, true};
        if (part->d_name[0] != '.' &&
            ParseDevice(ReadLine(sys + "/slaves/" + part->d_name + "/dev"), whole.device)) {
            pending.push_back({whole, {}, depth + 1});
        }
    }
    closedir(parts);
}

// Everything that an open file or device stands on, itself first, for its bytes [first, last).
std::vector<Reach> Follow(int fd, const struct stat& self, off_t first, off_t last)
{
    std::vector<Reach> reached;
    std::vector<Pending> pending;
    const Reach reach = {false, self.st_rdev, 0, first, last, false};
    if (S_ISREG(self.st_mode)) {
        ReachFile(reached, pending, fd, self, reach, 0);
    } else {
        ReachDevice(reached, pending, reach, 0, fd);
    }
    // Layers below layers: more than a few is a loop in the system's own answers.
    while (!pending.empty()) {
        Pending next = pending.back();
        pending.pop_back();
        if (next.depth > kDeepest) {
            continue;
        }
        struct stat named = {};
        if (next.path.empty()) {
            ReachDevice(reached, pending, next.reach, next.depth, -1);
        } else if (stat(next.path.c_str(), &named) != 0) {
            continue;
        } else if (S_ISBLK(named.st_mode)) {
            next.reach.device = named.st_rdev;
            ReachDevice(reached, pending, next.reach, next.depth, -1);
        } else if (S_ISREG(named.st_mode)) {
            const int file = open(next.path.c_str(), O_RDONLY | O_CLOEXEC);
            if (file >= 0) {
                ReachFile(reached, pending, file, named, next.reach, next.depth);
                close(file);
            }
        }
    }
    return reached;
}

// Some layer of one holds bytes of some layer of the other.
bool Meet(const std::vector<Reach>& one, const std::vector<Reach>& other)
{
    return std::any_of(one.begin(), one.end(), [&other](const Reach& a) {
        return std::any_of(other.begin(), other.end(),
                           [&a](const Reach& b) { return Overlap(a, b); });
    });
}

off_t SizeOf(int fd, const struct stat& self)
{
    return S_ISREG(self.st_mode) ? self.st_size : lseek(fd, 0, SEEK_END);
}

} // namespace

bool IsInputBehindTheFile(std::FILE* file, std::int64_t at)
{
    const int out = fileno(file);
    struct stat in = {};
    struct stat target = {};
    if (fstat(STDIN_FILENO, &in) != 0 || fstat(out, &target) != 0 ||
        !(S_ISREG(in.st_mode) || S_ISBLK(in.st_mode)) ||
        !(S_ISREG(target.st_mode) || S_ISBLK(target.st_mode))) {
        return false;
    }
    // Two files of one file system are never each other's layers.
    if (S_ISREG(in.st_mode) && S_ISREG(target.st_mode) && in.st_dev == target.st_dev) {
        return false;
    }
    // The input's bytes from its position to its end; the target's that they will cover.
    const off_t from = std::max<off_t>(lseek(STDIN_FILENO, 0, SEEK_CUR), 0);
    const off_t end = std::max(SizeOf(STDIN_FILENO, in), from);
    const off_t last = Plus(at, end - from);
    // A device's size is found by seeking: put standard input back where it was.
    lseek(STDIN_FILENO, from, SEEK_SET);
    return Meet(Follow(STDIN_FILENO, in, from, end), Follow(out, target, at, last));
}
