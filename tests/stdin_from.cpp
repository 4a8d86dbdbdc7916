// Test helper for Windows: runs a program with a file as its standard input, handed over as Windows
// programs hand one over. Under wine a descriptor redirected by a Linux shell carries no volume
// serial number, so the program could not recognise its own target behind it.
//
//     stdin_from FILE POSITION REST PROGRAM [ARGUMENT...]
//
// Opens FILE with CreateFile and full sharing, moves to POSITION, runs PROGRAM with that handle as
// its standard input, then writes what PROGRAM left unread of FILE to REST. Exits with PROGRAM's
// status, or 125 when the helper itself fails.

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <windows.h>

namespace
{

int Fail(const char* what)
{
    std::fprintf(stderr, "stdin_from: %s failed, error %lu\n", what, GetLastError());
    return 125;
}

bool Inheritable(HANDLE handle)
{
    return SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 5) {
        std::fputs("usage: stdin_from FILE POSITION REST PROGRAM [ARGUMENT...]\n", stderr);
        return 125;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE input =
        CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        return Fail("CreateFile");
    }
    LARGE_INTEGER position = {};
    position.QuadPart = std::strtoll(argv[2], nullptr, 10);
    if (SetFilePointerEx(input, position, nullptr, FILE_BEGIN) == 0) {
        return Fail("SetFilePointerEx");
    }

    std::string command;
    for (int i = 4; i < argc; ++i) {
        command += std::string(i > 4 ? " \"" : "\"") + argv[i] + "\"";
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (!Inheritable(startup.hStdOutput) || !Inheritable(startup.hStdError)) {
        return Fail("SetHandleInformation");
    }
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process) == 0) {
        return Fail("CreateProcess");
    }
    DWORD status = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    // The program shares the handle's position: what it did not consume is still to be read.
    HANDLE rest = CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (rest == INVALID_HANDLE_VALUE) {
        return Fail("CreateFile of REST");
    }
    static std::array<char, 65536> buffer;
    DWORD got = 0;
    DWORD put = 0;
    while (ReadFile(input, buffer.data(), buffer.size(), &got, nullptr) != 0 && got > 0) {
        if (WriteFile(rest, buffer.data(), got, &put, nullptr) == 0 || put != got) {
            return Fail("WriteFile");
        }
    }
    CloseHandle(rest);
    CloseHandle(input);
    return static_cast<int>(status);
}
