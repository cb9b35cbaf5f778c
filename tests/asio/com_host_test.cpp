// COM as hosts use it: the client side finds an in-process server through its registration,
// loads it, takes its class object, creates and releases objects and unloads the server; and
// the library registers itself so that hosts find it.

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "standin/win32/com_host.h"
#include "standin/win32/machine.h"
#include "standin/win32/registry_admin.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace {
std::mutex gEventsMutex;
std::vector<std::string> gEvents;
}  // namespace

extern "C" __attribute__((visibility("default"))) void vqTestRecord(const char* event) {
    std::lock_guard lock(gEventsMutex);
    gEvents.emplace_back(event);
}

namespace {

using standin::win32::loadedInprocServers;
using standin::win32::releaseInprocObject;
using Events = std::vector<std::string>;

const std::string kLibrary = VQ36_ASIO_DLL_PATH;
const std::string kTestServer = VQ_COM_TEST_SERVER_PATH;
const std::string kModuleWithoutServer = VQ_NO_SERVER_MODULE_PATH;

constexpr CLSID kServedClass = {
    0x5D2A8C41, 0x9B7E, 0x4F10, {0xA6, 0x3C, 0x0D, 0x51, 0x7E, 0x22, 0x90, 0x4B}};
constexpr CLSID kUnservedClass = {
    0x5D2A8C42, 0x9B7E, 0x4F10, {0xA6, 0x3C, 0x0D, 0x51, 0x7E, 0x22, 0x90, 0x4B}};
constexpr const char* kDriverClassText = "{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A}";
constexpr const char* kClassKey = "CLSID\\{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A}";
constexpr const char* kServerKey = "CLSID\\{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A}\\InprocServer32";
constexpr const char* kDriverKey = "SOFTWARE\\ASIO\\Vexa VQ36";

Events takeEvents() {
    std::lock_guard lock(gEventsMutex);
    Events out;
    out.swap(gEvents);
    return out;
}

std::string classText(REFCLSID clsid) {
    LPOLESTR wide = nullptr;
    EXPECT_EQ(StringFromCLSID(clsid, &wide), S_OK);
    char text[64] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    CoTaskMemFree(wide);
    return text;
}

HKEY createKey(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS)
        << path;
    return key;
}

// A class registration as registration writes it: REG_SZ without a terminating zero.
void registerServer(REFCLSID clsid, const std::string& windowsPath) {
    HKEY key = createKey(HKEY_CLASSES_ROOT, "CLSID\\" + classText(clsid) + "\\InprocServer32");
    EXPECT_EQ(
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(windowsPath.data()),
                       static_cast<DWORD>(windowsPath.size())),
        ERROR_SUCCESS);
    RegCloseKey(key);
}

void setString(HKEY root, const char* path, const char* name, const std::string& text) {
    HKEY key = createKey(root, path);
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

bool keyExists(HKEY root, const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// A key's values as "name=data" lines (data as stored, type checked to be REG_SZ).
std::string valuesOf(HKEY root, const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
    std::vector<standin::win32::RegistryValue> values;
    EXPECT_EQ(standin::win32::listRegistryValues(key, &values), ERROR_SUCCESS);
    RegCloseKey(key);
    std::string out;
    for (const auto& v : values) {
        out += (v.name.empty() ? "(default)" : v.name) + "=" +
               std::string(v.data.begin(), v.data.end()) +
               (v.type == REG_SZ ? "" : " <not REG_SZ>") + "\n";
    }
    return out;
}

// An aggregating object that the test server refuses.
struct Outer final : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

std::string lowerWindowsPath(const std::string& hostPath) {
    return standin::win32::lowerAnsi(standin::win32::toWindowsPath(hostPath));
}

class ComClient : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        takeEvents();
    }
    void TearDown() override {
        CoUninitialize();
        EXPECT_EQ(loadedInprocServers(), 0u);
    }
    static bool serverLoaded() { return GetModuleHandleA("VqComTestServer.dll") != nullptr; }

    standin::win32::ScopedFreshMachine machine;
};

TEST_F(ComClient, CreatesThroughTheRegistrationAndUnloadsAfterTheLastRelease) {
    registerServer(kServedClass, standin::win32::toWindowsPath(kTestServer));
    ASSERT_FALSE(serverLoaded());

    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(CoCreateInstance(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &first),
              S_OK);
    ASSERT_EQ(CoCreateInstance(kServedClass, nullptr, CLSCTX_ALL, IID_IUnknown, &second), S_OK);
    EXPECT_EQ(takeEvents(), (Events{"attach", "DllGetClassObject", "CreateInstance",
                                    "DllGetClassObject", "CreateInstance"}));
    EXPECT_TRUE(serverLoaded());
    EXPECT_EQ(loadedInprocServers(), 1u);

    releaseInprocObject(static_cast<IUnknown*>(first));
    EXPECT_EQ(takeEvents(), (Events{"object deleted", "DllCanUnloadNow: S_FALSE"}));
    EXPECT_TRUE(serverLoaded());

    releaseInprocObject(static_cast<IUnknown*>(second));
    EXPECT_EQ(takeEvents(), (Events{"object deleted", "DllCanUnloadNow: S_OK", "detach"}));
    EXPECT_FALSE(serverLoaded());
    EXPECT_EQ(loadedInprocServers(), 0u);
}

TEST_F(ComClient, ClassObjectAndLocksKeepTheServer) {
    registerServer(kServedClass, standin::win32::toWindowsPath(kTestServer));
    void* object = nullptr;
    ASSERT_EQ(
        CoGetClassObject(kServedClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object),
        S_OK);
    auto* factory = static_cast<IClassFactory*>(object);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(serverLoaded()) << "the class object lives";
    factory->LockServer(TRUE);
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(serverLoaded()) << "locked";

    ASSERT_EQ(
        CoGetClassObject(kServedClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object),
        S_OK);
    factory = static_cast<IClassFactory*>(object);
    factory->LockServer(FALSE);
    releaseInprocObject(factory);
    EXPECT_FALSE(serverLoaded());
}

TEST_F(ComClient, ReportsWhatKeepsAClassFromBeingMade) {
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CoCreateInstance(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
              E_POINTER);

    // A class key without its server key, then a server that is not there.
    RegCloseKey(createKey(HKEY_CLASSES_ROOT, "CLSID\\" + classText(kServedClass)));
    EXPECT_EQ(CoCreateInstance(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    registerServer(kServedClass, "c:\\Program Files\\Missing\\Missing.dll");
    EXPECT_EQ(CoCreateInstance(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              static_cast<HRESULT>(0x8007007EL));  // the loader's ERROR_MOD_NOT_FOUND

    // A module that serves nothing.
    registerServer(kServedClass, standin::win32::toWindowsPath(kModuleWithoutServer));
    EXPECT_EQ(CoCreateInstance(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CO_E_ERRORINDLL);
    EXPECT_EQ(loadedInprocServers(), 0u);

    // Only in-process servers are found.
    registerServer(kServedClass, standin::win32::toWindowsPath(kTestServer));
    EXPECT_EQ(CoCreateInstance(kServedClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(serverLoaded());

    // The server's own refusals come back, and a server left without objects goes at once.
    registerServer(kUnservedClass, standin::win32::toWindowsPath(kTestServer));
    takeEvents();
    EXPECT_EQ(
        CoCreateInstance(kUnservedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
        CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(takeEvents(),
              (Events{"attach", "DllGetClassObject", "DllCanUnloadNow: S_OK", "detach"}));
    Outer outer;
    EXPECT_EQ(CoCreateInstance(kServedClass, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_FALSE(serverLoaded());
    EXPECT_EQ(loadedInprocServers(), 0u);
}

TEST_F(ComClient, ThreadsInitialiseBeforeTheyCreate) {
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);  // nested
    CoUninitialize();
    EXPECT_EQ(CoInitialize(reinterpret_cast<void*>(0x1)), E_INVALIDARG);
    registerServer(kServedClass, standin::win32::toWindowsPath(kTestServer));
    std::thread([] {
        void* object = nullptr;
        EXPECT_EQ(
            CoCreateInstance(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            CO_E_NOTINITIALIZED);
        EXPECT_EQ(CoGetClassObject(kServedClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                   &object),
                  CO_E_NOTINITIALIZED);
        CoUninitialize();  // without CoInitialize: nothing happens
    }).join();
    EXPECT_FALSE(serverLoaded());
}

TEST_F(ComClient, LastUninitializeUnloadsServersWithoutObjects) {
    registerServer(kServedClass, standin::win32::toWindowsPath(kTestServer));
    void* object = nullptr;
    ASSERT_EQ(CoCreateInstance(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              S_OK);
    // Still in use: the server stays even when the last thread leaves COM.
    CoUninitialize();
    EXPECT_TRUE(serverLoaded());
    ASSERT_EQ(CoInitialize(nullptr), S_OK);

    static_cast<IUnknown*>(object)->Release();  // plain Release: nothing is unloaded yet
    EXPECT_TRUE(serverLoaded());
    CoUninitialize();
    EXPECT_FALSE(serverLoaded());
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
}

// ---- The library as a registered server ------------------------------------------------------

class Registration : public ComClient {
  protected:
    void SetUp() override {
        ComClient::SetUp();
        std::filesystem::create_directories(machine.host("c:\\temp\\VexaAsioLog"));
        std::ofstream(machine.host("c:\\temp\\VexaEnableDebugLog.flag")).close();
        standin::win32::setMessageBoxRecording(true);
        standin::win32::clearRecordedMessageBoxes();
    }
    void TearDown() override {
        for (HMODULE m : loaded) FreeLibrary(m);
        standin::win32::setMessageBoxRecording(false);
        ComClient::TearDown();
    }

    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    static HRESULT STDAPICALLTYPE missingEntry() { return E_UNEXPECTED; }

    // Loads the library from a path (the build's own, or a copy) and returns one of its entry
    // points.
    EntryPoint entry(const std::string& hostPath, const char* name) {
        HMODULE module = LoadLibraryA(hostPath.c_str());
        EXPECT_NE(module, nullptr) << standin::win32::lastLoaderMessage();
        if (module == nullptr) return missingEntry;
        loaded.push_back(module);
        auto function = reinterpret_cast<EntryPoint>(GetProcAddress(module, name));
        EXPECT_NE(function, nullptr) << name;
        return function != nullptr ? function : missingEntry;
    }
    void unloadAll() {
        for (HMODULE m : loaded) FreeLibrary(m);
        loaded.clear();
    }
    std::string copyLibrary(const char* windowsFolder, const char* fileName) {
        const std::string folder = machine.host(windowsFolder);
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(kLibrary, folder + "/" + fileName);
        return folder + "/" + fileName;
    }
    std::string driverValues() const {
        return std::string("CLSID=") + kDriverClassText + "\nDescription=Vexa VQ36\n";
    }
    std::string serverValues(const std::string& hostPath) const {
        return "(default)=" + lowerWindowsPath(hostPath) + "\nThreadingModel=Apartment\n";
    }

    std::vector<HMODULE> loaded;
};

TEST_F(Registration, WritesTheExactEntriesAndRemovesThemAgain) {
    setString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Other Driver", "CLSID", "{other}");
    const long taskMemory = standin::win32::liveTaskMemoryBlocks();
    EXPECT_EQ(entry(kLibrary, "DllRegisterServer")(), S_OK);

    EXPECT_EQ(valuesOf(HKEY_CLASSES_ROOT, kClassKey), "(default)=Vexa VQ36\n");
    EXPECT_EQ(valuesOf(HKEY_CLASSES_ROOT, kServerKey), serverValues(kLibrary));
    EXPECT_EQ(valuesOf(HKEY_LOCAL_MACHINE, kDriverKey), driverValues());
    EXPECT_EQ(standin::win32::liveTaskMemoryBlocks(), taskMemory) << "class-id text left behind";
    EXPECT_TRUE(standin::win32::recordedMessageBoxes().empty());

    EXPECT_EQ(entry(kLibrary, "DllUnregisterServer")(), S_OK);
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kDriverKey));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Other Driver"));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, "CLSID"));
    EXPECT_EQ(standin::win32::liveTaskMemoryBlocks(), taskMemory);

    char logName[MAX_PATH];
    std::snprintf(logName, sizeof logName, "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_%06x.log",
                  GetCurrentProcessId());
    std::ifstream log(machine.host(logName));
    std::stringstream text;
    text << log.rdbuf();
    const std::size_t registered = text.str().find("VQ36: DllRegisterServer\n");
    const std::size_t unregistered = text.str().find("VQ36: DllUnregisterServer\n");
    EXPECT_NE(registered, std::string::npos) << text.str();
    EXPECT_NE(unregistered, std::string::npos) << text.str();
    EXPECT_LT(registered, unregistered);
}

TEST_F(Registration, AgainFromTheSamePathKeepsTheClassKeyAndRenewsTheDriverKey) {
    EntryPoint registerServer = entry(kLibrary, "DllRegisterServer");
    ASSERT_EQ(registerServer(), S_OK);
    setString(HKEY_CLASSES_ROOT, kClassKey, "Marker", "kept");
    RegCloseKey(createKey(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\Extra"));
    setString(HKEY_LOCAL_MACHINE, kDriverKey, "Marker", "dropped");
    RegCloseKey(createKey(HKEY_LOCAL_MACHINE, std::string(kDriverKey) + "\\Sub\\Deeper"));

    ASSERT_EQ(registerServer(), S_OK);
    EXPECT_EQ(valuesOf(HKEY_CLASSES_ROOT, kClassKey), "(default)=Vexa VQ36\nMarker=kept\n");
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, (std::string(kClassKey) + "\\Extra").c_str()));
    EXPECT_EQ(valuesOf(HKEY_LOCAL_MACHINE, kDriverKey), driverValues());
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, (std::string(kDriverKey) + "\\Sub").c_str()));
}

TEST_F(Registration, FromAnotherPathReplacesTheClassKey) {
    ASSERT_EQ(entry(kLibrary, "DllRegisterServer")(), S_OK);
    setString(HKEY_CLASSES_ROOT, kClassKey, "Marker", "from the first path");
    RegCloseKey(createKey(HKEY_CLASSES_ROOT, std::string(kServerKey) + "\\Deeper\\Deepest"));
    unloadAll();

    const std::string copy = copyLibrary("c:\\Program Files\\Vexa", "VexaAsioVq36.dll");
    ASSERT_EQ(entry(copy, "DllRegisterServer")(), S_OK);
    EXPECT_EQ(valuesOf(HKEY_CLASSES_ROOT, kClassKey), "(default)=Vexa VQ36\n");
    EXPECT_EQ(valuesOf(HKEY_CLASSES_ROOT, kServerKey),
              "(default)=c:\\program files\\vexa\\vexaasiovq36.dll\nThreadingModel=Apartment\n");
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, (std::string(kServerKey) + "\\Deeper").c_str()));
    EXPECT_EQ(valuesOf(HKEY_LOCAL_MACHINE, kDriverKey), driverValues());
}

TEST_F(Registration, UnregisteringWithoutTheAsioKeyStillRemovesTheClassKey) {
    ASSERT_EQ(entry(kLibrary, "DllRegisterServer")(), S_OK);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDriverKey), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"), ERROR_SUCCESS);

    EXPECT_EQ(entry(kLibrary, "DllUnregisterServer")(), S_OK);
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"));
    EXPECT_TRUE(standin::win32::recordedMessageBoxes().empty());
}

TEST_F(Registration, FailsUnderAnotherFileNameOrAPathTooLongForItsBuffer) {
    const std::string renamed = copyLibrary("c:\\Other", "OtherName.dll");
    EXPECT_EQ(entry(renamed, "DllRegisterServer")(), static_cast<HRESULT>(-1));
    EXPECT_EQ(entry(renamed, "DllUnregisterServer")(), static_cast<HRESULT>(-1));
    unloadAll();

    std::string deep = "c:";
    while (deep.size() < 360) deep += "\\a-folder-name-that-makes-the-path-long";
    const std::string longPath = copyLibrary(deep.c_str(), "VexaAsioVq36.dll");
    EXPECT_EQ(entry(longPath, "DllRegisterServer")(), static_cast<HRESULT>(-1));

    auto boxes = standin::win32::recordedMessageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, "Register Server failed! (-101)");
    EXPECT_EQ(boxes[1].text, "Unregister Server failed! (-101)");
    EXPECT_EQ(boxes[2].text, "Register Server failed! (-102)");
    for (const auto& box : boxes) {
        EXPECT_EQ(box.caption, "Vexa VQ36 ASIO Driver");
        EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
    }
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"));
}

TEST_F(Registration, HostFindsTheDriverAndLoadsItThroughItsClassKey) {
    ASSERT_EQ(entry(kLibrary, "DllRegisterServer")(), S_OK);
    unloadAll();
    ASSERT_EQ(GetModuleHandleA("VexaAsioVq36.dll"), nullptr);

    // As a host does: the driver's class id from its key under SOFTWARE\ASIO.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDriverKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    char text[64] = {};
    DWORD size = sizeof text - 1;
    ASSERT_EQ(
        RegQueryValueExA(key, "CLSID", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    RegCloseKey(key);
    WCHAR wide[64];
    ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 64), 0);
    CLSID driverClass;
    ASSERT_EQ(CLSIDFromString(wide, &driverClass), S_OK);

    void* object = nullptr;
    ASSERT_EQ(
        CoGetClassObject(driverClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object),
        S_OK);
    EXPECT_NE(GetModuleHandleA("VexaAsioVq36.dll"), nullptr);
    auto* factory = static_cast<IClassFactory*>(object);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->Release(), 0u);
    CoFreeUnusedLibraries();
    EXPECT_NE(GetModuleHandleA("VexaAsioVq36.dll"), nullptr) << "locked";

    ASSERT_EQ(CoGetClassObject(driverClass, CLSCTX_INPROC_SERVER, nullptr, IID_IUnknown, &object),
              S_OK);
    void* asFactory = nullptr;
    ASSERT_EQ(static_cast<IUnknown*>(object)->QueryInterface(IID_IClassFactory, &asFactory), S_OK);
    static_cast<IUnknown*>(object)->Release();
    factory = static_cast<IClassFactory*>(asFactory);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    releaseInprocObject(factory);
    EXPECT_EQ(GetModuleHandleA("VexaAsioVq36.dll"), nullptr);
}

}  // namespace
