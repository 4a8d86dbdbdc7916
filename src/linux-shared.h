// What the Linux answers share: small readers of what sysfs and /proc say about block devices,
// positions that run to the end, and the stamp of a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#include "platform.h"

// The last position there is: a range that runs to the end of whatever it lies on.
constexpr off_t kToTheEnd = INT64_MAX;

// Layers below layers, deeper than this, are a loop in the system's own answers.
constexpr int kDeepest = 16;

// a + b for b >= 0, kept at the largest position where it would pass it.
inline off_t Plus(off_t a, off_t b)
{
    return a > kToTheEnd - b ? kToTheEnd : a + b;
}

// What shows that a file is being written to: its size and times.
InputStamp StampOf(const struct stat& file);

// The whole of a small file, such as sysfs and /proc give; empty where there is none.
std::string ReadText(const std::string& path);

// Its first line, without the line feed.
std::string ReadLine(const std::string& path);

// The number on its first line; 0 where there is none, or a negative one.
off_t ReadNumber(const std::string& path);

// A device number written as sysfs writes it, MAJOR:MINOR.
bool ParseDevice(const std::string& text, dev_t& device);

// A path as the mount table writes it: a space, tab, line feed or backslash as \ooo.
std::string Unescape(const std::string& text);

// One line of the mount table: the mount's number, the device number its files carry, the
// directory of the file system mounted (`root`), where it is mounted (`point`), its type, its
// source and its own options.
struct Mount {
    std::string id;
    dev_t device;
    std::string root;
    std::string point;
    std::string type;
    std::string source;
    std::string options;
};

// Every mount this process sees, from /proc/self/mountinfo.
std::vector<Mount> ReadMounts();
