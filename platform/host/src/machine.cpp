// The machine: start and stop, the driver, Plug and Play of the bus's devices, sleep and wake,
// the device objects' interfaces, and status.

#include "standin/host/machine.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <type_traits>

#include "internal.h"
#include "public/vq36_shared.h"
#include "standin/kernel/machine.h"
#include "standin/kernel/memory.h"
#include "standin/win32/machine.h"

#if __has_include("standin/kernel/usb.h")
#include "standin/kernel/usb.h"
#define STANDIN_HOST_HAS_USB_OBJECTS 1
#endif

namespace standin::host {
namespace {

constexpr const char* kLockName = "machine.lock";
constexpr int kPnpWaitMs = 10000;

std::atomic<bool> gMachineRunning{false};

// A device object stands for its USB device through the framework's USB objects.
std::shared_ptr<kernel::PhysicalDevice> usbPhysicalDevice(std::shared_ptr<usb::UsbDevice> device) {
#ifdef STANDIN_HOST_HAS_USB_OBJECTS
    return kernel::makeUsbPhysicalDevice(std::move(device));
#else
    (void)device;
    return std::make_shared<kernel::PhysicalDevice>();
#endif
}

std::string guidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

const char* variantName(vq36::Variant variant) {
    switch (variant) {
        case vq36::Variant::Normal:
            return "normal";
        case vq36::Variant::FullSpeed:
            return "full-speed";
        case vq36::Variant::SingleInterface:
            return "single-interface";
        case vq36::Variant::NoPlaybackInterface:
            return "no-playback";
        case vq36::Variant::NoCaptureInterface:
            return "no-capture";
        case vq36::Variant::MessageInterfaceOnePipe:
            return "one-message-pipe";
    }
    return "?";
}

std::optional<vq36::Variant> variantFromName(const std::string& name) {
    for (auto v : {vq36::Variant::Normal, vq36::Variant::FullSpeed, vq36::Variant::SingleInterface,
                   vq36::Variant::NoPlaybackInterface, vq36::Variant::NoCaptureInterface,
                   vq36::Variant::MessageInterfaceOnePipe}) {
        if (name == variantName(v)) return v;
    }
    return std::nullopt;
}

const char* stateName(DeviceObjectState state) {
    switch (state) {
        case DeviceObjectState::Starting:
            return "starting";
        case DeviceObjectState::Working:
            return "working";
        case DeviceObjectState::Sleeping:
            return "sleeping";
        case DeviceObjectState::Failed:
            return "failed";
        case DeviceObjectState::Removed:
            return "removed";
    }
    return "?";
}

namespace {

DeviceObjectState objectState(kernel::DeviceState state) {
    switch (state) {
        case kernel::DeviceState::Added:
            return DeviceObjectState::Starting;
        case kernel::DeviceState::Working:
            return DeviceObjectState::Working;
        case kernel::DeviceState::LowPower:
            return DeviceObjectState::Sleeping;
        case kernel::DeviceState::Failed:
            return DeviceObjectState::Failed;
        case kernel::DeviceState::Removed:
            break;
    }
    return DeviceObjectState::Removed;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Start and stop.
bool Machine::Impl::takeRoot(std::string* error) {
    ownerUid = geteuid();
    if (!options.group.empty()) {
        std::vector<char> buffer(16384);
        group g{};
        struct group* found = nullptr;
        if (getgrnam_r(options.group.c_str(), &g, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr) {
            *error = "there is no group named " + options.group;
            return false;
        }
        groupAsked = true;
        groupId = found->gr_gid;
    }
    const mode_t folderMode = groupAsked ? 0770 : 0700;
    const mode_t fileMode = groupAsked ? 0660 : 0600;
    if (access(root.c_str(), F_OK) != 0) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(root).parent_path(), ec);
        mkdir(root.c_str(), 0700);
    }
    // The root itself, never a link to somewhere else.
    wire::Fd folder(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!folder.valid() || fstat(folder.get(), &st) != 0) {
        *error = "cannot open the machine root " + root + ": " + std::strerror(errno);
        return false;
    }
    if (st.st_uid != ownerUid) {
        *error = "the machine root " + root + " belongs to user " + std::to_string(st.st_uid) +
                 ", not to this user (" + std::to_string(ownerUid) +
                 "): refusing it; choose a root of your own";
        return false;
    }
    const mode_t writableByOthers = groupAsked ? S_IWOTH : (S_IWGRP | S_IWOTH);
    if ((st.st_mode & writableByOthers) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *error = "the machine root " + root + " is writable by other users (mode " + mode +
                 "): refusing it; make it yours alone (chmod 700) or choose another root";
        return false;
    }
    if (fchmod(folder.get(), folderMode) != 0 ||
        (groupAsked && fchown(folder.get(), static_cast<uid_t>(-1), groupId) != 0)) {
        *error = "cannot set the mode of the machine root " + root + ": " + std::strerror(errno);
        return false;
    }
    // The lock: a file of the root's own, never followed through a link (it is written below).
    int lockFd =
        openat(folder.get(), kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, fileMode);
    if (lockFd < 0) {
        *error = "cannot open the machine's lock below " + root + ": " + std::strerror(errno) +
                 (errno == ELOOP ? " (it is a symbolic link: refusing it)" : "");
        return false;
    }
    lock.reset(lockFd);
    if (fstat(lockFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ownerUid ||
        st.st_nlink != 1) {
        *error = "the machine's lock below " + root +
                 " is not a plain file of this user's own: refusing it";
        lock.reset();
        return false;
    }
    fchmod(lockFd, fileMode);
    if (groupAsked) (void)!fchown(lockFd, static_cast<uid_t>(-1), groupId);
    return true;
}

bool Machine::Impl::peerMayUse(int socket, std::string* why) const {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        *why = "the machine cannot tell who is calling";
        return false;
    }
    if (cred.uid == ownerUid) return true;
    if (groupAsked) {
        if (cred.gid == groupId) return true;
        std::vector<char> buffer(16384);
        passwd pw{};
        passwd* found = nullptr;
        if (getpwuid_r(cred.uid, &pw, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr) {
            std::vector<gid_t> groups(256);
            int count = static_cast<int>(groups.size());
            if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) >= 0) {
                for (int i = 0; i < count; ++i) {
                    if (groups[static_cast<std::size_t>(i)] == groupId) return true;
                }
            }
        }
    }
    *why = "the machine on " + root + " serves only user " + std::to_string(ownerUid) +
           (groupAsked ? " and group " + options.group : std::string()) + "; user " +
           std::to_string(cred.uid) + " may not use it";
    return false;
}

bool Machine::Impl::startUp(std::string* error) {
    root = options.root.empty() ? win32::machineRoot() : options.root;
    if (!takeRoot(error)) return false;
    const int lockFd = lock.get();
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {};
        ssize_t n = pread(lockFd, holder, sizeof holder - 1, 0);
        std::string who = n > 0 ? std::string(holder, static_cast<std::size_t>(n)) : "";
        while (!who.empty() && std::isspace(static_cast<unsigned char>(who.back()))) who.pop_back();
        *error = "another machine runs on " + root + (who.empty() ? "" : " (process " + who + ")");
        lock.reset();
        return false;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd, 0) != 0 || pwrite(lockFd, pid.data(), pid.size(), 0) < 0) {
        // The pid in the lock file is for people only.
    }
    bool expected = false;
    if (!gMachineRunning.compare_exchange_strong(expected, true)) {
        *error = "a machine already runs in this process";
        lock.reset();
        return false;
    }

    // One thread runs dispatch-level work (timers, USB completions), as one processor runs
    // the host controller's deferred calls: completions of a pipe come in the order the bus
    // finished them.
    clock = options.clock ? options.clock : makeRealClock(1, 2);
    kernel::resetMachine(clock);
    harness = std::make_unique<kernel::FrameworkHarness>("Vq36Kernel");
    PDRIVER_INITIALIZE entry = options.driverEntry;
    static_assert(std::is_same_v<PDRIVER_INITIALIZE, DriverEntryFunction>);
    infoRecord = options.infoRecord;
    if (entry != nullptr) {
        driverDescription = "(linked into the program)";
    } else {
        driverDescription = options.driverPath;
        driverModule = dlopen(options.driverPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (driverModule == nullptr) {
            const char* why = dlerror();
            *error = "cannot load the driver " + options.driverPath + ": " + (why ? why : "?");
            shutDown();
            return false;
        }
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(driverModule, "DriverEntry"));
        infoRecord = reinterpret_cast<InfoRecordAccessor>(dlsym(driverModule, kInfoRecordExport));
        if (entry == nullptr) {
            *error = "the driver " + options.driverPath + " has no DriverEntry";
            shutDown();
            return false;
        }
    }
    NTSTATUS status = harness->loadDriver(entry);
    if (!NT_SUCCESS(status)) {
        char text[80];
        std::snprintf(text, sizeof text, "the driver's entry failed with status 0x%08X",
                      static_cast<unsigned>(status));
        *error = text;
        shutDown();
        return false;
    }
    if (!options.physicalDevice) options.physicalDevice = usbPhysicalDevice;

    bus = std::make_unique<usb::Bus>(clock);
    listener = bus->addListener([this](const usb::BusEvent& e) { onBusEvent(e); });
    if (!clock->isManual()) pnpThread = std::thread([this] { pnpLoop(); });
    return true;
}

void Machine::Impl::shutDown() {
    {
        std::lock_guard lk(mu);
        stopping = true;
        shutdownRequested = true;
    }
    changed.notify_all();
    if (server) server->stop();
    if (bus && listener != 0) bus->removeListener(listener);
    listener = 0;
    {
        std::lock_guard lk(pnpMu);
        pnpStop = true;
    }
    pnpCv.notify_all();
    if (pnpThread.joinable()) pnpThread.join();
    {
        std::unique_lock lk(lifetime);
        harness.reset();
    }
    bus.reset();
    server.reset();
    {
        std::lock_guard lk(mu);
        deviceObjects.clear();
    }
    if (clock) {
        // The kernel stops its clock's threads and forgets what is left, so that nothing runs
        // driver code once the driver is unloaded.
        options.clock.reset();
        clock.reset();
        kernel::resetMachine();
    }
    if (driverModule != nullptr) {
        dlclose(driverModule);
        driverModule = nullptr;
    }
    if (lock.valid()) {
        unlink(wire::socketPath(root).c_str());
        lock.reset();
        gMachineRunning.store(false);
    }
}

bool Machine::Impl::waitAwake() {
    std::unique_lock lk(mu);
    changed.wait(lk, [this] { return !asleep || stopping; });
    return !stopping;
}

// ---------------------------------------------------------------------------------------------
// Plug and Play.
void Machine::Impl::onBusEvent(const usb::BusEvent& event) {
    PnpEvent e;
    e.kind = event.kind == usb::BusEvent::Kind::Arrival ? PnpEvent::Kind::Arrival
                                                        : PnpEvent::Kind::Departure;
    e.device = event.device;
    if (clock->isManual())
        handle(e);
    else
        post(std::move(e));
}

void Machine::Impl::post(PnpEvent event) {
    {
        std::lock_guard lk(pnpMu);
        pnpQueue.push_back(std::move(event));
    }
    pnpCv.notify_all();
}

void Machine::Impl::pnpLoop() {
    for (;;) {
        PnpEvent e;
        {
            std::unique_lock lk(pnpMu);
            pnpCv.wait(lk, [this] { return pnpStop || !pnpQueue.empty(); });
            if (pnpStop) return;
            e = std::move(pnpQueue.front());
            pnpQueue.pop_front();
        }
        handle(e);
    }
}

void Machine::Impl::handle(const PnpEvent& event) {
    switch (event.kind) {
        case PnpEvent::Kind::Arrival:
            arrive(event.device);
            break;
        case PnpEvent::Kind::Departure:
            depart(event.device);
            break;
    }
}

void Machine::Impl::arrive(const std::shared_ptr<usb::UsbDevice>& device) {
    pruneDeviceObjects();
    const usb::PortId port = device->port();
    {
        std::unique_lock lk(lifetime);
        if (harness) {
            WDFDEVICE object = nullptr;
            NTSTATUS status = harness->addDevice(options.physicalDevice(device), &object);
            if (NT_SUCCESS(status) && object != nullptr) {
                DeviceObjectRecord record;
                record.device = object;
                record.port = port;
                record.usbId = device->id();
                record.vendorId = device->deviceDescriptor().idVendor;
                record.productId = device->deviceDescriptor().idProduct;
                bool sleeping;
                {
                    std::lock_guard g(mu);
                    record.instance = nextInstance++;
                    deviceObjects.push_back(record);
                    sleeping = asleep;
                }
                status = harness->startDevice(object);
                if (NT_SUCCESS(status) && sleeping) harness->suspendDevice(object);
            }
        }
    }
    pruneDeviceObjects();
    {
        std::lock_guard lk(mu);
        ++portTable[port].arrivals;
    }
    changed.notify_all();
}

void Machine::Impl::depart(const std::shared_ptr<usb::UsbDevice>& device) {
    std::vector<WDFDEVICE> gone;
    {
        std::lock_guard lk(mu);
        for (auto& record : deviceObjects) {
            if (record.usbId == device->id() && !record.removed) {
                record.removed = true;
                gone.push_back(record.device);
            }
        }
    }
    {
        std::unique_lock lk(lifetime);
        if (harness) {
            for (WDFDEVICE d : gone) harness->surpriseRemoveDevice(d);
        }
    }
    pruneDeviceObjects();
    {
        std::lock_guard lk(mu);
        ++portTable[device->port()].departures;
    }
    changed.notify_all();
}

void Machine::Impl::suspendAll() {
    if (!harness) return;
    for (WDFDEVICE d : harness->devices()) {
        if (harness->deviceState(d) == kernel::DeviceState::Working) harness->suspendDevice(d);
    }
}

void Machine::Impl::resumeAll() {
    if (!harness) return;
    for (WDFDEVICE d : harness->devices()) {
        if (harness->deviceState(d) == kernel::DeviceState::LowPower) harness->resumeDevice(d);
    }
}

void Machine::Impl::pruneDeviceObjects() {
    std::lock_guard lk(mu);
    if (!harness) return;
    deviceObjects.erase(std::remove_if(deviceObjects.begin(), deviceObjects.end(),
                                       [this](const DeviceObjectRecord& r) {
                                           return !harness->deviceExists(r.device);
                                       }),
                        deviceObjects.end());
}

// ---------------------------------------------------------------------------------------------
// Interfaces.
std::vector<std::pair<GUID, std::string>> Machine::Impl::interfacesOf(
    const DeviceObjectRecord& record) const {
    std::vector<std::pair<GUID, std::string>> out;
    if (record.removed || !harness) return out;
    kernel::DeviceState state = harness->deviceState(record.device);
    if (state != kernel::DeviceState::Working && state != kernel::DeviceState::LowPower) return out;
    for (const auto& i : harness->deviceInterfaces(record.device)) {
        if (!i.enabled) continue;
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, "\\\\?\\usb#vid_%04x&pid_%04x#%u#", record.vendorId,
                      record.productId, static_cast<unsigned>(record.port));
        std::string path = prefix + guidText(i.classGuid);
        if (!i.referenceString.empty()) {
            path += "\\";
            for (char16_t c : i.referenceString) path += c < 0x80 ? static_cast<char>(c) : '_';
        }
        out.emplace_back(i.classGuid, std::move(path));
    }
    return out;
}

std::vector<std::string> Machine::Impl::interfacePaths(const GUID& interfaceClass) {
    pruneDeviceObjects();
    std::vector<std::string> paths;
    std::lock_guard lk(mu);
    for (const auto& record : deviceObjects) {
        for (auto& [guid, path] : interfacesOf(record)) {
            if (std::memcmp(&guid, &interfaceClass, sizeof guid) == 0) paths.push_back(path);
        }
    }
    return paths;
}

WDFDEVICE Machine::Impl::findDevice(const std::string& path) {
    std::lock_guard lk(mu);
    for (const auto& record : deviceObjects) {
        for (auto& [guid, p] : interfacesOf(record)) {
            if (equalsIgnoringCase(p, path)) return record.device;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
Machine::Machine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    impl_->owner = this;
}

std::unique_ptr<Machine> Machine::start(MachineOptions options, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    if (impl->options.driverEntry == nullptr && impl->options.driverPath.empty()) {
        *error = "no driver to load";
        return nullptr;
    }
    if (!impl->startUp(error)) return nullptr;
    std::unique_ptr<Machine> machine(new Machine(std::move(impl)));
    Impl& m = *machine->impl_;
    for (const PlugOptions& plug : m.options.devices) machine->plug(plug);
    int listenFd = wire::listenAt(m.root, error);
    if (listenFd < 0) return nullptr;  // the destructor stops what started
    // The socket was just made in the root, which no one else can enter.
    const std::string socket = wire::socketPath(m.root);
    if (chmod(socket.c_str(), m.groupAsked ? 0660 : 0600) != 0 ||
        (m.groupAsked && chown(socket.c_str(), static_cast<uid_t>(-1), m.groupId) != 0)) {
        *error = "cannot set the mode of " + socket + ": " + std::strerror(errno);
        close(listenFd);
        return nullptr;
    }
    m.server = std::make_unique<detail::Server>(m, listenFd);
    return machine;
}

Machine::~Machine() {
    impl_->shutDown();
}

const std::string& Machine::root() const {
    return impl_->root;
}

std::shared_ptr<Clock> Machine::clock() const {
    return impl_->clock;
}

usb::Bus& Machine::bus() {
    return *impl_->bus;
}

kernel::FrameworkHarness& Machine::harness() {
    return *impl_->harness;
}

usb::PortId Machine::plug(PlugOptions options) {
    Impl& m = *impl_;
    {
        std::lock_guard lk(m.mu);
        if (m.stopping) return 0;
    }
    auto model = std::make_shared<vq36::Vq36Device>(options.config);
    if (options.signal) model->setAllCaptureSources(*options.signal);
    usb::PortId port = m.bus->attach(model);
    {
        std::lock_guard lk(m.mu);
        m.portTable[port].model = model;
    }
    if (m.clock->isManual()) m.clock->runDue();
    std::unique_lock lk(m.mu);
    m.changed.wait_for(lk, std::chrono::milliseconds(kPnpWaitMs),
                       [&] { return m.stopping || m.portTable[port].arrivals > 0; });
    return port;
}

bool Machine::unplug(usb::PortId port) {
    Impl& m = *impl_;
    std::uint64_t arrivals;
    {
        std::lock_guard lk(m.mu);
        auto it = m.portTable.find(port);
        if (m.stopping || it == m.portTable.end() || it->second.unplugged) return false;
        it->second.unplugged = true;
        arrivals = it->second.arrivals;
    }
    bool detached = m.bus->detach(port);
    if (m.clock->isManual()) m.clock->runDue();
    std::unique_lock lk(m.mu);
    m.changed.wait_for(lk, std::chrono::milliseconds(kPnpWaitMs), [&] {
        if (m.stopping) return true;
        auto& p = m.portTable[port];
        bool live = std::any_of(
            m.deviceObjects.begin(), m.deviceObjects.end(),
            [port](const Impl::DeviceObjectRecord& r) { return r.port == port && !r.removed; });
        return !live && p.departures >= std::min<std::uint64_t>(arrivals, 1);
    });
    // Nothing reaches the device of an unplugged port any more (a plug makes a new port): the
    // machine lets go of it and of what it recorded, so that plugging again and again does not
    // pile up device models.
    m.portTable[port].model.reset();
    return detached;
}

std::shared_ptr<vq36::Vq36Device> Machine::device(usb::PortId port) const {
    std::lock_guard lk(impl_->mu);
    auto it = impl_->portTable.find(port);
    return it == impl_->portTable.end() || it->second.unplugged ? nullptr : it->second.model;
}

std::vector<usb::PortId> Machine::ports() const {
    std::lock_guard lk(impl_->mu);
    std::vector<usb::PortId> out;
    for (auto& [port, p] : impl_->portTable) {
        if (!p.unplugged && p.model) out.push_back(port);
    }
    return out;
}

// Sleep and wake hold the lifetime lock throughout, so that a device arriving meanwhile is
// started in the state the machine ends up in.
bool Machine::sleep() {
    Impl& m = *impl_;
    std::unique_lock lifetime(m.lifetime);
    {
        std::lock_guard lk(m.mu);
        if (m.asleep || m.stopping) return false;
        m.asleep = true;
    }
    m.suspendAll();
    return true;
}

bool Machine::wake() {
    Impl& m = *impl_;
    {
        std::unique_lock lifetime(m.lifetime);
        {
            std::lock_guard lk(m.mu);
            if (!m.asleep || m.stopping) return false;
        }
        m.resumeAll();
        std::lock_guard lk(m.mu);
        m.asleep = false;
    }
    m.changed.notify_all();
    return true;
}

bool Machine::asleep() const {
    std::lock_guard lk(impl_->mu);
    return impl_->asleep;
}

std::vector<std::string> Machine::interfacePaths(const ::_GUID& interfaceClass) const {
    return impl_->interfacePaths(interfaceClass);
}

DeviceObjectHandle Machine::deviceObject(usb::PortId port) const {
    impl_->pruneDeviceObjects();
    std::lock_guard lk(impl_->mu);
    WDFDEVICE newest = nullptr;
    for (const auto& record : impl_->deviceObjects) {
        if (record.port == port) newest = record.device;
    }
    return newest;
}

bool Machine::waitForInterfaces(std::size_t count, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t present = 0;
        {
            std::lock_guard lk(impl_->mu);
            for (const auto& record : impl_->deviceObjects)
                present += impl_->interfacesOf(record).size();
        }
        if (present >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (impl_->clock->isManual())
            impl_->clock->advance(kUnitsPerMs);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

MachineStatus Machine::status() const {
    Impl& m = *impl_;
    m.pruneDeviceObjects();
    MachineStatus s;
    s.root = m.root;
    s.driver = m.driverDescription;
    s.manualClock = m.clock->isManual();
    std::shared_lock lifetime(m.lifetime);
    std::lock_guard lk(m.mu);
    if (!m.harness) return s;
    s.asleep = m.asleep;
    for (auto& [port, p] : m.portTable) {
        if (p.unplugged || !p.model) continue;
        PortStatus ps;
        ps.port = port;
        ps.variant = variantName(p.model->config().variant);
        ps.bootLoader = p.model->inBootLoader();
        ps.firmware = p.model->runningVersion();
        if (ps.bootLoader)
            ps.flashFirmware = vq36::findFirmwareVersion(p.model->readFlash(0, vq36::kFlashSize));
        for (const auto& d : m.bus->devices()) ps.enumerated |= d->port() == port;
        s.ports.push_back(ps);
    }
    for (const auto& record : m.deviceObjects) {
        DeviceObjectStatus d;
        d.instance = record.instance;
        d.port = record.port;
        const kernel::DeviceState state = m.harness->deviceState(record.device);
        d.state = objectState(state);
        for (auto& [guid, path] : m.interfacesOf(record)) d.paths.push_back(path);
        d.openHandles = m.harness->openFiles(record.device);
        if (m.infoRecord != nullptr &&
            (state == kernel::DeviceState::Working || state == kernel::DeviceState::LowPower)) {
            // Leaving these states takes the lifetime lock, which is held here: the device
            // object and its record stay while they are read.
            const auto* info = static_cast<const ::vq36::AsioInfo*>(m.infoRecord(record.device));
            if (info != nullptr) {
                RecordCounters c;
                c.blockCount = ::vq36::Load64(&info->asioBlockCount);
                c.streamingEnabled = ::vq36::Load32(&info->isStreamingEnabled);
                c.estimatedSampleRate = ::vq36::Load32(&info->statistics.estSampleRate);
                c.sampleRate = ::vq36::Load32(&info->sampleRate);
                c.blockFrames = ::vq36::Load32(&info->blockFrames);
                c.joinedClients = ::vq36::Load32(&info->joinedClientCount);
                c.ringBlocks = ::vq36::Load32(&info->ringBlocks);
                c.deviceGone = ::vq36::Load8(&info->deviceGone);
                c.lastFwUp = ::vq36::Load32(&info->lastFwUp);
                d.record = c;
            }
        }
        s.deviceObjects.push_back(std::move(d));
    }
    for (const auto& [tag, usage] : kernel::pool::outstandingByTag()) {
        s.poolBlocks += usage.allocations;
        s.poolBytes += usage.bytes;
    }
    const kernel::pages::PageUsage pages = kernel::pages::outstanding();
    s.pageLists = pages.pageLists;
    s.userViews = pages.userViews;
    if (m.server) {
        s.processes = m.server->processes();
        s.connections = m.server->connections();
        s.namedEvents = m.server->namedEvents();
    }
    return s;
}

int Machine::manage(const std::vector<std::string>& args, std::string* out) {
    return impl_->manage(args, out);
}

void Machine::waitForShutdownRequest() {
    std::unique_lock lk(impl_->mu);
    impl_->changed.wait(lk, [this] { return impl_->shutdownRequested; });
}

void Machine::requestShutdown() {
    {
        std::lock_guard lk(impl_->mu);
        impl_->shutdownRequested = true;
    }
    impl_->changed.notify_all();
}

// ---------------------------------------------------------------------------------------------
std::string formatStatus(const MachineStatus& s) {
    std::ostringstream o;
    o << "machine " << s.root << "\n";
    o << "  driver " << s.driver << "\n";
    o << "  clock " << (s.manualClock ? "manual" : "real") << ", "
      << (s.asleep ? "asleep" : "awake") << "\n";
    o << "  processes " << s.processes << ", connections " << s.connections << ", named events "
      << s.namedEvents << "\n";
    o << "  kernel pool " << s.poolBlocks << " blocks (" << s.poolBytes << " bytes), page lists "
      << s.pageLists << ", user views " << s.userViews << "\n";
    o << "ports " << s.ports.size() << "\n";
    for (const auto& p : s.ports) {
        o << "  port " << p.port << ": VQ36 " << p.variant << ", "
          << (p.enumerated ? "on the bus" : "off the bus") << ", "
          << (p.bootLoader ? "boot loader " : "firmware ") << unsigned(p.firmware.major) << "."
          << unsigned(p.firmware.minor) << "." << p.firmware.build;
        if (p.bootLoader && p.flashFirmware) {
            o << ", flash holds firmware " << unsigned(p.flashFirmware->major) << "."
              << unsigned(p.flashFirmware->minor) << "." << p.flashFirmware->build;
        } else if (p.bootLoader) {
            o << ", flash holds no sound firmware";
        }
        o << "\n";
    }
    o << "device objects " << s.deviceObjects.size() << "\n";
    for (const auto& d : s.deviceObjects) {
        o << "  device " << d.instance << " (port " << d.port << "): " << stateName(d.state)
          << ", open handles " << d.openHandles << "\n";
        for (const auto& path : d.paths) o << "    interface " << path << "\n";
        if (d.record) {
            const RecordCounters& c = *d.record;
            o << "    record: blocks " << c.blockCount << ", streaming "
              << (c.streamingEnabled ? "on" : "off") << ", joined clients " << c.joinedClients
              << ", block " << c.blockFrames << " frames, rate " << c.sampleRate
              << " Hz (estimated " << c.estimatedSampleRate << " Hz)"
              << (c.deviceGone ? ", device gone" : "")
              << (c.lastFwUp != 0 ? ", firmware update in progress" : "") << "\n";
        }
    }
    return o.str();
}

}  // namespace standin::host
