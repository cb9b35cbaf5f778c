#pragma once
// The framework's USB objects: what a device object's USB hardware holds (its stack), the
// formats of USB requests, the extensions of the USB target device, interface and pipe
// objects, and the continuous reader.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "standin/sync.h"
#include "standin/kernel/usb.h"
#include "wdf_internal.h"

namespace standin::kernel::usbfw {

inline NTSTATUS toNt(usb::NtStatus status) {
    return static_cast<NTSTATUS>(status);
}

class Reader;

// A request block: the request carries the block's memory object and where it starts.
class UrbFormat final : public RequestFormat {
  public:
    WDF_REQUEST_TYPE type() const override { return WdfRequestTypeUsb; }

    WDFMEMORY memory = nullptr;
    std::size_t offset = 0;
    std::size_t length = 0;  // bytes from the offset to the memory's end
    // Parameters.Usb.Completion of the request's completion (lives as long as the format).
    WDF_USB_REQUEST_COMPLETION_PARAMS completion{};
};

struct Stack;

// A write to a bulk or interrupt OUT pipe from a buffer the sender keeps until completion.
class PipeWriteFormat final : public RequestFormat {
  public:
    WDF_REQUEST_TYPE type() const override { return WdfRequestTypeWrite; }

    std::shared_ptr<Stack> stack;
    std::uint8_t endpoint = 0;
    std::uint8_t* buffer = nullptr;
    std::uint32_t length = 0;
};

class PipeResetFormat final : public RequestFormat {
  public:
    WDF_REQUEST_TYPE type() const override { return WdfRequestTypeUsb; }

    std::shared_ptr<Stack> stack;
    std::uint8_t endpoint = 0;
};

// One request's transfer on the bus.
struct Transfer {
    standin::Mutex mu;
    standin::CondVar cv;
    bool submitting = true;  // the bus call that takes it has not returned yet
    bool abandoned = false;  // the framework gave the request up
    bool written = false;    // the request block holds its results: no more writes
    bool released = false;   // the framework may complete the request: hands off the block
    usb::TransferId id = 0;
    std::shared_ptr<IoSubmission> submission;

    // Request blocks only.
    UrbFormat* format = nullptr;  // held by the submission
    std::uint8_t* urb = nullptr;
    usb::IsoPacket* packets = nullptr;   // the block's own array, or `bounce`
    std::vector<usb::IsoPacket> bounce;  // for a block whose packet array is not aligned
    std::uint32_t packetCount = 0;
    std::uint8_t* packetArea = nullptr;  // the block's packet array
    wdf::Ref memory;                     // the block's memory object, while on the bus
};

// A device object's USB hardware as the framework's USB objects use it.
struct Stack : std::enable_shared_from_this<Stack> {
    explicit Stack(std::shared_ptr<usb::UsbDevice> d) : device(std::move(d)) {}

    const std::shared_ptr<usb::UsbDevice> device;

    standin::Mutex mu;
    std::map<std::uintptr_t, std::uint8_t> pipeHandles;  // pipe handle value -> endpoint
    std::map<std::uint8_t, std::uint32_t> nextIsoFrame;  // frame after a pipe's latest transfer
    std::map<const IoSubmission*, std::shared_ptr<Transfer>> transfers;
    std::size_t readerTransfers = 0;
    bool hasTargetDevice = false;

    USBD_PIPE_HANDLE registerPipe(std::uint8_t endpoint);
    void unregisterPipe(USBD_PIPE_HANDLE handle);
    std::size_t transfersOnBus();

    // What every USB I/O target of the device does with a request.
    void submit(const std::shared_ptr<IoSubmission>& s);
    void cancel(const std::shared_ptr<IoSubmission>& s);

  private:
    void submitUrb(const std::shared_ptr<IoSubmission>& s, UrbFormat& format);
    void submitWrite(const std::shared_ptr<IoSubmission>& s, const PipeWriteFormat& format);
    void urbDone(const std::shared_ptr<Transfer>& t, const usb::TransferResult& r);
    void writeDone(const std::shared_ptr<Transfer>& t, const usb::TransferResult& r);
    void forget(const std::shared_ptr<Transfer>& t);
};

// Serves the device's default target, the USB target device and each pipe. A pipe's backend
// also starts and stops the pipe's continuous reader with the target.
class Backend final : public IoTargetBackend {
  public:
    explicit Backend(std::shared_ptr<Stack> s) : stack(std::move(s)) {}

    NTSTATUS start() override;
    void stop() override;
    void submit(const std::shared_ptr<IoSubmission>& s) override { stack->submit(s); }
    void cancel(const std::shared_ptr<IoSubmission>& s) override { stack->cancel(s); }

    void setReader(std::shared_ptr<Reader> reader);
    std::shared_ptr<Reader> reader();

    const std::shared_ptr<Stack> stack;

  private:
    standin::Mutex mu_;
    std::shared_ptr<Reader> reader_;
};

// ---------------------------------------------------------------------------------------------
// Framework objects.
class PipeExt;

class UsbDeviceExt final : public ObjectExtension {
  public:
    void onDelete() override;

    std::shared_ptr<Stack> stack;
    WDFDEVICE device = nullptr;
    WDFUSBDEVICE self = nullptr;

    struct ConfiguredPipe {
        WDFUSBPIPE handle = nullptr;
        std::shared_ptr<PipeExt> ext;
    };
    struct InterfaceState {
        usb::Interface descriptor;
        WDFUSBINTERFACE handle = nullptr;
        int selectedIndex = -1;  // setting index; -1: not configured
        std::vector<ConfiguredPipe> pipes;
    };
    standin::Mutex mu;  // guards the configuration state
    std::vector<InterfaceState> interfaces;
    bool configured = false;
};

class InterfaceExt final : public ObjectExtension {
  public:
    InterfaceExt(std::shared_ptr<UsbDeviceExt> o, std::size_t i) : owner(std::move(o)), index(i) {}
    const std::shared_ptr<UsbDeviceExt> owner;
    const std::size_t index;
};

class PipeExt final : public ObjectExtension {
  public:
    void onDelete() override;

    std::shared_ptr<Stack> stack;
    std::shared_ptr<Backend> backend;
    usb::PipeInfo info;
    std::uint8_t settingIndex = 0;
    USBD_PIPE_HANDLE pipeHandle = nullptr;
    WDFUSBPIPE self = nullptr;
};

// ---------------------------------------------------------------------------------------------
// The continuous reader of one pipe.
class Reader final : public std::enable_shared_from_this<Reader> {
  public:
    Reader(std::shared_ptr<Stack> stack, WDFUSBPIPE pipe, std::uint8_t endpoint,
           const WDF_USB_CONTINUOUS_READER_CONFIG& config, unsigned reads);

    void start();     // the pipe's target started
    void stop();      // the pipe's target stopped: the reads are cancelled
    void shutdown();  // the pipe is deleted

  private:
    enum class Mode { Stopped, Running, Recovering, Failed, Shutdown };
    enum class SlotState { Idle, Pending, Completing };
    struct Slot {
        SlotState state = SlotState::Idle;
        std::uint64_t generation = 0;
        std::uint64_t epoch = 0;  // of the start its read belongs to
        usb::TransferId id = 0;
    };

    void submitAll();
    void submit(std::size_t slot);
    void completed(std::size_t slot, std::uint64_t generation, const usb::TransferResult& r,
                   bool onBus, wdf::Ref memory);
    void recover();
    void halt(Mode mode);
    // With mu_ held: true when a recovery is due now (and marks it scheduled).
    bool recoveryDueLocked();
    bool quietLocked() const;
    void scheduleRecovery();

    const std::shared_ptr<Stack> stack_;
    const WDFUSBPIPE pipe_;
    const std::uint8_t endpoint_;
    const std::size_t headerLength_;
    const std::size_t transferLength_;
    const std::size_t trailerLength_;
    const bool hasBufferAttributes_;
    WDF_OBJECT_ATTRIBUTES bufferAttributes_{};
    const PFN_WDF_USB_READER_COMPLETION_ROUTINE readComplete_;
    const WDFCONTEXT readContext_;
    const PFN_WDF_USB_READERS_FAILED readersFailed_;

    mutable standin::Mutex mu_;
    Mode mode_ = Mode::Stopped;
    std::uint64_t epoch_ = 0;
    std::vector<Slot> slots_;
    int callbacks_ = 0;  // driver callbacks running
    bool recoveryScheduled_ = false;
    NTSTATUS failStatus_ = STATUS_SUCCESS;
    USBD_STATUS failUsbdStatus_ = USBD_STATUS_SUCCESS;
    bool deviceGone_ = false;
};

inline constexpr unsigned kDefaultPendingReads = 2;
inline constexpr unsigned kMaxPendingReads = 64;

}  // namespace standin::kernel::usbfw
