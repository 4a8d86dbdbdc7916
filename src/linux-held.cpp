// The system answers for Linux: the block devices that stand on the bytes a copy would write (the
// target device, its partitions, loop devices over the target file or device and theirs, to any
// depth), and whether the kernel holds one of them for someone else: a copy must not write under
// a mounted file system, swap or a volume.

#include "linux-shared.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{

// A block device with bytes, by the name the kernel gives it (and devtmpfs its node).
struct Device {
    dev_t number;
    std::string name;
};

// A bound loop device: the file (its device and inode) or the device it stands on, from `offset`
// on, for `size` bytes.
struct Loop {
    Device device;
    dev_t fileDevice;
    ino_t inode;
    dev_t backing;
    off_t offset;
    off_t size;
};

// A device that stands on the target: its byte x is the target's byte first + x, for x < size.
struct Layer {
    Device device;
    off_t first;
    off_t size;
    bool partition;
    int depth;
};

// The part of `below` that a device starting `at` bytes into it, `size` bytes long, stands on.
Layer Above(const Layer& below, const Device& device, off_t at, off_t size)
{
    const off_t room = at < below.size ? below.size - at : 0;
    return {device, Plus(below.first, at), std::min(size, room), false, below.depth + 1};
}

// Every block device that has bytes, from /proc/partitions: a loop device with nothing bound to
// it has none, and is not listed.
std::vector<Device> ListDevices()
{
    std::vector<Device> devices;
    const std::string table = ReadText("/proc/partitions");
    for (std::size_t line = 0; line < table.size();) {
        const std::size_t end = std::min(table.find('\n', line), table.size());
        const char* text = table.c_str() + line;
        char* after = nullptr;
        const unsigned long major = std::strtoul(text, &after, 10);
        const char* minorText = after;
        const unsigned long minor = std::strtoul(minorText, &after, 10);
        const char* blocksText = after;
        std::strtoull(blocksText, &after, 10);
        const std::size_t name = after - table.c_str();
        const std::size_t from = std::min(table.find_first_not_of(' ', name), end);
        if (after != blocksText && after != minorText && from < end) {
            devices.push_back({makedev(major, minor), table.substr(from, end - from)});
        }
        line = end + 1;
    }
    return devices;
}

// What each bound loop device stands on, as it says itself.
std::vector<Loop> ListLoops(const std::vector<Device>& devices)
{
    std::vector<Loop> loops;
    for (const Device& device : devices) {
        // Only the loop devices themselves: with partitions of their own numbers, those of
        // loop3 are loop3p1 and on, and answer for the whole device.
        if (major(device.number) != LOOP_MAJOR ||
            device.name.find_first_not_of("0123456789", 4) != std::string::npos) {
            continue;
        }
        const int fd = open(("/dev/" + device.name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        // The node is that device when the loop device it opens has its number.
        loop_info64 status = {};
        std::uint64_t size = 0;
        if (ioctl(fd, LOOP_GET_STATUS64, &status) == 0 &&
            std::to_string(status.lo_number) == device.name.substr(4) &&
            ioctl(fd, BLKGETSIZE64, &size) == 0 && size <= INT64_MAX &&
            status.lo_offset <= INT64_MAX) {
            loops.push_back({device, static_cast<dev_t>(status.lo_device),
                             static_cast<ino_t>(status.lo_inode),
                             static_cast<dev_t>(status.lo_rdevice),
                             static_cast<off_t>(status.lo_offset), static_cast<off_t>(size)});
        }
        close(fd);
    }
    return loops;
}

// The kernel holds the device for someone else: a file system mounted from it, swap, device-mapper
// or md built on it, or a program that opened it exclusively. Opening it exclusively fails then
// (the test mkfs makes), and for a disk also while one of its partitions is held. Another program
// that makes the same test holds it for a moment only, and is waited out. Where the device cannot
// be opened, nothing is known of it.
bool IsHeld(const Device& device)
{
    const std::string path = "/dev/" + device.name;
    struct stat node = {};
    if (stat(path.c_str(), &node) != 0 || !S_ISBLK(node.st_mode) || node.st_rdev != device.number) {
        return false;
    }
    for (int attempt = 1;; ++attempt) {
        const int fd = open(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            close(fd);
            return false;
        }
        if (errno != EBUSY || attempt == 4) {
            return errno == EBUSY;
        }
        const timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
}

// The device is in use by itself, as the kernel shows: a file system mounted from it, swap on it,
// or device-mapper or md built on it. (A disk that a program holds whole makes each of its
// partitions refuse an exclusive open too, though none of them is in use.)
bool IsInUseItself(const Device& device)
{
    const auto names = [&device](const std::string& path) {
        struct stat node = {};
        return path.rfind("/dev/", 0) == 0 && stat(path.c_str(), &node) == 0 &&
               S_ISBLK(node.st_mode) && node.st_rdev == device.number;
    };
    // A Btrfs mount has a number of its own: its source names the device.
    for (const Mount& mount : ReadMounts()) {
        if (mount.device == device.number || names(mount.source)) {
            return true;
        }
    }
    // Swap: a path at the start of each line but the heading.
    const std::string swaps = ReadText("/proc/swaps");
    for (std::size_t line = swaps.find('\n'); line < swaps.size();) {
        const std::size_t end = std::min(swaps.find('\n', line + 1), swaps.size());
        if (names(Unescape(
                swaps.substr(line + 1, swaps.find_first_of(" \t\n", line + 1) - line - 1)))) {
            return true;
        }
        line = end;
    }
    const std::string holders = "/sys/dev/block/" + std::to_string(major(device.number)) + ":" +
                                std::to_string(minor(device.number)) + "/holders";
    DIR* dir = opendir(holders.c_str());
    bool held = false;
    if (dir != nullptr) {
        while (const dirent* entry = readdir(dir)) {
            held = held || entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return held;
}

// The partitions of a disk, where its bytes lie on it (sysfs counts in 512-byte sectors).
std::vector<Layer> Partitions(const Layer& disk, const std::vector<Device>& devices)
{
    std::vector<Layer> partitions;
    const std::string sys = "/sys/dev/block/" + std::to_string(major(disk.device.number)) + ":" +
                            std::to_string(minor(disk.device.number)) + "/";
    for (const Device& device : devices) {
        // A partition's directory lies in its disk's, and its name begins with the disk's.
        if (device.name.size() <= disk.device.name.size() ||
            device.name.compare(0, disk.device.name.size(), disk.device.name) != 0) {
            continue;
        }
        const std::string dir = sys + device.name;
        dev_t number = 0;
        if (!ParseDevice(ReadLine(dir + "/dev"), number) || number != device.number) {
            continue;
        }
        const off_t start = ReadNumber(dir + "/start");
        const off_t size = ReadNumber(dir + "/size");
        if (start > kToTheEnd / 512 || size > kToTheEnd / 512) {
            continue;
        }
        Layer partition = Above(disk, device, start * 512, size * 512);
        partition.partition = true;
        partitions.push_back(partition);
    }
    return partitions;
}

} // namespace

Held FindHeld(std::FILE* file, std::int64_t at)
{
    Held held = {kNothingHeld, {}};
    struct stat target = {};
    if (fstat(fileno(file), &target) != 0 ||
        !(S_ISREG(target.st_mode) || S_ISBLK(target.st_mode))) {
        return held;
    }
    const std::vector<Device> devices = ListDevices();
    // A file has nothing on it unless a loop device is bound to it: most often none is at all.
    const std::vector<Loop> loops = ListLoops(devices);
    if (S_ISREG(target.st_mode) && loops.empty()) {
        return held;
    }
    const bool overDevices =
        std::any_of(loops.begin(), loops.end(), [](const Loop& loop) { return loop.backing != 0; });
    std::vector<Layer> pending;
    if (S_ISBLK(target.st_mode)) {
        for (const Device& device : devices) {
            if (device.number == target.st_rdev) {
                pending.push_back({device, 0, kToTheEnd, false, 0});
            }
        }
    } else {
        const Layer file = {{0, {}}, 0, kToTheEnd, true, 0};
        for (const Loop& loop : loops) {
            if (loop.backing == 0 && loop.fileDevice == target.st_dev &&
                loop.inode == target.st_ino) {
                pending.push_back(Above(file, loop.device, loop.offset, loop.size));
            }
        }
    }
    const auto hold = [&held, at](const Layer& layer) {
        const off_t from = std::max<off_t>(layer.first, at);
        if (layer.size > 0 && Plus(layer.first, layer.size) > at && from < held.from) {
            held.from = from;
            held.device = "/dev/" + layer.device.name;
        }
    };
    while (!pending.empty()) {
        const Layer layer = pending.back();
        pending.pop_back();
        // Layers below layers: more than a few is a loop in the system's own answers. A layer
        // that lies before the copy, or after a held one, changes nothing.
        if (layer.depth > kDeepest || Plus(layer.first, layer.size) <= at ||
            layer.first >= held.from) {
            continue;
        }
        for (const Loop& loop : loops) {
            if (loop.backing != 0 && loop.backing == layer.device.number) {
                pending.push_back(Above(layer, loop.device, loop.offset, loop.size));
            }
        }
        // A partition was asked as its disk's part; it has no partitions of its own.
        if (layer.partition) {
            continue;
        }
        // A disk that is free has no partition held either; they matter only for loop devices
        // over them.
        const bool busy = IsHeld(layer.device);
        if (!busy && !overDevices) {
            continue;
        }
        // A disk is busy while one of its partitions is held, and each partition is busy while
        // the disk is held whole. The partitions are taken to be what is held where one of them
        // is free, or where each busy one is in use itself; else the disk is held whole.
        std::vector<Layer> busyParts;
        bool oneFree = false;
        for (const Layer& partition : Partitions(layer, devices)) {
            if (busy && IsHeld(partition.device)) {
                busyParts.push_back(partition);
            } else {
                oneFree = true;
            }
            pending.push_back(partition);
        }
        const bool partsHeld =
            !busyParts.empty() &&
            (oneFree || std::all_of(busyParts.begin(), busyParts.end(),
                                    [](const Layer& part) { return IsInUseItself(part.device); }));
        if (partsHeld) {
            std::for_each(busyParts.begin(), busyParts.end(), hold);
        } else if (busy) {
            hold(layer);
        }
    }
    return held;
}
