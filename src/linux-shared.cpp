// What the Linux answers share.

#include "linux-shared.h"
#include "posix.h"

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

std::string Unescape(const std::string& text)
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

std::vector<Mount> ReadMounts()
{
    std::vector<Mount> mounts;
    const std::string table = ReadText("/proc/self/mountinfo");
    for (std::size_t line = 0; line < table.size();) {
        const std::size_t end = std::min(table.find('\n', line), table.size());
        const std::string entry = table.substr(line, end - line);
        line = end + 1;
        // id parent major:minor root point options [optional fields] - type source options
        std::vector<std::string> fields;
        for (std::size_t at = 0, next; at <= entry.size(); at = next + 1) {
            next = std::min(entry.find(' ', at), entry.size());
            fields.push_back(entry.substr(at, next - at));
        }
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        dev_t device = 0;
        if (fields.size() < 5 || fields.end() - dash < 4 || !ParseDevice(fields[2], device)) {
            continue;
        }
        mounts.push_back({fields[0], device, Unescape(fields[3]), Unescape(fields[4]), dash[1],
                          Unescape(dash[2]), dash[3]});
    }
    return mounts;
}

InputStamp StampOf(const struct stat& file)
{
    return {file.st_size, Nanoseconds(file.st_mtim), Nanoseconds(file.st_ctim)};
}
