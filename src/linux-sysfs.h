// Small readers of what sysfs and /proc say about block devices, for the Linux answers.
#pragma once

#include <string>

#include <sys/types.h>

// The whole of a small file, such as sysfs and /proc give; empty where there is none.
std::string ReadText(const std::string& path);

// Its first line, without the line feed.
std::string ReadLine(const std::string& path);

// The number on its first line; 0 where there is none, or a negative one.
off_t ReadNumber(const std::string& path);

// A device number written as sysfs writes it, MAJOR:MINOR.
bool ParseDevice(const std::string& text, dev_t& device);
