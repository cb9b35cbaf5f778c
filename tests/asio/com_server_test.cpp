// The library's COM side from inside: class factory, object base, entry points and the registry
// helpers of registration. A test driver object takes the place of the library's own, so that
// the factory's every outcome can be produced.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "asio/iasio.h"
#include "asio_driver.h"
#include "com_base.h"
#include "standin/win32/registry_admin.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace {

// What the next creation does, and what happened to the test drivers.
struct DriverProbe {
    enum class Creation { Make, NoObject, NoObjectWithFailure, ObjectWithFailure };
    Creation creation = Creation::Make;
    HRESULT failure = E_FAIL;
    bool reenterWhileDestroyed = false;
    std::atomic<int> calls{0};
    std::atomic<int> constructed{0};
    std::atomic<int> destroyed{0};
};
DriverProbe gProbe;

// A driver object as the library makes its own: IASIO first, then the CUnknown part; IASIO's
// IUnknown methods go to the owner, and the class id is answered with the IASIO part.
class TestDriver final : public IASIO, public CUnknown {
  public:
    TestDriver(LPUNKNOWN outer, HRESULT* result) : CUnknown("VEXAASIO", outer, result) {
        ++gProbe.constructed;
    }
    ~TestDriver() override {
        // A reference taken and dropped while the object goes must not delete it again.
        if (gProbe.reenterWhileDestroyed) {
            GetOwner()->AddRef();
            GetOwner()->Release();
        }
        ++gProbe.destroyed;
    }

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, CLSID_VexaAsioVq36)) {
            return GetInterface(static_cast<IASIO*>(this), ppv);
        }
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return GetOwner()->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return GetOwner()->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return GetOwner()->Release(); }

    ASIOBool init(void*) override { return ASIOTrue; }
    void getDriverName(char* name) override { std::strcpy(name, "Test"); }
    LONG getDriverVersion() override { return 7; }
    void getErrorMessage(char* text) override { text[0] = '\0'; }
    ASIOError start() override { return ASE_OK; }
    ASIOError stop() override { return ASE_OK; }
    ASIOError getChannels(LONG*, LONG*) override { return ASE_NotPresent; }
    ASIOError getLatencies(LONG*, LONG*) override { return ASE_NotPresent; }
    ASIOError getBufferSize(LONG*, LONG*, LONG*, LONG*) override { return ASE_NotPresent; }
    ASIOError canSampleRate(ASIOSampleRate) override { return ASE_NoClock; }
    ASIOError getSampleRate(ASIOSampleRate*) override { return ASE_NoClock; }
    ASIOError setSampleRate(ASIOSampleRate) override { return ASE_NoClock; }
    ASIOError getClockSources(ASIOClockSource*, LONG*) override { return ASE_NotPresent; }
    ASIOError setClockSource(LONG) override { return ASE_NotPresent; }
    ASIOError getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return ASE_NotPresent; }
    ASIOError getChannelInfo(ASIOChannelInfo*) override { return ASE_NotPresent; }
    ASIOError createBuffers(ASIOBufferInfo*, LONG, LONG, ASIOCallbacks*) override {
        return ASE_InvalidMode;
    }
    ASIOError disposeBuffers() override { return ASE_OK; }
    ASIOError controlPanel() override { return ASE_OK; }
    ASIOError future(LONG, void*) override { return ASE_NotPresent; }
    ASIOError outputReady() override { return ASE_OK; }
};

// An aggregating object that counts what reaches it.
class Outer final : public IUnknown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        ++queries;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            ++addRefs;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++addRefs); }
    ULONG STDMETHODCALLTYPE Release() override {
        ++releases;
        return 1;
    }
    int queries = 0;
    int addRefs = 0;
    int releases = 0;
};

}  // namespace

// The library's table names this as its driver's creation function.
CUnknown* WINAPI AAsio::CreateInstance(LPUNKNOWN outer, HRESULT* result) {
    ++gProbe.calls;
    switch (gProbe.creation) {
        case DriverProbe::Creation::NoObject:
            return nullptr;
        case DriverProbe::Creation::NoObjectWithFailure:
            *result = gProbe.failure;
            return nullptr;
        case DriverProbe::Creation::ObjectWithFailure:
            *result = gProbe.failure;
            return new TestDriver(outer, result);
        case DriverProbe::Creation::Make:
            break;
    }
    return new TestDriver(outer, result);
}

namespace {

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005L);

// The slot of a virtual method in its class's table (the x86-64 C++ ABI's member pointers).
template <class Method>
long slotOf(Method method) {
    struct {
        std::uintptr_t pointer;
        std::ptrdiff_t adjustment;
    } parts;
    static_assert(sizeof(method) == sizeof parts);
    std::memcpy(&parts, &method, sizeof parts);
    if ((parts.pointer & 1) == 0) return -1;  // not virtual
    return static_cast<long>((parts.pointer - 1) / sizeof(void*));
}

class ComServer : public ::testing::Test {
  protected:
    void SetUp() override {
        gProbe.creation = DriverProbe::Creation::Make;
        gProbe.reenterWhileDestroyed = false;
        gProbe.calls = 0;
        gProbe.constructed = 0;
        gProbe.destroyed = 0;
        ASSERT_EQ(DllCanUnloadNow(), S_OK) << "an earlier test left objects or locks behind";
    }
    void TearDown() override { EXPECT_EQ(DllCanUnloadNow(), S_OK); }

    IClassFactory* factory() {
        void* object = nullptr;
        EXPECT_EQ(DllGetClassObject(CLSID_VexaAsioVq36, IID_IClassFactory, &object), S_OK);
        return static_cast<IClassFactory*>(object);
    }
};

TEST(IASIOLayout, TwentyFourSlotsInTheInterfacesOrder) {
    const long slots[] = {slotOf(&IASIO::QueryInterface),
                          slotOf(&IASIO::AddRef),
                          slotOf(&IASIO::Release),
                          slotOf(&IASIO::init),
                          slotOf(&IASIO::getDriverName),
                          slotOf(&IASIO::getDriverVersion),
                          slotOf(&IASIO::getErrorMessage),
                          slotOf(&IASIO::start),
                          slotOf(&IASIO::stop),
                          slotOf(&IASIO::getChannels),
                          slotOf(&IASIO::getLatencies),
                          slotOf(&IASIO::getBufferSize),
                          slotOf(&IASIO::canSampleRate),
                          slotOf(&IASIO::getSampleRate),
                          slotOf(&IASIO::setSampleRate),
                          slotOf(&IASIO::getClockSources),
                          slotOf(&IASIO::setClockSource),
                          slotOf(&IASIO::getSamplePosition),
                          slotOf(&IASIO::getChannelInfo),
                          slotOf(&IASIO::createBuffers),
                          slotOf(&IASIO::disposeBuffers),
                          slotOf(&IASIO::controlPanel),
                          slotOf(&IASIO::future),
                          slotOf(&IASIO::outputReady)};
    static_assert(sizeof slots / sizeof slots[0] == kIASIOSlotCount);
    for (long i = 0; i < kIASIOSlotCount; ++i) EXPECT_EQ(slots[i], i) << "method " << i;
    // Nothing after outputReady: a derived interface's first method takes slot 24.
    struct Extended : IASIO {
        virtual void extra() = 0;
    };
    EXPECT_EQ(slotOf(&Extended::extra), 24);
}

TEST_F(ComServer, ClassObjectOnlyForItsInterfacesAndItsClass) {
    const CLSID otherClass = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* object = reinterpret_cast<void*>(0x1);
    // The interface id is looked at before the class id.
    EXPECT_EQ(DllGetClassObject(CLSID_VexaAsioVq36, CLSID_VexaAsioVq36, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(DllGetClassObject(otherClass, CLSID_VexaAsioVq36, &object), E_NOINTERFACE);
    EXPECT_EQ(DllGetClassObject(otherClass, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(DllGetClassObject(CLSID_VexaAsioVq36, IID_IClassFactory, nullptr), E_POINTER);

    // Asked as IUnknown it is the same class object.
    ASSERT_EQ(DllGetClassObject(CLSID_VexaAsioVq36, IID_IUnknown, &object), S_OK);
    auto* unknown = static_cast<IUnknown*>(object);
    void* asFactory = nullptr;
    EXPECT_EQ(unknown->QueryInterface(IID_IClassFactory, &asFactory), S_OK);
    EXPECT_EQ(asFactory, object);
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(unknown->QueryInterface(CLSID_VexaAsioVq36, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(unknown->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(gProbe.calls, 0) << "no driver object is made for a class object";
}

TEST_F(ComServer, LiveFactoryOrLockKeepsTheLibraryLoaded) {
    IClassFactory* f = factory();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // no driver object, but the factory lives
    EXPECT_EQ(f->AddRef(), 2u);
    EXPECT_EQ(f->Release(), 1u);

    EXPECT_EQ(f->LockServer(TRUE), S_OK);
    EXPECT_EQ(f->LockServer(TRUE), S_OK);
    EXPECT_EQ(f->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // two locks held
    f = factory();
    EXPECT_EQ(f->LockServer(FALSE), S_OK);
    EXPECT_EQ(f->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // one lock left
    f = factory();
    EXPECT_EQ(f->LockServer(FALSE), S_OK);
    EXPECT_EQ(f->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ComServer, CreatesTheDriverUnderItsClassId) {
    IClassFactory* f = factory();
    void* object = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, CLSID_VexaAsioVq36, &object), S_OK);
    EXPECT_EQ(f->Release(), 0u);
    auto* driver = static_cast<IASIO*>(object);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the driver object lives
    EXPECT_EQ(driver->getDriverVersion(), 7);

    // Standing alone, the driver's IUnknown methods reach its own identity.
    EXPECT_EQ(driver->AddRef(), 2u);
    void* identity = nullptr;
    ASSERT_EQ(driver->QueryInterface(IID_IUnknown, &identity), S_OK);
    void* again = nullptr;
    ASSERT_EQ(static_cast<IUnknown*>(identity)->QueryInterface(IID_IUnknown, &again), S_OK);
    EXPECT_EQ(again, identity);
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(driver->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(static_cast<IUnknown*>(again)->Release(), 3u);
    EXPECT_EQ(static_cast<IUnknown*>(identity)->Release(), 2u);
    EXPECT_EQ(driver->Release(), 1u);
    EXPECT_EQ(gProbe.destroyed, 0);
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(gProbe.destroyed, 1);
}

TEST_F(ComServer, AggregatedDriverForwardsItsIUnknownToTheOuterObject) {
    IClassFactory* f = factory();
    Outer outer;
    void* object = reinterpret_cast<void*>(0x1);
    // Inside an aggregate only the inner identity may be asked for; nothing is made otherwise.
    EXPECT_EQ(f->CreateInstance(&outer, CLSID_VexaAsioVq36, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(gProbe.calls, 0);

    ASSERT_EQ(f->CreateInstance(&outer, IID_IUnknown, &object), S_OK);
    f->Release();
    auto* inner = static_cast<IUnknown*>(object);
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(static_cast<void*>(inner), static_cast<void*>(&outer));
    EXPECT_EQ(outer.addRefs + outer.queries + outer.releases, 0) << "creation stays inside";

    // The inner identity hands out IASIO; its reference is taken through the outer object.
    void* asioObject = nullptr;
    ASSERT_EQ(inner->QueryInterface(CLSID_VexaAsioVq36, &asioObject), S_OK);
    auto* asio = static_cast<IASIO*>(asioObject);
    EXPECT_EQ(outer.addRefs, 1);
    asio->AddRef();
    EXPECT_EQ(outer.addRefs, 2);
    asio->Release();
    asio->Release();
    EXPECT_EQ(outer.releases, 2);
    void* viaAsio = nullptr;
    EXPECT_EQ(asio->QueryInterface(IID_IUnknown, &viaAsio), S_OK);
    EXPECT_EQ(viaAsio, static_cast<void*>(&outer));
    EXPECT_EQ(outer.queries, 1);
    EXPECT_EQ(asio->init(nullptr), ASIOTrue);

    // The inner identity's own count decides the object's life.
    EXPECT_EQ(gProbe.destroyed, 0);
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(gProbe.destroyed, 1);
}

TEST_F(ComServer, CreationFailuresLeaveNothingBehind) {
    IClassFactory* f = factory();
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(f->CreateInstance(nullptr, CLSID_VexaAsioVq36, nullptr), E_POINTER);

    // No object: the creation's own failure, else out of memory.
    gProbe.creation = DriverProbe::Creation::NoObject;
    EXPECT_EQ(f->CreateInstance(nullptr, CLSID_VexaAsioVq36, &object), E_OUTOFMEMORY);
    EXPECT_EQ(object, nullptr);
    gProbe.creation = DriverProbe::Creation::NoObjectWithFailure;
    gProbe.failure = kAccessDenied;
    EXPECT_EQ(f->CreateInstance(nullptr, CLSID_VexaAsioVq36, &object), kAccessDenied);

    // An object that reports a failed construction is deleted again.
    gProbe.creation = DriverProbe::Creation::ObjectWithFailure;
    gProbe.failure = E_UNEXPECTED;
    object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(f->CreateInstance(nullptr, CLSID_VexaAsioVq36, &object), E_UNEXPECTED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(gProbe.constructed, 1);
    EXPECT_EQ(gProbe.destroyed, 1);

    // An object that does not serve the asked interface goes again.
    gProbe.creation = DriverProbe::Creation::Make;
    object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(gProbe.constructed, 2);
    EXPECT_EQ(gProbe.destroyed, 2);
    f->Release();
}

TEST_F(ComServer, ReferenceTakenWhileBeingDestroyedDoesNotDeleteTwice) {
    IClassFactory* f = factory();
    void* object = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, CLSID_VexaAsioVq36, &object), S_OK);
    f->Release();
    gProbe.reenterWhileDestroyed = true;
    EXPECT_EQ(static_cast<IASIO*>(object)->Release(), 0u);
    EXPECT_EQ(gProbe.constructed, 1);
    EXPECT_EQ(gProbe.destroyed, 1);
}

TEST_F(ComServer, CountsHoldUnderThreadsReferencingAtOnce) {
    IClassFactory* f = factory();
    void* object = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, CLSID_VexaAsioVq36, &object), S_OK);
    auto* driver = static_cast<IASIO*>(object);
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                f->AddRef();
                driver->AddRef();
                f->Release();
                driver->Release();
                if (i % 500 == 0) {
                    void* made = nullptr;
                    if (f->CreateInstance(nullptr, CLSID_VexaAsioVq36, &made) == S_OK) {
                        static_cast<IASIO*>(made)->Release();
                    }
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(f->Release(), 0u);
    EXPECT_EQ(gProbe.constructed, 1 + kThreads * (kRounds / 500));
    EXPECT_EQ(gProbe.destroyed, gProbe.constructed.load());
}

// ---- Registry helpers ------------------------------------------------------------------------

class RegistryHelpers : public ::testing::Test {
  protected:
    static void create(HKEY root, const char* path) {
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS)
            << path;
        RegCloseKey(key);
    }
    static void setRaw(HKEY root, const char* path, const char* name, const void* data,
                       DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static bool exists(HKEY root, const char* path) { return regKeyExists(path, root) == 1; }

    standin::win32::ScopedFreshMachine machine;
};

TEST_F(RegistryHelpers, DeleteTreeRemovesEveryKeyBelowAndNothingBeside) {
    create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Other Driver");
    create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Vexa VQ36\\A\\A1\\A11");
    create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Vexa VQ36\\A\\A2");
    create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Vexa VQ36\\B");
    create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Vexa VQ36 Two");
    setRaw(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Vexa VQ36\\A\\A1", "x", "1", 1);

    EXPECT_EQ(regDeleteTree("Vexa VQ36", HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"), 0);
    EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Vexa VQ36"));
    EXPECT_TRUE(exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Other Driver"));
    EXPECT_TRUE(exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Vexa VQ36 Two"));

    // Nothing to delete, or no parent: -1.
    EXPECT_EQ(regDeleteTree("Vexa VQ36", HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"), -1);
    EXPECT_EQ(regDeleteTree("Vexa VQ36", HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing"), -1);
    EXPECT_EQ(regDeleteTree(nullptr, HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"), -1);
}

TEST_F(RegistryHelpers, StringsAreWrittenWithoutTerminatorAndReadBackTerminated) {
    create(HKEY_LOCAL_MACHINE, "SOFTWARE\\T");
    ASSERT_EQ(regSetString("SOFTWARE\\T", HKEY_LOCAL_MACHINE, "abc", "V"), 0);
    ASSERT_EQ(regSetString("SOFTWARE\\T", HKEY_LOCAL_MACHINE, "dflt", nullptr), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &key), ERROR_SUCCESS);
    std::vector<standin::win32::RegistryValue> values;
    ASSERT_EQ(standin::win32::listRegistryValues(key, &values), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, "");
    EXPECT_EQ(std::string(values[0].data.begin(), values[0].data.end()), "dflt");
    EXPECT_EQ(values[1].type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::string(values[1].data.begin(), values[1].data.end()), "abc");

    // Read back with a terminator, even into a buffer that holds just that.
    char buffer[4];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(regGetString("SOFTWARE\\T", HKEY_LOCAL_MACHINE, "V", buffer, 4), 0);
    EXPECT_STREQ(buffer, "abc");
    // Three bytes without a terminator do not fit three bytes: the buffer stays as it was.
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(regGetString("SOFTWARE\\T", HKEY_LOCAL_MACHINE, "V", buffer, 3), -1);
    EXPECT_EQ(std::string(buffer, 4), "xxxx");
    // A value stored with its terminator fits exactly.
    setRaw(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Z", "xyz", 4);
    EXPECT_EQ(regGetString("SOFTWARE\\T", HKEY_LOCAL_MACHINE, "Z", buffer, 4), 0);
    EXPECT_STREQ(buffer, "xyz");

    EXPECT_EQ(regGetString("SOFTWARE\\T", HKEY_LOCAL_MACHINE, "Missing", buffer, 4), -1);
    EXPECT_EQ(regGetString("SOFTWARE\\None", HKEY_LOCAL_MACHINE, "V", buffer, 4), -1);
    EXPECT_EQ(regGetString(nullptr, HKEY_LOCAL_MACHINE, "V", buffer, 4), -1);
    EXPECT_EQ(regSetString("SOFTWARE\\None", HKEY_LOCAL_MACHINE, "abc", "V"), -1);
    EXPECT_EQ(regSetString(nullptr, HKEY_LOCAL_MACHINE, "abc", "V"), -1);
}

TEST_F(RegistryHelpers, SubkeysAndExistence) {
    EXPECT_EQ(regKeyExists(nullptr, HKEY_LOCAL_MACHINE), -1);
    EXPECT_EQ(regKeyExists("SOFTWARE\\ASIO", HKEY_LOCAL_MACHINE), 0);
    EXPECT_EQ(regKeyExists("CLSID", HKEY_CLASSES_ROOT), 1);  // every machine has it
    EXPECT_EQ(regCreateSubkey(HKEY_LOCAL_MACHINE, "SOFTWARE", "ASIO"), 0);
    EXPECT_EQ(regCreateSubkey(HKEY_LOCAL_MACHINE, "SOFTWARE", "ASIO"), 0);  // already there
    EXPECT_EQ(regKeyExists("SOFTWARE\\ASIO", HKEY_LOCAL_MACHINE), 1);
    EXPECT_EQ(regCreateSubkey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", "ASIO"), -1);
    EXPECT_EQ(regKeyExists("SOFTWARE\\Missing", HKEY_LOCAL_MACHINE), 0);
}

TEST_F(RegistryHelpers, RegistersOnlyALoadedModuleOfThatName) {
    standin::win32::setMessageBoxRecording(true);
    standin::win32::clearRecordedMessageBoxes();
    // This program has no module of the library's file name.
    EXPECT_EQ(registerAsioDriver(CLSID_VexaAsioVq36, "VexaAsioVq36.dll", "Vexa VQ36", "Vexa VQ36",
                                 "Apartment"),
              -101);
    EXPECT_EQ(unregisterAsioDriver(CLSID_VexaAsioVq36, "VexaAsioVq36.dll", "Vexa VQ36"), -101);
    EXPECT_EQ(DllRegisterServer(), static_cast<HRESULT>(-1));
    EXPECT_EQ(DllUnregisterServer(), static_cast<HRESULT>(-1));
    auto boxes = standin::win32::recordedMessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Register Server failed! (-101)");
    EXPECT_EQ(boxes[0].caption, "Vexa VQ36 ASIO Driver");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes[1].text, "Unregister Server failed! (-101)");
    EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"));
    EXPECT_EQ(
        registerAsioDriver(CLSID_VexaAsioVq36, nullptr, "Vexa VQ36", "Vexa VQ36", "Apartment"),
        -101);
    standin::win32::setMessageBoxRecording(false);
}

}  // namespace
