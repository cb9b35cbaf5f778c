// Files and folders below the machine root.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "internal.h"
#include "standin/win32/machine.h"
#include "win32/windows.h"

namespace {

using standin::win32::detail::hostDirectoryExists;
using standin::win32::detail::hostDirName;

// The platform's error for a failed host call on `hostPath`.
DWORD errorFromErrno(int error, const std::string& hostPath) {
    switch (error) {
        case ENOENT:
            return hostDirectoryExists(hostDirName(hostPath)) ? ERROR_FILE_NOT_FOUND
                                                              : ERROR_PATH_NOT_FOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

bool mapPath(LPCSTR windowsPath, std::string* hostPath) {
    if (!standin::win32::toHostPath(windowsPath, hostPath)) {
        SetLastError(windowsPath == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

}  // namespace

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    std::string host;
    if (!mapPath(lpFileName, &host)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        SetLastError(errorFromErrno(errno, host));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    std::string host;
    if (!mapPath(lpFileName, &host)) return FALSE;
    if (hostDirectoryExists(host)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(host.c_str()) != 0) {
        SetLastError(errorFromErrno(errno, host));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
    std::string host;
    if (!mapPath(lpPathName, &host)) return FALSE;
    if (mkdir(host.c_str(), 0777) != 0) {
        SetLastError(errorFromErrno(errno, host));
        return FALSE;
    }
    return TRUE;
}

FILE* _fsopen(const char* filename, const char* mode, int shflag) {
    std::string host;
    if (shflag != _SH_DENYNO || mode == nullptr || mode[0] == '\0' ||
        !standin::win32::toHostPath(filename, &host)) {
        errno = EINVAL;
        return nullptr;
    }
    // The mode letters that mean the same to the host; "t" (text) is the host's only mode.
    std::string hostMode;
    for (const char* p = mode; *p; ++p) {
        switch (*p) {
            case 'r':
            case 'w':
            case 'a':
                if (!hostMode.empty()) {
                    errno = EINVAL;
                    return nullptr;
                }
                hostMode += *p;
                break;
            case '+':
            case 'b':
                hostMode += *p;
                break;
            case 't':
                break;
            default:
                errno = EINVAL;
                return nullptr;
        }
    }
    if (hostMode.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    hostMode += 'e';  // not inherited by programs the process starts
    return std::fopen(host.c_str(), hostMode.c_str());
}
