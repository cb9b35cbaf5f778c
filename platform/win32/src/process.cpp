// Starting programs: CreateProcessA and ShellExecuteA.
//
// Programs start with posix_spawn (no fork of this process's state). Each started process has
// a reaper thread that collects its exit status, so that no process is left behind as a zombie
// whether or not its handles are still open.

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "standin/win32/handles.h"
#include "standin/win32/machine.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

extern char** environ;

namespace standin::win32 {
namespace {

struct ProcessState {
    pid_t pid = 0;
    std::mutex mutex;
    std::condition_variable ended;
    bool exited = false;
    DWORD exitCode = 0;
};

class ProcessObject : public KernelObject {
  public:
    static constexpr ObjectKind kKind = ObjectKind::Process;
    explicit ProcessObject(std::shared_ptr<ProcessState> s)
        : KernelObject(kKind), state(std::move(s)) {}
    const std::shared_ptr<ProcessState> state;
};

class ProcessThreadObject : public KernelObject {
  public:
    static constexpr ObjectKind kKind = ObjectKind::ProcessThread;
    explicit ProcessThreadObject(std::shared_ptr<ProcessState> s)
        : KernelObject(kKind), state(std::move(s)) {}
    const std::shared_ptr<ProcessState> state;
};

void reap(const std::shared_ptr<ProcessState>& state) {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(state->pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    std::lock_guard lock(state->mutex);
    state->exited = true;
    if (r == state->pid && WIFEXITED(status)) {
        state->exitCode = static_cast<DWORD>(WEXITSTATUS(status));
    } else if (r == state->pid && WIFSIGNALED(status)) {
        state->exitCode = 128u + static_cast<DWORD>(WTERMSIG(status));
    } else {
        state->exitCode = 0xFFFFFFFF;  // collected elsewhere
    }
    state->ended.notify_all();
}

// Splits a command line into arguments by the platform's rules: white space separates
// arguments outside double quotes; 2n backslashes before a quote give n backslashes and the
// quote delimits; 2n+1 give n backslashes and a literal quote; "" inside quotes is a quote;
// other backslashes are literal.
std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (true) {
        while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                std::size_t count = 0;
                while (i < n && line[i] == '\\') {
                    ++count;
                    ++i;
                }
                if (i < n && line[i] == '"') {
                    arg.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(count, '\\');
                }
            } else if (line[i] == '"') {
                if (quoted && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += line[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

bool hasExtension(const std::string& name) {
    std::size_t slash = name.find_last_of("\\/");
    std::size_t dot = name.find_last_of('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

// The host path of a program, or an error code.
DWORD locateProgram(const std::string& name, std::string* host) {
    std::vector<std::string> candidates;
    if (name.find_first_of("\\/:") != std::string::npos) {
        candidates.push_back(name);
    } else {
        const std::string self = detail::hostDirName(detail::mainProgramPath());
        candidates.push_back("z:" + self + "\\" + name);
        candidates.push_back(name);  // the current folder
        candidates.push_back("c:\\Windows\\System32\\" + name);
    }
    std::string firstMapped;
    for (const std::string& candidate : candidates) {
        std::vector<std::string> forms{candidate};
        if (!hasExtension(candidate)) forms.push_back(candidate + ".exe");
        for (const std::string& form : forms) {
            std::string mapped;
            if (!toHostPath(form.c_str(), &mapped)) continue;
            if (firstMapped.empty()) firstMapped = mapped;
            if (detail::hostFileExists(mapped)) {
                *host = mapped;
                return ERROR_SUCCESS;
            }
        }
    }
    if (firstMapped.empty()) return ERROR_PATH_NOT_FOUND;
    return detail::hostDirectoryExists(detail::hostDirName(firstMapped)) ? ERROR_FILE_NOT_FOUND
                                                                         : ERROR_PATH_NOT_FOUND;
}

DWORD errorFromSpawn(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOEXEC:
            return ERROR_BAD_EXE_FORMAT;
        case ENOMEM:
        case EAGAIN:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// Starts `program` with `args`; on success the process is being reaped.
DWORD spawnProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::string* folder, const std::vector<std::string>* environment,
                   std::shared_ptr<ProcessState>* started) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (environment != nullptr) {
        for (const std::string& e : *environment) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
    }
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return ERROR_NOT_ENOUGH_MEMORY;
    if (folder != nullptr) posix_spawn_file_actions_addchdir_np(&actions, folder->c_str());
    auto state = std::make_shared<ProcessState>();
    int rc = posix_spawn(&state->pid, program.c_str(), &actions, nullptr, argv.data(),
                         environment != nullptr ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return errorFromSpawn(rc);
    try {
        std::thread([state] { reap(state); }).detach();
    } catch (...) {
        reap(state);  // no thread to spare: wait for the program here
    }
    *started = std::move(state);
    return ERROR_SUCCESS;
}

}  // namespace

bool waitForProcessExit(HANDLE process, DWORD milliseconds, DWORD* exitCode) {
    auto object = referenceHandleAs<ProcessObject>(process);
    if (!object) return false;
    std::unique_lock lock(object->state->mutex);
    auto done = [&] { return object->state->exited; };
    if (milliseconds == INFINITE) {
        object->state->ended.wait(lock, done);
    } else if (!object->state->ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                              done)) {
        return false;
    }
    if (exitCode != nullptr) *exitCode = object->state->exitCode;
    return true;
}

}  // namespace standin::win32

using namespace standin::win32;

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES /*lpProcessAttributes*/,
                           LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, BOOL /*bInheritHandles*/,
                           DWORD /*dwCreationFlags*/, LPVOID lpEnvironment,
                           LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    if (lpStartupInfo == nullptr || lpProcessInformation == nullptr ||
        (lpApplicationName == nullptr && lpCommandLine == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> args = splitCommandLine(lpCommandLine ? lpCommandLine : "");
    std::string name;
    if (lpApplicationName != nullptr) {
        name = lpApplicationName;
    } else if (!args.empty()) {
        name = args.front();
    }
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (args.empty()) args.push_back(name);
    std::string program;
    if (DWORD error = locateProgram(name, &program); error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    std::string folder;
    if (lpCurrentDirectory != nullptr &&
        (!toHostPath(lpCurrentDirectory, &folder) || !detail::hostDirectoryExists(folder))) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    std::vector<std::string> environment;
    if (lpEnvironment != nullptr) {
        // "NAME=value\0NAME=value\0\0"
        for (const char* p = static_cast<const char*>(lpEnvironment); *p; p += std::strlen(p) + 1) {
            environment.emplace_back(p);
        }
    }
    std::shared_ptr<ProcessState> state;
    DWORD error = spawnProgram(program, args, lpCurrentDirectory ? &folder : nullptr,
                               lpEnvironment ? &environment : nullptr, &state);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    HANDLE process = insertHandle(std::make_shared<ProcessObject>(state));
    HANDLE thread = process ? insertHandle(std::make_shared<ProcessThreadObject>(state)) : nullptr;
    if (thread == nullptr) {
        if (process != nullptr) removeHandle(process);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // the program runs on, without handles
        return FALSE;
    }
    lpProcessInformation->hProcess = process;
    lpProcessInformation->hThread = thread;
    lpProcessInformation->dwProcessId = static_cast<DWORD>(state->pid);
    lpProcessInformation->dwThreadId = static_cast<DWORD>(state->pid);  // its main thread
    return TRUE;
}

HINSTANCE WINAPI ShellExecuteA(HWND /*hwnd*/, LPCSTR lpOperation, LPCSTR lpFile,
                               LPCSTR lpParameters, LPCSTR lpDirectory, INT /*nShowCmd*/) {
    auto result = [](std::uintptr_t code) { return reinterpret_cast<HINSTANCE>(code); };
    constexpr std::uintptr_t kNoAssociation = 31;
    constexpr std::uintptr_t kOutOfResources = 8;
    constexpr std::uintptr_t kBadFormat = 11;
    constexpr std::uintptr_t kStarted = 42;
    if (lpOperation != nullptr && lpOperation[0] != '\0' &&
        lowerAnsi(std::string(lpOperation)) != "open") {
        return result(kNoAssociation);
    }
    std::string file;
    if (lpFile == nullptr || !toHostPath(lpFile, &file)) return result(ERROR_FILE_NOT_FOUND);
    if (!detail::hostFileExists(file)) {
        return result(detail::hostDirectoryExists(detail::hostDirName(file))
                          ? ERROR_FILE_NOT_FOUND
                          : ERROR_PATH_NOT_FOUND);
    }
    std::string folder;
    if (lpDirectory != nullptr && lpDirectory[0] != '\0' &&
        (!toHostPath(lpDirectory, &folder) || !detail::hostDirectoryExists(folder))) {
        return result(ERROR_PATH_NOT_FOUND);
    }
    std::vector<std::string> params = splitCommandLine(lpParameters ? lpParameters : "");
    std::vector<std::string> args;
    std::string program;
    const std::string lowerFile = lowerAnsi(file);
    auto endsWith = [&](const char* suffix) {
        std::size_t n = std::strlen(suffix);
        return lowerFile.size() >= n && lowerFile.compare(lowerFile.size() - n, n, suffix) == 0;
    };
    if (endsWith(".bat") || endsWith(".cmd")) {
        program = "/bin/sh";
        args = {"/bin/sh", file};
    } else if (access(file.c_str(), X_OK) == 0) {
        program = file;
        args = {file};
    } else {
        return result(kNoAssociation);
    }
    args.insert(args.end(), params.begin(), params.end());
    std::shared_ptr<ProcessState> state;
    DWORD error = spawnProgram(program, args, folder.empty() ? nullptr : &folder, nullptr, &state);
    switch (error) {
        case ERROR_SUCCESS:
            return result(kStarted);
        case ERROR_FILE_NOT_FOUND:
            return result(ERROR_FILE_NOT_FOUND);
        case ERROR_ACCESS_DENIED:
            return result(ERROR_ACCESS_DENIED);
        case ERROR_BAD_EXE_FORMAT:
            return result(kBadFormat);
        default:
            return result(kOutOfResources);
    }
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    const char* value = lpName != nullptr ? std::getenv(lpName) : nullptr;
    if (value == nullptr) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    const std::size_t length = std::strlen(value);
    if (lpBuffer == nullptr || length >= nSize) return static_cast<DWORD>(length + 1);
    std::memcpy(lpBuffer, value, length + 1);
    return static_cast<DWORD>(length);
}
