// What the Linux answers share.

#include "linux-shared.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

std::string ReadText(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::string text;
    std::array<char, 4096> piece{};
    for (ssize_t n; (n = read(fd, piece.data(), piece.size())) > 0;) {
        text.append(piece.data(), static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

std::string ReadLine(const std::string& path)
{
    std::string text = ReadText(path);
    text.erase(std::min(text.find('\n'), text.size()));
    return text;
}

off_t ReadNumber(const std::string& path)
{
    const std::string text = ReadLine(path);
    const long long number = std::strtoll(text.c_str(), nullptr, 10);
    return number > 0 ? number : 0;
}

bool ParseDevice(const std::string& text, dev_t& device)
{
    char* end = nullptr;
    const unsigned long major = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != ':') {
        return false;
    }
    const char* minorText = end + 1;
    const unsigned long minor = std::strtoul(minorText, &end, 10);
    if (end == minorText || *end != '\0') {
        return false;
    }
    device = makedev(major, minor);
    return true;
}

InputStamp StampOf(const struct stat& file)
{
    const auto nanoseconds = [](const timespec& time) {
        return time.tv_sec * std::int64_t{1000000000} + time.tv_nsec;
    };
    return {file.st_size, nanoseconds(file.st_mtim), nanoseconds(file.st_ctim)};
}
