// A module for the loader tests: it reports its static construction and destruction and each
// DllMain call to the test program (which exports vqTestRecord).

#include <cstdlib>
#include <string>

#include "win32/windows.h"

extern "C" void vqTestRecord(const char* event);

namespace {

struct Witness {
    Witness() { vqTestRecord("construct"); }
    ~Witness() { vqTestRecord("destruct"); }
} gWitness;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        // The loader lock is re-entrant: the module can look itself up by its file name.
        char path[MAX_PATH];
        DWORD n = GetModuleFileNameA(hInstance, path, sizeof path);
        std::string name =
            n ? std::string(path).substr(std::string(path).find_last_of('\\') + 1) : "";
        vqTestRecord(GetModuleHandleA(name.c_str()) == hInstance ? "attach"
                                                                 : "attach-lookup-failed");
        return std::getenv("VQ_TEST_MODULE_FAIL_ATTACH") ? FALSE : TRUE;
    }
    if (reason == DLL_PROCESS_DETACH) vqTestRecord("detach");
    return TRUE;
}

extern "C" int VqTestModuleAnswer() {
    return 42;
}
