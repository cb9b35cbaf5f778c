// The continuous reader: a number of reads kept pending on a bulk or interrupt IN pipe while
// the pipe's I/O target is started, each into a memory object of its own; the framework's
// recovery when reads fail.

#include "usb_internal.h"

namespace standin::kernel::usbfw {
namespace {

// The reader whose driver callback runs in this thread (it must not wait for itself).
thread_local const Reader* tCallbackOf = nullptr;

class CallbackMark {
  public:
    explicit CallbackMark(const Reader* r) : previous_(tCallbackOf) { tCallbackOf = r; }
    ~CallbackMark() { tCallbackOf = previous_; }
    CallbackMark(const CallbackMark&) = delete;
    CallbackMark& operator=(const CallbackMark&) = delete;

  private:
    const Reader* previous_;
};

void deleteMemory(wdf::Ref& memory) {
    if (memory) wdf::deleteObject(memory.get());
    memory = wdf::Ref();
}

}  // namespace

Reader::Reader(std::shared_ptr<Stack> stack, WDFUSBPIPE pipe, std::uint8_t endpoint,
               const WDF_USB_CONTINUOUS_READER_CONFIG& config, unsigned reads)
    : stack_(std::move(stack)),
      pipe_(pipe),
      endpoint_(endpoint),
      headerLength_(config.HeaderLength),
      transferLength_(config.TransferLength),
      trailerLength_(config.TrailerLength),
      hasBufferAttributes_(config.BufferAttributes != nullptr),
      readComplete_(config.EvtUsbTargetPipeReadComplete),
      readContext_(config.EvtUsbTargetPipeReadCompleteContext),
      readersFailed_(config.EvtUsbTargetPipeReadersFailed),
      slots_(reads) {
    if (hasBufferAttributes_) bufferAttributes_ = *config.BufferAttributes;
}

void Reader::start() {
    {
        std::lock_guard lk(mu_);
        if (mode_ == Mode::Shutdown || mode_ == Mode::Running) return;
        mode_ = Mode::Running;
        ++epoch_;
    }
    submitAll();
}

void Reader::stop() {
    halt(Mode::Stopped);
}

void Reader::shutdown() {
    halt(Mode::Shutdown);
}

void Reader::halt(Mode mode) {
    std::vector<usb::TransferId> pending;
    {
        std::lock_guard lk(mu_);
        if (mode_ == Mode::Shutdown) return;
        mode_ = mode;
        ++epoch_;
        for (const Slot& s : slots_)
            if (s.state == SlotState::Pending && s.id) pending.push_back(s.id);
    }
    for (usb::TransferId id : pending) stack_->device->cancel(id);
    // At passive level the reads are waited for, as for any I/O the target cancels; a driver
    // callback of this reader cannot wait for itself.
    if (detail::irql() != PASSIVE_LEVEL || tCallbackOf == this) return;
    detail::waitUntil(
        [this] {
            std::lock_guard lk(mu_);
            return quietLocked();
        },
        detail::kForever, "stopping a continuous reader");
}

bool Reader::quietLocked() const {
    if (callbacks_ != 0) return false;
    for (const Slot& s : slots_)
        if (s.state != SlotState::Idle) return false;
    return true;
}

bool Reader::recoveryDueLocked() {
    if (mode_ != Mode::Recovering || recoveryScheduled_ || !quietLocked()) return false;
    recoveryScheduled_ = true;
    return true;
}

void Reader::scheduleRecovery() {
    std::weak_ptr<Reader> weak = weak_from_this();
    detail::schedule(detail::now(), RunLevel::Passive, [weak] {
        if (auto self = weak.lock()) self->recover();
    });
}

void Reader::submitAll() {
    for (std::size_t i = 0; i < slots_.size(); ++i) submit(i);
}

void Reader::submit(std::size_t slot) {
    std::uint64_t generation;
    {
        std::lock_guard lk(mu_);
        Slot& s = slots_[slot];
        if (mode_ != Mode::Running || s.state != SlotState::Idle) return;
        s.state = SlotState::Pending;
        s.generation += 1;
        s.epoch = epoch_;
        s.id = 0;
        generation = s.generation;
    }

    // Each read gets a memory object of its own, a child of the pipe.
    WDF_OBJECT_ATTRIBUTES attributes;
    if (hasBufferAttributes_)
        attributes = bufferAttributes_;
    else
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = pipe_;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    NTSTATUS status =
        WdfMemoryCreate(&attributes, NonPagedPool, 0,
                        headerLength_ + transferLength_ + trailerLength_, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        usb::TransferResult failed;
        failed.status = static_cast<usb::NtStatus>(status);
        failed.usbdStatus = usb::kUsbdSuccess;
        completed(slot, generation, failed, false, wdf::Ref());
        return;
    }
    // The reader keeps the memory object while the read is on the bus, also when the pipe
    // (its parent) is deleted meanwhile.
    wdf::Ref held = wdf::find(memory);
    {
        std::lock_guard lk(stack_->mu);
        ++stack_->readerTransfers;
    }
    usb::MessageTransfer x;
    x.endpoint = endpoint_;
    x.buffer = static_cast<std::uint8_t*>(buffer) + headerLength_;
    x.length = static_cast<std::uint32_t>(transferLength_);
    x.completion = [self = shared_from_this(), slot, generation,
                    held](const usb::TransferResult& r) {
        self->completed(slot, generation, r, true, held);
    };
    held = wdf::Ref();
    usb::TransferId id = stack_->device->submitMessage(std::move(x));
    bool cancelNow = false;
    {
        std::lock_guard lk(mu_);
        Slot& s = slots_[slot];
        if (s.generation == generation && s.state == SlotState::Pending) {
            s.id = id;
            cancelNow = mode_ != Mode::Running || s.epoch != epoch_;
        }
    }
    if (cancelNow && id) stack_->device->cancel(id);
}

void Reader::completed(std::size_t slot, std::uint64_t generation, const usb::TransferResult& r,
                       bool onBus, wdf::Ref memory) {
    // Read completions run like the bus's deferred procedure calls: at dispatch level.
    detail::CallbackScope scope(DISPATCH_LEVEL, "a continuous reader's completion");
    if (onBus) {
        std::lock_guard lk(stack_->mu);
        --stack_->readerTransfers;
    }
    const bool good = usb::ntSuccess(r.status);
    const bool gone = r.status == usb::kStatusNoSuchDevice || !stack_->device->present();

    std::unique_lock lk(mu_);
    Slot& s = slots_[slot];
    if (s.generation != generation || s.state != SlotState::Pending) {
        lk.unlock();
        deleteMemory(memory);
        return;
    }
    const bool current = s.epoch == epoch_;
    if (good && current && mode_ == Mode::Running) {
        s.state = SlotState::Completing;
        ++callbacks_;
        lk.unlock();
        {
            CallbackMark mark(this);
            readComplete_(pipe_, static_cast<WDFMEMORY>(memory->handle), r.bytesTransferred,
                          readContext_);
        }
        // The framework deletes the buffer's memory object when the routine returns.
        deleteMemory(memory);
        lk.lock();
        --callbacks_;
        s.state = SlotState::Idle;
        const bool again = mode_ == Mode::Running;
        const bool recover = recoveryDueLocked();
        lk.unlock();
        detail::notifyAll();
        if (recover) scheduleRecovery();
        if (again) submit(slot);
        return;
    }

    // Not delivered: cancelled by a stop, or a read that failed.
    s.state = SlotState::Idle;
    std::vector<usb::TransferId> others;
    bool resubmit = false;
    if (mode_ == Mode::Running) {
        if (current && !good) {
            // The other reads are cancelled; once none is left the recovery runs.
            mode_ = Mode::Recovering;
            failStatus_ = static_cast<NTSTATUS>(r.status);
            failUsbdStatus_ = static_cast<USBD_STATUS>(r.usbdStatus);
            deviceGone_ = gone;
            for (const Slot& o : slots_)
                if (o.state == SlotState::Pending && o.id) others.push_back(o.id);
        } else {
            resubmit = true;  // a read of an earlier start, cancelled by its stop
        }
    }
    const bool recover = recoveryDueLocked();
    lk.unlock();
    deleteMemory(memory);
    detail::notifyAll();
    for (usb::TransferId id : others) stack_->device->cancel(id);
    if (recover) scheduleRecovery();
    if (resubmit) submit(slot);
}

void Reader::recover() {
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    bool gone;
    {
        std::lock_guard lk(mu_);
        recoveryScheduled_ = false;
        if (mode_ != Mode::Recovering) return;
        ++callbacks_;
        status = failStatus_;
        usbdStatus = failUsbdStatus_;
        gone = deviceGone_;
    }
    bool restart = true;
    if (readersFailed_) {
        CallbackMark mark(this);
        restart = readersFailed_(pipe_, status, usbdStatus) != FALSE;
    }
    // A device that is gone is not read again; otherwise the pipe is reset and the reads
    // start again (unless the driver said no).
    if (gone) restart = false;
    if (restart && !usb::ntSuccess(stack_->device->resetPipe(endpoint_))) restart = false;
    bool go;
    {
        std::lock_guard lk(mu_);
        --callbacks_;
        if (mode_ == Mode::Recovering) {
            mode_ = restart ? Mode::Running : Mode::Failed;
            ++epoch_;
        }
        go = mode_ == Mode::Running;
    }
    detail::notifyAll();
    if (go) submitAll();
}

}  // namespace standin::kernel::usbfw
