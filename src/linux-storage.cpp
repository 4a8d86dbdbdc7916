// The system answers for Linux on storage. Every name of bytes maps down to ranges of base stores,
// a regular file (by device and inode numbers) or a whole disk: a partition to its disk's range, a
// loop device to its file's or device's, device-mapper and md to each whole part, an overlay's file
// to its real file, a file system's files to its devices, a mount from a file to that file. Asked
// on the bases: does the input lie on the bytes written, and where is the first written byte that
// a mount, swap, a volume or a program holds. Comparing bases covers every direction at once; all
// but a program's exclusive hold is read from sysfs and /proc, which any user may read.

#include "platform.h"
#include "posix.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <linux/major.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace
{

// The last position there is: a range that runs to the end of whatever it lies on.
constexpr off_t kToTheEnd = INT64_MAX;

// Layers below layers, deeper than this, are a loop in the system's own answers.
constexpr int kDeepest = 16;

// a + b for b >= 0, kept at the largest position where it would pass it.
off_t Plus(off_t a, off_t b)
{
    return a > kToTheEnd - b ? kToTheEnd : a + b;
}

InputStamp StampOf(const struct stat& file)
{
    return {file.st_size, Nanoseconds(file.st_mtim), Nanoseconds(file.st_ctim)};
}

// Each line of a file of sysfs or /proc (every one ends in a line feed), as it is read: a table is
// never held whole.
template <typename Each> void EachLine(const std::string& path, Each each)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    std::array<char, 4096> piece{};
    std::string line;
    for (;;) {
        const ssize_t n = read(fd, piece.data(), piece.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (const char *at = piece.data(), *end = at + n; at < end;) {
            const auto* feed = static_cast<const char*>(std::memchr(at, '\n', end - at));
            line.append(at, feed != nullptr ? feed : end);
            at = feed != nullptr ? feed + 1 : end;
            if (feed != nullptr) {
                each(line);
                line.clear();
            }
        }
    }
    close(fd);
}

// The first line of a small file, such as a sysfs attribute; empty where there is none.
std::string ReadLine(const std::string& path)
{
    std::string first;
    EachLine(path, [&first, lines = 0](const std::string& line) mutable {
        first = lines++ == 0 ? line : first;
    });
    return first;
}

// The number on its first line; 0 where there is none, or a negative one.
off_t ReadNumber(const std::string& path)
{
    return std::max(std::strtoll(ReadLine(path).c_str(), nullptr, 10), 0LL);
}

// A device number as sysfs and the mount table write it, MAJOR:MINOR.
bool ParseDevice(const std::string& text, dev_t& device)
{
    char* colon = nullptr;
    char* end = nullptr;
    const unsigned long major = std::strtoul(text.c_str(), &colon, 10);
    const unsigned long minor = *colon == ':' ? std::strtoul(colon + 1, &end, 10) : 0;
    device = makedev(major, minor);
    return colon != text.c_str() && end != nullptr && end != colon + 1 && *end == '\0';
}

// A device number as a loop device's status gives it: 12 bits of major, 20 of minor, interleaved.
dev_t DecodeDevice(std::uint64_t number)
{
    return makedev((number >> 8) & 0xfff, (number & 0xff) | ((number >> 12) & 0xfff00));
}

std::string SysOf(dev_t device)
{
    return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The devices a sysfs directory lists by their entries' dev: slaves, holders, a Btrfs's devices.
std::vector<dev_t> Listed(const std::string& directory)
{
    std::vector<dev_t> devices;
    if (DIR* entries = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(entries)) {
            dev_t device = 0;
            if (entry->d_name[0] != '.' &&
                ParseDevice(ReadLine(directory + "/" + entry->d_name + "/dev"), device)) {
                devices.push_back(device);
            }
        }
        closedir(entries);
    }
    return devices;
}

// Where a symbolic link points: /proc/self/fd/N to the path an open file was opened by.
std::string LinkOf(const std::string& path)
{
    std::array<char, 4096> name{};
    const ssize_t length = readlink(path.c_str(), name.data(), name.size());
    return {name.data(), length > 0 ? static_cast<std::size_t>(length) : 0};
}

// A path as the mount table and /proc/swaps write it: a space, tab, line feed or backslash as \ooo.
std::string Unescape(std::string_view text)
{
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto octal = [&text](std::size_t at) { return text[at] >= '0' && text[at] <= '7'; };
        if (text[i] == '\\' && i + 3 < text.size() && octal(i + 1) && octal(i + 2) &&
            octal(i + 3)) {
            plain += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                       (text[i + 3] - '0'));
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

// A mount: the directory of the file system mounted (`root`), where it is mounted, its type, source
// and options.
struct Mount {
    std::string root;
    std::string point;
    std::string type;
    std::string source;
    std::string options;
};

// Each mount this process sees, one line of /proc/self/mountinfo at a time: its number, the device
// number its files carry and its source as the table writes them, and the whole line read.
template <typename Each> void EachMount(Each each)
{
    EachLine("/proc/self/mountinfo", [&each](const std::string& line) {
        // id parent major:minor root point options [optional fields] - type source options
        std::array<std::string_view, 24> fields{};
        std::size_t count = 0;
        for (std::size_t at = 0, next; at <= line.size() && count < fields.size(); at = next + 1) {
            next = std::min(line.find(' ', at), line.size());
            fields.at(count++) = std::string_view(line).substr(at, next - at);
        }
        const auto* dash = std::find(fields.begin(), fields.begin() + count, "-");
        dev_t device = 0;
        if (count < 5 || fields.begin() + count - dash < 4 ||
            !ParseDevice(std::string(fields[2]), device)) {
            return;
        }
        each(fields[0], device, dash[2], [&] {
            return Mount{Unescape(fields[3]), Unescape(fields[4]), std::string(dash[1]),
                         Unescape(dash[2]), std::string(dash[3])};
        });
    });
}

// Bytes [first, last) of a base store, a regular file or a whole disk, that stand for the walked
// name's bytes from `at` on; below a file system or a volume's parts, `somewhere` in the range.
struct Base {
    bool file;
    dev_t device;
    ino_t inode;
    off_t first;
    off_t last;
    off_t at;
    bool somewhere;
    // A file's size and times, which an overlay's file shows as the file on its layer has them.
    InputStamp stamp;
};

// An overlay's file on a layer not told by its path: on any device, under any inode number (the
// overlay shows the lower file's once the upper one holds the bytes), known by size and times.
constexpr dev_t kAnyDevice = 0;

// The bases a name stands on, and every device passed on the way down. Only the input's (`deep`)
// passes from a file to its file system's devices: a target file's file system is below it.
struct Walk {
    bool deep;
    std::vector<Base> bases;
    std::vector<dev_t> devices;
    // The disk that the name walked down from is a partition of; 0 for any other name.
    dev_t disk;
    // What is still to be followed: a device, or what a path names (`named`, where known).
    struct Step {
        dev_t device;
        std::string path;
        Base range;
        int depth;
        struct stat named;
    };
    std::vector<Step> pending;
};

void Next(Walk& walk, dev_t device, std::string path, const Base& range, int depth,
          const struct stat& named = {})
{
    walk.pending.push_back({device, std::move(path), range, depth, named});
}

// [first, last) of a part that starts `at` bytes into what it stands on and holds `size` bytes
// (0: as many as there are), in the coordinates of what it stands on.
Base Within(Base range, off_t at, off_t size)
{
    if (size > 0) {
        range.first = std::min(range.first, size);
        range.last = std::min(range.last, size);
    }
    range.first = Plus(range.first, at);
    range.last = Plus(range.last, at);
    return range;
}

Base Anywhere(Base range)
{
    range.first = 0;
    range.last = kToTheEnd;
    range.somewhere = true;
    return range;
}

void DownFile(Walk& walk, int fd, const struct stat& file, Base range, int depth);

// What a path names: a device, or a file.
void DownPath(Walk& walk, const std::string& path, const Base& range, int depth, struct stat named)
{
    if (named.st_mode == 0 && stat(path.c_str(), &named) != 0) {
        return;
    }
    if (S_ISBLK(named.st_mode)) {
        Next(walk, named.st_rdev, {}, range, depth);
        return;
    }
    if (!S_ISREG(named.st_mode)) {
        return;
    }
    // A descriptor only where the file's own file system is asked (an overlay's, or the input's).
    const int fd =
        walk.deep || major(named.st_dev) == 0 ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    DownFile(walk, fd, named, range, depth);
    if (fd >= 0) {
        close(fd);
    }
}

// The mount an open file was reached through, by the mount's number, which names it whatever its
// device number says (an overlay whose layers lie on other file systems numbers its files apart).
Mount MountOf(int fd)
{
    std::string id;
    EachLine("/proc/self/fdinfo/" + std::to_string(fd), [&id](const std::string& line) {
        if (line.rfind("mnt_id:", 0) == 0) {
            id = std::to_string(std::strtoll(line.c_str() + 7, nullptr, 10));
        }
    });
    Mount found = {};
    EachMount([&found, &id](std::string_view number, dev_t, std::string_view, const auto& whole) {
        if (number == id) {
            found = whole();
        }
    });
    return found;
}

// An overlay's layers as its options name them: upper, lower from the top down (lowerdir=A:B, or
// lowerdir+=A,lowerdir+=B), then those only holding data for the others (datadir+=).
std::vector<std::string> OverlayLayers(const std::string& options, std::size_t& visible)
{
    std::array<std::vector<std::string>, 4> layers;
    for (std::size_t at = 0, next = 0; next != std::string::npos; at = next + 1) {
        next = options.find(',', at);
        const std::string option = options.substr(at, next - at);
        const std::size_t kind = option.rfind("upperdir=", 0) == 0  ? 0
                                 : option.rfind("lowerdir", 0) == 0 ? 1
                                 : option.rfind("datadir", 0) == 0  ? 2
                                                                    : 3;
        for (std::size_t from = option.find('=') + 1, to = 0; to != std::string::npos;
             from = to + 1) {
            to = option.find(':', from);
            layers.at(kind).push_back(Unescape(option.substr(from, to - from)));
        }
    }
    layers[0].insert(layers[0].end(), layers[1].begin(), layers[1].end());
    visible = layers[0].size();
    layers[0].insert(layers[0].end(), layers[2].begin(), layers[2].end());
    return layers[0];
}

// The one file an overlay's file is: the same path in the first layer that has it (the upper one
// once writing copied it up), where it shows the very size, times and blocks the overlay shows;
// otherwise any file that could be it: of its inode number on each layer, of its size and times.
void DownOverlay(Walk& walk, int fd, const struct stat& file, const Base& range, int depth)
{
    const Mount mount = MountOf(fd);
    const std::string path = LinkOf("/proc/self/fd/" + std::to_string(fd));
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
            if (S_ISREG(real.st_mode) && StampOf(real) == range.stamp &&
                real.st_blocks == file.st_blocks) {
                Next(walk, 0, layers[i] + relative, range, depth + 1, real);
                return;
            }
            break;
        }
    }
    for (const std::string& layer : layers) {
        struct stat directory = {};
        if (layer.rfind('/', 0) == 0 && stat(layer.c_str(), &directory) == 0) {
            Base same = range;
            same.device = directory.st_dev;
            walk.bases.push_back(same);
        }
    }
    Base any = range;
    any.device = kAnyDevice;
    walk.bases.push_back(any);
}

// The devices of a file system whose files carry no disk's number: all of Btrfs's, from sysfs;
// else the device or the file the mount table's source names.
void DownFileSystem(Walk& walk, int fd, std::uint32_t type, const Base& range, int depth)
{
    btrfs_ioctl_fs_info_args info = {};
    bool listed = false;
    if (type == BTRFS_SUPER_MAGIC && ioctl(fd, BTRFS_IOC_FS_INFO, &info) == 0) {
        std::array<char, 40> id{};
        const unsigned char* u = info.fsid;
        std::snprintf(id.data(), id.size(),
                      "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
                      u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12],
                      u[13], u[14], u[15]);
        for (const dev_t device : Listed(std::string("/sys/fs/btrfs/") + id.data() + "/devices")) {
            Next(walk, device, {}, Anywhere(range), depth + 1);
            listed = true;
        }
    }
    const std::string source = MountOf(fd).source;
    if (!listed && source.rfind('/', 0) == 0) {
        Next(walk, 0, source, Anywhere(range), depth + 1);
    }
}

// A file: itself, the file behind it on an overlay's layer, and for the input, the devices of its
// file system, which hold its bytes somewhere.
void DownFile(Walk& walk, int fd, const struct stat& file, Base range, int depth)
{
    range = {true,       file.st_dev, file.st_ino,     range.first,
             range.last, range.at,    range.somewhere, StampOf(file)};
    walk.bases.push_back(range);
    if (fd < 0) {
        return;
    }
    if (major(file.st_dev) != 0) {
        if (walk.deep) {
            Next(walk, file.st_dev, {}, Anywhere(range), depth + 1);
        }
        return;
    }
    struct statfs system = {};
    if (fstatfs(fd, &system) != 0) {
        return;
    }
    const auto type = static_cast<std::uint32_t>(system.f_type);
    if (type == OVERLAYFS_SUPER_MAGIC) {
        DownOverlay(walk, fd, file, range, depth);
    } else if (walk.deep) {
        DownFileSystem(walk, fd, type, range, depth);
    }
}

// A loop device is its file's or device's bytes from its offset on, up to its size limit. It tells
// its file's numbers through `fd` where it is open, else its node where this user may open it: the
// path sysfs gives may name nothing (the file was renamed or deleted) or another file (set up in
// another mount namespace). Where nothing tells what it stands on, it is a base itself.
void DownLoop(Walk& walk, dev_t device, const std::string& sys, const Base& range, int depth,
              int fd)
{
    int own = -1;
    if (fd < 0) {
        // Its node in /dev has the name of its directory in sysfs.
        const std::string link = LinkOf(sys);
        fd = own = open(("/dev/" + link.substr(link.rfind('/') + 1)).c_str(),
                        O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    struct stat node = {};
    loop_info64 loop = {};
    const bool told = fd >= 0 && fstat(fd, &node) == 0 && S_ISBLK(node.st_mode) &&
                      node.st_rdev == device && ioctl(fd, LOOP_GET_STATUS64, &loop) == 0;
    if (own >= 0) {
        close(own);
    }
    const dev_t fileDevice = DecodeDevice(loop.lo_device);
    const Base part =
        told ? Within(range, static_cast<off_t>(loop.lo_offset),
                      static_cast<off_t>(loop.lo_sizelimit))
             : Within(range, ReadNumber(sys + "/loop/offset"), ReadNumber(sys + "/loop/sizelimit"));
    // The file itself is all that is asked of a file told by its numbers, but for an overlay's
    // file or the input's.
    const std::string path = told && !walk.deep && major(fileDevice) != 0
                                 ? std::string()
                                 : ReadLine(sys + "/loop/backing_file");
    struct stat named = {};
    const bool found = !path.empty() && stat(path.c_str(), &named) == 0 &&
                       (S_ISREG(named.st_mode) || S_ISBLK(named.st_mode)) &&
                       (!told || (named.st_dev == fileDevice && named.st_ino == loop.lo_inode));
    if (told && loop.lo_rdevice != 0) {
        Next(walk, DecodeDevice(loop.lo_rdevice), {}, part, depth + 1);
    } else if (found) {
        Next(walk, 0, path, part, depth + 1, named);
    } else if (told) {
        walk.bases.push_back({true,
                              fileDevice,
                              static_cast<ino_t>(loop.lo_inode),
                              part.first,
                              part.last,
                              part.at,
                              part.somewhere,
                              {}});
        if (walk.deep && major(fileDevice) != 0) {
            Next(walk, fileDevice, {}, Anywhere(part), depth + 1);
        }
    } else {
        walk.bases.push_back(
            {false, device, 0, range.first, range.last, range.at, range.somewhere, {}});
    }
}

// A device: a partition is its disk's bytes from its start on (sysfs counts in 512-byte sectors),
// a loop device its file's, device-mapper and md any of their parts' bytes; any other is a disk.
// `fd` has it open, or is -1.
void DownDevice(Walk& walk, dev_t device, Base range, int depth, int fd)
{
    walk.devices.push_back(device);
    range.file = false;
    range.device = device;
    const std::string sys = SysOf(device);
    dev_t disk = 0;
    if (!ReadLine(sys + "/partition").empty() && ParseDevice(ReadLine(sys + "/../dev"), disk)) {
        if (depth == 0) {
            walk.disk = disk;
        }
        const off_t start = ReadNumber(sys + "/start");
        const off_t size = ReadNumber(sys + "/size");
        if (start <= kToTheEnd / 512 && size <= kToTheEnd / 512) {
            Next(walk, disk, {}, Within(range, start * 512, size * 512), depth + 1);
        }
        return;
    }
    if (major(device) == LOOP_MAJOR) {
        DownLoop(walk, device, sys, range, depth, fd);
        return;
    }
    const std::vector<dev_t> parts = Listed(sys + "/slaves");
    for (const dev_t part : parts) {
        Next(walk, part, {}, Anywhere(range), depth + 1);
    }
    if (parts.empty()) {
        walk.bases.push_back(range);
    }
}

// Follows what is pending, layers below layers, to the bases.
void Follow(Walk& walk)
{
    while (!walk.pending.empty()) {
        const Walk::Step step = walk.pending.back();
        walk.pending.pop_back();
        if (step.depth > kDeepest) {
            continue;
        }
        if (step.path.empty()) {
            DownDevice(walk, step.device, step.range, step.depth, -1);
        } else {
            DownPath(walk, step.path, step.range, step.depth, step.named);
        }
    }
}

// An open file or device, its bytes [first, last).
Walk Down(bool deep, int fd, const struct stat& self, off_t first, off_t last)
{
    Walk walk = {deep, {}, {}, 0, {}};
    const Base range = {false, 0, 0, first, last, first, false, {}};
    if (S_ISREG(self.st_mode)) {
        DownFile(walk, fd, self, range, 0);
    } else {
        DownDevice(walk, self.st_rdev, range, 0, fd);
    }
    Follow(walk);
    return walk;
}

// Two names of the same file, or of the same disk.
bool Same(const Base& a, const Base& b)
{
    const bool anywhere = a.file && (a.device == kAnyDevice || b.device == kAnyDevice);
    return a.file == b.file && (anywhere ? a.stamp == b.stamp
                                         : a.device == b.device && (!a.file || a.inode == b.inode));
}

// The first position of the name `to` walked down from whose byte lies on bytes of `other`;
// kNothingHeld where none does. Asked `strictly`, two ranges that each lie somewhere on one store
// (two files of one file system) are not known to meet, and are taken to be apart.
off_t FirstMet(const std::vector<Base>& to, const std::vector<Base>& other, bool strictly)
{
    off_t met = kNothingHeld;
    for (const Base& a : to) {
        for (const Base& b : other) {
            if (Same(a, b) && a.first < b.last && b.first < a.last &&
                !(strictly && a.somewhere && b.somewhere)) {
                met = std::min(
                    met, a.somewhere ? a.at : Plus(a.at, std::max<off_t>(0, b.first - a.first)));
            }
        }
    }
    return met;
}

// Standard input and the target as the run first asked: one look serves all three questions.
struct Ends {
    int target = -1;
    bool known = false;
    struct stat in = {};
    struct stat out = {};
};

const Ends& EndsOf(std::FILE* file)
{
    static Ends ends;
    if (ends.target != fileno(file)) {
        ends.target = fileno(file);
        ends.known = fstat(STDIN_FILENO, &ends.in) == 0 && fstat(ends.target, &ends.out) == 0;
    }
    return ends;
}

// A block device with bytes, as /proc/partitions lists it (an unbound loop device has none): the
// disk it is a partition of (0 for a disk), the first position of the target it stands on, whether
// it is mounted, swap or built on by a volume that the target is not (`used`), and whether an
// exclusive open succeeded (`free`) or failed (`busy`).
struct Device {
    dev_t number;
    std::string name;
    dev_t disk;
    off_t from;
    bool used;
    enum class Probe : unsigned char { none, free, busy } probe;
};

std::vector<Device> ListDevices()
{
    std::vector<Device> devices;
    EachLine("/proc/partitions", [&devices](const std::string& line) {
        // major minor #blocks name, under a heading and an empty line.
        char* end = nullptr;
        const unsigned long major = std::strtoul(line.c_str(), &end, 10);
        const unsigned long minor = std::strtoul(end, &end, 10);
        std::strtoull(end, &end, 10);
        const char* name = end + std::strspn(end, " ");
        if (*name != '\0' &&
            std::isdigit(static_cast<unsigned char>(line[line.find_first_not_of(' ')])) != 0) {
            devices.push_back(
                {makedev(major, minor), name, 0, kNothingHeld, false, Device::Probe::none});
        }
    });
    return devices;
}

// Its node in /dev, where that is the device; empty where there is none (a private /dev).
std::string NodeOf(const Device& device)
{
    struct stat node = {};
    const std::string path = "/dev/" + device.name;
    return stat(path.c_str(), &node) == 0 && S_ISBLK(node.st_mode) && node.st_rdev == device.number
               ? path
               : std::string();
}

void Pause(long nanoseconds)
{
    for (timespec left = {0, nanoseconds}; nanosleep(&left, &left) != 0 && errno == EINTR;) {
    }
}

// Opens the device exclusively, as mkfs and mount do: that fails while the kernel or a program
// holds it. Another run making the same test holds it for a moment only, and is waited out.
int OpenExclusive(const std::string& path)
{
    for (int attempt = 1;; ++attempt) {
        const int fd = open(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0 || errno != EBUSY || attempt == 3) {
            return fd;
        }
        Pause(2000000);
    }
}

Device::Probe Probed(int fd)
{
    return fd >= 0          ? Device::Probe::free
           : errno == EBUSY ? Device::Probe::busy
                            : Device::Probe::none;
}

// A volume (device-mapper, md) that the target's own way down does not pass is built on it.
bool HasOtherHolders(dev_t device, const std::vector<dev_t>& own)
{
    const std::vector<dev_t> holders = Listed(SysOf(device) + "/holders");
    return std::any_of(holders.begin(), holders.end(), [&own](dev_t holder) {
        return std::find(own.begin(), own.end(), holder) == own.end();
    });
}

// The bytes a disk's partitions lie on are held where one of them is in use itself, or free: a
// disk that a program holds whole makes each of its partitions refuse an exclusive open, as one
// held partition makes the disk refuse it.
bool HeldByPartitions(const Device& disk, const std::vector<Device>& devices)
{
    return std::any_of(devices.begin(), devices.end(), [&disk](const Device& part) {
        return part.disk == disk.number && (part.used || part.probe == Device::Probe::free);
    });
}

// What this run holds of its target until LetGo: exclusive opens, and its disk's lock.
std::vector<int> holding;

int Keep(int fd)
{
    if (fd >= 0) {
        holding.push_back(fd);
    }
    return fd;
}

// A device target is held exclusively through its descriptor, so that nothing mounts it during
// the copy; its disk's lock keeps udev from probing it and desktops from mounting it. Held by
// something no mount, swap or volume explains (another run), it is waited for a few seconds. A disk
// not held whole for a partition in use has its free partitions on the written bytes held.
void HoldTarget(int fd, Device& self, std::vector<Device>& devices, off_t end)
{
    const auto disk = std::find_if(devices.begin(), devices.end(), [&self](const Device& d) {
        return d.number == (self.disk != 0 ? self.disk : self.number);
    });
    const int lock = self.disk == 0 ? fd
                     : disk == devices.end()
                         ? -1
                         : open(NodeOf(*disk).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (lock >= 0 && flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (lock != fd) {
        Keep(lock);
    }
    const bool explained = self.used || (disk != devices.end() && disk->used) ||
                           (self.disk == 0 && HeldByPartitions(self, devices));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    int hold = OpenExclusive(path);
    for (int wait = 0; hold < 0 && errno == EBUSY && !explained && wait < 60; ++wait) {
        Pause(50000000);
        hold = OpenExclusive(path);
    }
    self.probe = Probed(Keep(hold));
    for (Device& part : devices) {
        if (self.probe == Device::Probe::busy && part.disk == self.number && part.from < end &&
            !part.used) {
            part.probe = Probed(Keep(OpenExclusive(NodeOf(part))));
        }
    }
}

} // namespace

bool IsInputTheFile(std::FILE* file)
{
    const Ends& ends = EndsOf(file);
    if (!ends.known || !S_ISREG(ends.in.st_mode) || ends.in.st_dev != ends.out.st_dev ||
        ends.in.st_ino != ends.out.st_ino) {
        return false;
    }
    // Standard input open for writing only is no input at all, even when it is the target.
    const int mode = fcntl(STDIN_FILENO, F_GETFL);
    return mode != -1 && (mode & O_ACCMODE) != O_WRONLY;
}

bool IsInputBehindTheFile(std::FILE* file, std::int64_t at)
{
    const Ends& ends = EndsOf(file);
    const struct stat& in = ends.in;
    if (!ends.known || !(S_ISREG(in.st_mode) || S_ISBLK(in.st_mode)) ||
        !(S_ISREG(ends.out.st_mode) || S_ISBLK(ends.out.st_mode))) {
        return false;
    }
    // Two files of one file system are never each other's layers.
    if (S_ISREG(in.st_mode) && S_ISREG(ends.out.st_mode) && in.st_dev == ends.out.st_dev) {
        return false;
    }
    // The input's bytes from its position to its end; the target's that they will cover.
    const off_t from = std::max<off_t>(lseek(STDIN_FILENO, 0, SEEK_CUR), 0);
    const off_t end = from + std::max<std::int64_t>(InputLength(), 0);
    const Walk input = Down(true, STDIN_FILENO, in, from, end);
    const Walk target = Down(true, fileno(file), ends.out, at, Plus(at, end - from));
    return FirstMet(target.bases, input.bases, true) != kNothingHeld;
}

void LetGo()
{
    for (const int fd : holding) {
        close(fd);
    }
    holding.clear();
}

Held FindHeld(std::FILE* file, std::int64_t at)
{
    Held held = {kNothingHeld, {}};
    const Ends& ends = EndsOf(file);
    if (!ends.known || !(S_ISREG(ends.out.st_mode) || S_ISBLK(ends.out.st_mode))) {
        return held;
    }
    const int fd = fileno(file);
    const Walk target = Down(false, fd, ends.out, at, kToTheEnd);
    const auto note = [&held](off_t from, const std::string& name) {
        if (from < held.from) {
            held = {from, name};
        }
    };
    // Held, as every user may read: file systems mounted, by their files' device numbers or their
    // source (Btrfs numbers its files apart; a file mounted itself), and swap areas.
    std::vector<dev_t> used;
    const auto use = [&](const std::string& path) {
        struct stat named = {};
        if (stat(path.c_str(), &named) == 0 && S_ISBLK(named.st_mode)) {
            used.push_back(named.st_rdev);
        } else if (S_ISREG(named.st_mode)) {
            Walk mounted = {false, {}, {}, 0, {}};
            Next(mounted, 0, path, {false, 0, 0, 0, kToTheEnd, 0, false, {}}, 0, named);
            Follow(mounted);
            note(FirstMet(target.bases, mounted.bases, false), path);
        }
    };
    // Nothing but a loop device or a mount from itself stands on a file, and most often there is
    // neither. Only erofs mounts from a file (Linux 6.12 on), and sysfs has a directory for each of
    // its mounts beside its features: where none is, the mount table is not read.
    std::vector<Device> devices = ListDevices();
    const bool regular = S_ISREG(ends.out.st_mode);
    const bool loops = std::any_of(devices.begin(), devices.end(),
                                   [](const Device& d) { return major(d.number) == LOOP_MAJOR; });
    struct stat erofs = {};
    if (regular && !loops &&
        (stat("/sys/fs/erofs", &erofs) != 0 ? errno == ENOENT : erofs.st_nlink <= 3)) {
        return held;
    }
    EachMount([&](std::string_view, dev_t device, std::string_view source, const auto&) {
        if (major(device) != 0) {
            if (std::find(used.begin(), used.end(), device) == used.end()) {
                used.push_back(device);
            }
        } else if (source.substr(0, 1) == "/") {
            use(Unescape(source));
        }
    });
    if (regular && !loops) {
        return held;
    }
    Device* self = nullptr;
    for (Device& device : devices) {
        // A partition lies in its disk's directory in sysfs, listed after it: on a disk that
        // stands on none of the target's bytes it stands on none either, and is not read.
        const std::string link = LinkOf(SysOf(device.number));
        const std::string parent = link.substr(0, link.rfind('/'));
        const auto disk = std::find_if(devices.begin(), devices.end(), [&parent](const Device& d) {
            return d.name == parent.substr(parent.rfind('/') + 1);
        });
        if (disk != devices.end() && disk->from == kNothingHeld) {
            continue;
        }
        struct stat whole = {};
        whole.st_mode = S_IFBLK;
        whole.st_rdev = device.number;
        const Walk walk = Down(false, -1, whole, 0, kToTheEnd);
        device.disk = walk.disk;
        device.from = FirstMet(target.bases, walk.bases, false);
        if (S_ISBLK(ends.out.st_mode) && device.number == ends.out.st_rdev) {
            self = &device;
        }
    }
    // Most often no device stands on the target's bytes. The system refuses writes to a swap file.
    if (std::none_of(devices.begin(), devices.end(),
                     [](const Device& d) { return d.from != kNothingHeld; })) {
        return held;
    }
    EachLine("/proc/swaps", [&use](const std::string& line) {
        if (line.rfind('/', 0) == 0) {
            use(Unescape(line.substr(0, line.find_first_of(" \t"))));
        }
    });
    // In use: the devices on the target's bytes, and the partitions beside them, which tell what a
    // disk's refusal of an exclusive open means.
    for (Device& device : devices) {
        const auto disk = std::find_if(devices.begin(), devices.end(), [&device](const Device& d) {
            return d.number == device.disk && d.from != kNothingHeld;
        });
        device.used = (device.from != kNothingHeld || disk != devices.end()) &&
                      (std::find(used.begin(), used.end(), device.number) != used.end() ||
                       HasOtherHolders(device.number, target.devices));
    }
    // Only devices on the bytes written are asked if a program holds them: others' mounts elsewhere
    // must not meet our exclusive open.
    const off_t remaining = InputLength();
    const off_t end = remaining < 0 ? kToTheEnd : Plus(at, remaining);
    if (self != nullptr) {
        HoldTarget(fd, *self, devices, end);
    }
    // The target's own disk and partitions answer the probe as this run's hold makes them.
    const auto own = [self](const Device& d) {
        return self != nullptr &&
               (d.number == self->number || d.number == self->disk || d.disk == self->number);
    };
    for (Device& device : devices) {
        if (device.from < end && !device.used && !own(device)) {
            const int probe = OpenExclusive(NodeOf(device));
            device.probe = Probed(probe);
            if (probe >= 0) {
                close(probe);
            }
        }
    }
    for (const Device& device : devices) {
        const bool busy = device.probe == Device::Probe::busy &&
                          (device.disk != 0 || !HeldByPartitions(device, devices));
        if (device.from != kNothingHeld && (device.used || busy)) {
            // A device under a private /dev that the target is: by the name it was given.
            std::string name = NodeOf(device);
            if (name.empty() && &device == self) {
                name = LinkOf("/proc/self/fd/" + std::to_string(fd));
            }
            note(device.from, name.empty() ? "/dev/" + device.name : name);
        }
    }
    return held;
}
