// The system answers for Linux: what a block device or a file stands on, to any depth (a
// partition on its disk, a loop device on its file, device-mapper and md on their parts, a file
// on its file system's device, an overlay's file on its layers), so that the input and the target
// are known to be the same bytes under two names before anything is written.

#include "linux-sysfs.h"
#include "platform.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
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

constexpr off_t kToTheEnd = INT64_MAX;
constexpr int kDeepest = 16;

// Bytes [first, last) of one store: a block device, or a file. Below a file system or the parts
// of device-mapper and md, where the bytes lie is not known: they lie `somewhere` in the range.
struct Reach {
    bool file;
    dev_t device;
    ino_t inode;
    off_t first;
    off_t last;
    bool somewhere;
    // A file's change time, which an overlay's file shares with the file on its layer.
    std::int64_t changed = 0;
};

// A file on an overlay's layer whose directory the mount table does not name (a relative path is
// relative to a directory long gone; inside a container, the layers are outside it): on any
// device, known by its inode number and change time.
constexpr dev_t kAnyDevice = 0;

// Two names reach the same bytes. Two that each lie somewhere on one store (two files of one file
// system, two volumes of one disk) are not known to meet, and are taken to be apart.
bool Overlap(const Reach& a, const Reach& b)
{
    const bool anyDevice = a.device == kAnyDevice || b.device == kAnyDevice;
    const bool sameDevice =
        a.device == b.device || (a.file && b.file && anyDevice && a.changed == b.changed);
    return a.file == b.file && sameDevice && (!a.file || a.inode == b.inode) && a.first < b.last &&
           b.first < a.last && !(a.somewhere && b.somewhere);
}

// a + b for b >= 0, kept at the largest position where it would pass it.
off_t Plus(off_t a, off_t b)
{
    return a > kToTheEnd - b ? kToTheEnd : a + b;
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

// The devices of an overlay's layers, from the mount table: its file is the file of the same
// inode number on one of them (as an overlay whose layers share a file system numbers them).
std::vector<dev_t> OverlayLayers(dev_t overlay)
{
    std::vector<dev_t> layers;
    const std::string table = ReadText("/proc/self/mountinfo");
    const std::string number =
        " " + std::to_string(major(overlay)) + ":" + std::to_string(minor(overlay)) + " ";
    for (std::size_t line = 0; line < table.size();) {
        const std::size_t end = std::min(table.find('\n', line), table.size());
        const std::string entry = table.substr(line, end - line);
        line = end + 1;
        if (entry.find(number) == std::string::npos ||
            entry.find(" - overlay ") == std::string::npos) {
            continue;
        }
        // The options name the layers' directories: lowerdir=A:B,upperdir=C (lowerdir+=A,
        // lowerdir+=B from the newer mount calls).
        const std::string options = entry.substr(entry.rfind(' ') + 1) + ",";
        for (std::size_t at = 0, next; (next = options.find(',', at)) != std::string::npos;
             at = next + 1) {
            const std::string option = options.substr(at, next - at);
            const std::size_t value = option.find('=') + 1;
            if (option.rfind("lowerdir", 0) != 0 && option.rfind("upperdir=", 0) != 0) {
                continue;
            }
            const std::string paths = option.substr(value) + ":";
            for (std::size_t from = 0, to; (to = paths.find(':', from)) != std::string::npos;
                 from = to + 1) {
                const std::string path = paths.substr(from, to - from);
                struct stat layer = {};
                layers.push_back(path[0] == '/' && stat(path.c_str(), &layer) == 0 ? layer.st_dev
                                                                                   : kAnyDevice);
            }
        }
    }
    return layers;
}

// What is still to be followed: a device (no path), or whatever a path names.
struct Pending {
    Reach reach;
    std::string path;
    int depth;
};

// A file: itself, its overlay's layers, and its file system's device, which holds its bytes
// somewhere.
void ReachFile(std::vector<Reach>& reached, std::vector<Pending>& pending, int fd,
               const struct stat& file, Reach reach, int depth)
{
    reach.file = true;
    reach.device = file.st_dev;
    reach.inode = file.st_ino;
    reach.changed = file.st_ctim.tv_sec * std::int64_t{1000000000} + file.st_ctim.tv_nsec;
    reached.push_back(reach);
    struct statfs system = {};
    if (major(file.st_dev) == 0 && fstatfs(fd, &system) == 0 &&
        static_cast<std::uint32_t>(system.f_type) == OVERLAYFS_SUPER_MAGIC) {
        for (const dev_t layer : OverlayLayers(file.st_dev)) {
            reached.push_back({true, layer, file.st_ino, reach.first, reach.last, reach.somewhere,
                               reach.changed});
        }
    }
    if (major(file.st_dev) != 0) {
        pending.push_back({{false, file.st_dev, 0, 0, kToTheEnd, true}, {}, depth + 1});
    }
}

// A device: itself, and what it stands on.
void ReachDevice(std::vector<Reach>& reached, std::vector<Pending>& pending, Reach reach, int depth)
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
    if (!backing.empty()) {
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
        pending.push_back({reach, {}, 0});
        // A loop device names its file itself, where sysfs cannot be read.
        loop_info64 loop = {};
        if (major(self.st_rdev) == LOOP_MAJOR && ioctl(fd, LOOP_GET_STATUS64, &loop) == 0) {
            reached.push_back(Within({true, static_cast<dev_t>(loop.lo_device),
                                      static_cast<ino_t>(loop.lo_inode), first, last, false},
                                     static_cast<off_t>(loop.lo_offset),
                                     static_cast<off_t>(loop.lo_sizelimit)));
        }
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
            ReachDevice(reached, pending, next.reach, next.depth);
        } else if (stat(next.path.c_str(), &named) != 0) {
            continue;
        } else if (S_ISBLK(named.st_mode)) {
            next.reach.device = named.st_rdev;
            ReachDevice(reached, pending, next.reach, next.depth);
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
