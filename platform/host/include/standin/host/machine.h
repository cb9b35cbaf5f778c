#pragma once
// The machine ("kernel host"): a clock, a USB bus with VQ36 device models, and the kernel
// driver, serving the user processes of one machine root over the root's socket.
//
// The same code runs as the daemon (`vq36 machine run`) and embedded in a program (a test, the
// demo): Machine::start in either case. One machine per root (a lock file below the root
// refuses a second one) and one machine per process (the kernel stand-in is process-wide).
//
// Plug and Play: a device that arrives on the bus gets a device object (EvtDeviceAdd, prepare
// hardware, D0 entry); when it leaves, the device object is surprise-removed, and it is deleted
// once its last handle is closed. A device that leaves and arrives again (port cycle, restart
// into its boot loader, unplug and plug) gets a new device object. Each present device object
// publishes the device interfaces its driver created, with the instance path
//   \\?\usb#vid_VVVV&pid_PPPP#<port>#{interface class guid}[\<reference string>]
// (lower case; <port> is the bus port, so a device that comes back on the same port has the
// same path again, as a device without a serial number does on the platform).
//
// User processes: see standin/host/protocol.h. While the machine sleeps, new requests of
// processes wait for it to wake (processes do not run while the machine sleeps); requests
// already in the driver go on.
//
// Clock: a real clock unless the options give one. With a manual clock Plug and Play runs in
// the thread that moves the clock (plug() and unplug() run what is due themselves), and a
// request of a process moves it while the request waits. The kernel stand-in runs on the
// machine's clock from start() on; stopping the machine resets the kernel stand-in.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "standin/clock.h"
#include "standin/usb/bus.h"
#include "standin/vq36/device.h"

// The kernel's types this header names, declared only: a program that uses the machine is
// usually a user-mode program too, whose Win32 declarations cannot meet the kernel's.
struct _GUID;
struct _DRIVER_OBJECT;
struct _UNICODE_STRING;
struct WDFDEVICE__;

namespace standin::kernel {
class FrameworkHarness;
class PhysicalDevice;
}  // namespace standin::kernel

namespace standin::host {

// WDFDEVICE and PDRIVER_INITIALIZE.
using DeviceObjectHandle = ::WDFDEVICE__*;
using DriverEntryFunction = std::int32_t (*)(::_DRIVER_OBJECT*, ::_UNICODE_STRING*);

// How a device object reaches the USB device behind it (its physical device).
using PhysicalDeviceFactory =
    std::function<std::shared_ptr<kernel::PhysicalDevice>(std::shared_ptr<usb::UsbDevice>)>;

// The driver's shared record of a device object, null while it has none. A driver that has one
// exports it as `extern "C" const void* Vq36KernelInfoRecord(WDFDEVICE)`.
using InfoRecordAccessor = const void* (*)(DeviceObjectHandle);
inline constexpr const char* kInfoRecordExport = "Vq36KernelInfoRecord";

enum class DeviceObjectState { Starting, Working, Sleeping, Failed, Removed };

struct PlugOptions {
    vq36::DeviceConfig config;
    std::optional<vq36::CaptureSource> signal;  // for every capture channel
};

struct MachineOptions {
    std::string root;              // empty: this process's machine root
    std::shared_ptr<Clock> clock;  // null: a new real clock
    std::string driverPath;        // the driver's shared object (entry DriverEntry), or:
    DriverEntryFunction driverEntry = nullptr;  // a driver linked into the program
    InfoRecordAccessor infoRecord = nullptr;    // with driverEntry: its record accessor
    std::vector<PlugOptions> devices;           // plugged at the start
    PhysicalDeviceFactory physicalDevice;       // null: the framework's USB device objects
    // The machine serves only its owner (the user running it): the root is 0700, its socket and
    // files 0600. A group named here may use it too: the root becomes 0770, the socket and
    // files 0660, all of that group.
    std::string group;
    // Connections served at once, each on a thread of its own: per user and in all. A
    // connection beyond either is refused with a message that says so.
    std::size_t maxConnectionsPerUser = 256;
    std::size_t maxConnections = 1024;
};

// Counters of a device object's shared record.
struct RecordCounters {
    std::uint64_t blockCount = 0;
    std::uint32_t streamingEnabled = 0;
    std::uint32_t estimatedSampleRate = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t blockFrames = 0;
    std::uint32_t joinedClients = 0;
    std::uint32_t ringBlocks = 0;  // blocks in one lap of the playback ring
    std::uint8_t deviceGone = 0;
    std::uint32_t lastFwUp = 0;  // nonzero while a firmware update runs
};

struct DeviceObjectStatus {
    std::uint32_t instance = 0;  // device objects are numbered from 1 in order of arrival
    usb::PortId port = 0;
    DeviceObjectState state = DeviceObjectState::Starting;
    std::vector<std::string> paths;  // interfaces present now
    std::size_t openHandles = 0;     // the driver's clients: open file objects
    std::optional<RecordCounters> record;
};

struct PortStatus {
    usb::PortId port = 0;
    std::string variant;
    bool enumerated = false;
    bool bootLoader = false;
    vq36::FirmwareVersion firmware;
    // In the boot loader: the firmware its flash holds (what it would start), if sound.
    std::optional<vq36::FirmwareVersion> flashFirmware;
};

struct MachineStatus {
    std::string root;
    std::string driver;
    bool manualClock = false;
    bool asleep = false;
    std::vector<PortStatus> ports;
    std::vector<DeviceObjectStatus> deviceObjects;
    std::size_t processes = 0;    // processes with a device handle open
    std::size_t connections = 0;  // open device handles, sessions and requests in progress
    std::size_t namedEvents = 0;
    // The kernel's memory still held: pool blocks (all tags) and their bytes, page lists whose
    // pages are not freed, and views of them in processes.
    std::size_t poolBlocks = 0;
    std::size_t poolBytes = 0;
    std::size_t pageLists = 0;
    std::size_t userViews = 0;
};

const char* variantName(vq36::Variant variant);
std::optional<vq36::Variant> variantFromName(const std::string& name);
const char* stateName(DeviceObjectState state);
// A capture signal by name: counting, silence, sine:HZ[:AMPLITUDE], loopback:CHANNEL.
std::optional<vq36::CaptureSource> signalFromName(const std::string& text);

class Machine {
  public:
    // Starts a machine: takes the root's lock, loads the driver, plugs the devices and serves
    // the root's socket. Null (and a message in *error) when another machine holds the root,
    // another machine runs in this process, or the driver does not load.
    static std::unique_ptr<Machine> start(MachineOptions options, std::string* error = nullptr);
    // Stops: closes every connection (the driver cleans up after each handle as after a
    // process that died), removes the devices, unloads the driver, releases the root.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::string& root() const;
    std::shared_ptr<Clock> clock() const;
    usb::Bus& bus();
    kernel::FrameworkHarness& harness();

    // Plugs a VQ36 into a new port and returns when its arrival has been handled (device
    // object started or failed; at most a few seconds). 0 when the machine is stopping.
    usb::PortId plug(PlugOptions options = {});
    // Pulls a device out (surprise removal); returns when the departure has been handled.
    bool unplug(usb::PortId port);
    std::shared_ptr<vq36::Vq36Device> device(usb::PortId port) const;
    std::vector<usb::PortId> ports() const;

    // Every working device leaves D0 / enters it again.
    bool sleep();
    bool wake();
    bool asleep() const;

    // Instance paths of the present interfaces of a class, in order of arrival.
    std::vector<std::string> interfacePaths(const ::_GUID& interfaceClass) const;
    // The newest device object of a port (null when none exists).
    DeviceObjectHandle deviceObject(usb::PortId port) const;
    // Waits until `count` device interfaces are present, at most `timeoutMs` of real time.
    bool waitForInterfaces(std::size_t count, int timeoutMs) const;
    MachineStatus status() const;

    // A management command: the words after "vq36 machine" (see management.cpp). Returns the
    // exit code; the text for the person goes to *out.
    int manage(const std::vector<std::string>& args, std::string* out);
    // Blocks until a "shutdown" command or requestShutdown().
    void waitForShutdownRequest();
    void requestShutdown();

    struct Impl;

  private:
    explicit Machine(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The status as text, as `vq36 machine status` prints it.
std::string formatStatus(const MachineStatus& status);

}  // namespace standin::host
