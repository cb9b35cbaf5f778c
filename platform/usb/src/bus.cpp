#include "standin/usb/bus.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "standin/sync.h"

namespace standin::usb {

namespace detail {

namespace {
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
// An endpoint that fell behind (a late tick) moves at most this many packets in one go.
constexpr std::uint64_t kMaxCatchUpPackets = 1024;
}  // namespace

struct Transfer {
    TransferId id = 0;
    std::shared_ptr<Instance> inst;
    std::uint8_t endpoint = 0;
    bool in = false;
    bool iso = false;
    std::uint16_t maxPacket = 0;
    std::uint8_t* buffer = nullptr;
    Completion completion;
    Clock::TaskId timeoutTask = 0;

    // Isochronous.
    std::uint32_t startFrame = 0;
    std::uint64_t firstUf = 0;
    std::uint64_t endUf = 0;
    std::uint32_t ufStep = 1;
    IsoPacket* packets = nullptr;
    std::uint32_t packetCount = 0;
    std::uint32_t nextPacket = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> regions;  // offset, size

    // Message.
    std::uint32_t length = 0;
    std::uint32_t done = 0;
    bool sentAny = false;
    bool withDevice = false;  // an OUT packet of it is with the device (bus unlocked)
    bool cancelRequested = false;
    NtStatus cancelStatus = kStatusCancelled;
    UsbdStatus cancelUsbd = kUsbdCanceled;

    std::uint64_t packetUf(std::uint32_t p) const { return firstUf + std::uint64_t{p} * ufStep; }
};

struct EndpointState {
    PipeInfo info;
    std::deque<Transfer*> pending;                   // message transfers, in order
    std::deque<std::vector<std::uint8_t>> deviceIn;  // IN: packets the device queued
    bool nak = false;                                // OUT: waiting for resumeOut
    std::uint64_t lastServedUf = 0;

    bool hasWork() const {
        if (pending.empty()) return false;
        return info.endpointAddress & kEndpointDirIn ? !deviceIn.empty() : !nak;
    }
};

struct Instance {
    std::uint64_t id = 0;
    PortId port = 0;
    std::shared_ptr<Function> fn;
    Speed speed = Speed::High;
    DeviceDescriptor deviceDescriptor;
    std::vector<std::uint8_t> configBytes;
    Configuration config;

    // Guarded by the core's lock.
    bool present = true;
    bool configured = false;
    std::map<std::uint8_t, std::uint8_t> selected;  // interface number -> alternate setting
    std::map<std::uint8_t, EndpointState> endpoints;
};

struct Port {
    PortId id = 0;
    std::shared_ptr<Function> fn;
    std::shared_ptr<Instance> inst;
    std::shared_ptr<UsbDevice> handle;
    Clock::TaskId pendingTask = 0;  // a leave or arrival on its way
    std::uint64_t pendingSeq = 0;
};

struct PendingCompletion {
    Completion fn;
    TransferResult result;
};

class Core : public std::enable_shared_from_this<Core> {
  public:
    Core(Clock* clock, BusOptions options)
        : clock_(clock), options_(options), epoch_(clock->now()) {
        if (options_.frameBase == 0) options_.frameBase = 1;
    }

    const BusOptions& options() const { return options_; }

    // ---- time -----------------------------------------------------------------------------
    std::uint64_t nowUf() const { return (clock_->now() - epoch_) / kUnitsPerMicroframe; }
    std::uint32_t frameNumberOfUf(std::uint64_t uf) const {
        return static_cast<std::uint32_t>(options_.frameBase + uf / 8);
    }
    std::uint32_t currentFrame() const {
        std::lock_guard lk(mu_);
        if (shutdown_) return 0;
        return frameNumberOfUf(nowUf());
    }
    std::uint64_t currentMicroframe() const {
        std::lock_guard lk(mu_);
        if (shutdown_) return 0;
        return nowUf();
    }
    Time100ns frameStartTime(std::uint32_t frame) const {
        std::uint64_t curFrame = nowUf() / 8;
        auto d = static_cast<std::int32_t>(frame - frameNumberOfUf(curFrame * 8));
        auto idx = static_cast<std::int64_t>(curFrame) + d;
        if (idx < 0) idx = 0;
        return epoch_ + static_cast<Time100ns>(idx) * kUnitsPerMs;
    }

    // ---- ports ----------------------------------------------------------------------------
    PortId attach(std::shared_ptr<Function> fn) {
        if (!fn) return 0;
        PortId id;
        {
            std::lock_guard lk(mu_);
            if (shutdown_) return 0;
            id = ++nextPort_;
            Port p;
            p.id = id;
            p.fn = fn;
            ports_.emplace(id, std::move(p));
        }
        fn->plugged(std::make_shared<DeviceLink>(weak_from_this(), id));
        arrive(id, 0);
        return id;
    }

    bool unplug(PortId id) {
        std::shared_ptr<Function> drop;
        {
            std::lock_guard lk(mu_);
            auto it = ports_.find(id);
            if (it == ports_.end() || shutdown_) return false;
            if (it->second.pendingTask) cancelTask(it->second.pendingTask);
            if (it->second.inst) leaveLocked(it->second);
            drop = std::move(it->second.fn);
            ports_.erase(it);
        }
        return true;  // `drop` releases the device model outside the lock
    }

    bool enumerated(PortId id) const {
        std::lock_guard lk(mu_);
        auto it = ports_.find(id);
        return !shutdown_ && it != ports_.end() && it->second.inst != nullptr;
    }

    bool reenumerate(PortId id) {
        std::lock_guard lk(mu_);
        auto it = ports_.find(id);
        if (shutdown_ || it == ports_.end()) return false;
        Port& port = it->second;
        if (port.pendingTask) return true;  // already leaving or arriving
        if (!port.inst) return false;
        std::uint64_t seq = ++portSeq_;
        port.pendingSeq = seq;
        port.pendingTask =
            scheduleTask(clock_->now() + options_.reenumerateLeaveDelay, RunLevel::Dispatch,
                         [id, seq](Core& c) { c.leaveAndReturn(id, seq); });
        return true;
    }

    NtStatus cyclePort(const std::shared_ptr<Instance>& inst) {
        std::lock_guard lk(mu_);
        if (shutdown_ || !inst->present) return kStatusNoSuchDevice;
        auto it = ports_.find(inst->port);
        if (it == ports_.end() || it->second.inst != inst) return kStatusNoSuchDevice;
        Port& port = it->second;
        if (port.pendingTask) cancelTask(port.pendingTask);
        leaveLocked(port);
        scheduleArrivalLocked(port);
        return kStatusSuccess;
    }

    std::vector<std::shared_ptr<UsbDevice>> devices() const {
        std::lock_guard lk(mu_);
        std::vector<std::shared_ptr<UsbDevice>> out;
        for (const auto& [id, p] : ports_)
            if (p.handle) out.push_back(p.handle);
        return out;
    }

    // ---- listeners ------------------------------------------------------------------------
    ListenerId addListener(BusListener l) {
        std::lock_guard lk(mu_);
        ListenerId id = ++nextListener_;
        listeners_.emplace(id, std::move(l));
        return id;
    }

    void removeListener(ListenerId id) {
        std::unique_lock lk(mu_);
        listeners_.erase(id);
        listenerCv_.wait(lk, [&] {
            return callingListener_ != id || callingThread_ == std::this_thread::get_id();
        });
    }

    // ---- host-side device operations ------------------------------------------------------
    NtStatus selectConfiguration(const std::shared_ptr<Instance>& inst,
                                 std::span<const InterfaceSelection> sel) {
        std::lock_guard lk(mu_);
        if (shutdown_ || !inst->present) return kStatusNoSuchDevice;
        std::map<std::uint8_t, std::uint8_t> chosen;
        for (const auto& s : sel) {
            const Interface* i = inst->config.interface(s.interfaceNumber);
            if (!i || !i->setting(s.alternateSetting) || chosen.count(s.interfaceNumber))
                return kStatusInvalidParameter;
            chosen[s.interfaceNumber] = s.alternateSetting;
        }
        for (const auto& i : inst->config.interfaces) {
            if (chosen.count(i.number)) continue;
            chosen[i.number] = i.setting(0) ? 0 : i.settings.front().descriptor.bAlternateSetting;
        }
        std::map<std::uint8_t, EndpointState> eps;
        if (!buildEndpoints(*inst, chosen, eps)) return kStatusInvalidParameter;
        cancelWhere(
            inst, [](const Transfer&) { return true; }, kStatusCancelled, kUsbdCanceled);
        inst->selected = std::move(chosen);
        inst->endpoints = std::move(eps);
        inst->configured = true;
        afterChangeLocked();
        return kStatusSuccess;
    }

    NtStatus selectInterfaceSetting(const std::shared_ptr<Instance>& inst, std::uint8_t number,
                                    std::uint8_t alt) {
        std::lock_guard lk(mu_);
        if (shutdown_ || !inst->present) return kStatusNoSuchDevice;
        if (!inst->configured) return kStatusInvalidDeviceState;
        const Interface* i = inst->config.interface(number);
        if (!i || !i->setting(alt)) return kStatusInvalidParameter;
        auto chosen = inst->selected;
        chosen[number] = alt;
        std::map<std::uint8_t, EndpointState> eps;
        if (!buildEndpoints(*inst, chosen, eps)) return kStatusInvalidParameter;
        cancelWhere(
            inst,
            [&](const Transfer& t) {
                auto it = inst->endpoints.find(t.endpoint);
                return it != inst->endpoints.end() && it->second.info.interfaceNumber == number;
            },
            kStatusCancelled, kUsbdCanceled);
        // Keep the state (queued packets, pending transfers) of the other interfaces' pipes.
        for (auto& [addr, ep] : eps) {
            if (ep.info.interfaceNumber == number) continue;
            auto old = inst->endpoints.find(addr);
            if (old != inst->endpoints.end()) ep = std::move(old->second);
        }
        inst->selected = std::move(chosen);
        inst->endpoints = std::move(eps);
        afterChangeLocked();
        return kStatusSuccess;
    }

    NtStatus deconfigure(const std::shared_ptr<Instance>& inst) {
        std::lock_guard lk(mu_);
        if (shutdown_ || !inst->present) return kStatusNoSuchDevice;
        cancelWhere(
            inst, [](const Transfer&) { return true; }, kStatusCancelled, kUsbdCanceled);
        inst->endpoints.clear();
        inst->selected.clear();
        inst->configured = false;
        afterChangeLocked();
        return kStatusSuccess;
    }

    bool isPresent(const std::shared_ptr<Instance>& inst) const {
        std::lock_guard lk(mu_);
        return !shutdown_ && inst->present;
    }

    bool configured(const std::shared_ptr<Instance>& inst) const {
        std::lock_guard lk(mu_);
        return inst->present && inst->configured;
    }

    std::optional<std::uint8_t> selectedSetting(const std::shared_ptr<Instance>& inst,
                                                std::uint8_t number) const {
        std::lock_guard lk(mu_);
        auto it = inst->selected.find(number);
        if (!inst->present || it == inst->selected.end()) return std::nullopt;
        return it->second;
    }

    std::vector<PipeInfo> pipes(const std::shared_ptr<Instance>& inst, std::uint8_t number) const {
        std::lock_guard lk(mu_);
        std::vector<PipeInfo> out;
        if (!inst->present) return out;
        for (const auto& [addr, ep] : inst->endpoints)
            if (ep.info.interfaceNumber == number) out.push_back(ep.info);
        std::sort(out.begin(), out.end(),
                  [](const PipeInfo& a, const PipeInfo& b) { return a.pipeIndex < b.pipeIndex; });
        return out;
    }

    std::optional<PipeInfo> pipe(const std::shared_ptr<Instance>& inst, std::uint8_t addr) const {
        std::lock_guard lk(mu_);
        auto it = inst->endpoints.find(addr);
        if (!inst->present || it == inst->endpoints.end()) return std::nullopt;
        return it->second.info;
    }

    NtStatus resetPipe(const std::shared_ptr<Instance>& inst, std::uint8_t addr) {
        std::lock_guard lk(mu_);
        if (shutdown_ || !inst->present) return kStatusNoSuchDevice;
        return inst->endpoints.count(addr) ? kStatusSuccess : kStatusInvalidParameter;
    }

    NtStatus currentFrameNumber(const std::shared_ptr<Instance>& inst, std::uint32_t* frame) const {
        std::lock_guard lk(mu_);
        if (shutdown_ || !inst->present) return kStatusNoSuchDevice;
        if (!frame) return kStatusInvalidParameter;
        *frame = frameNumberOfUf(nowUf());
        return kStatusSuccess;
    }

    // ---- transfers ------------------------------------------------------------------------
    TransferId submitIso(const std::shared_ptr<Instance>& inst, IsoTransfer&& x) {
        std::unique_lock lk(mu_);
        TransferId id = ++nextTransfer_;
        if (shutdown_) {
            lk.unlock();
            completeInline(x.completion,
                           {kStatusNoSuchDevice, kUsbdDeviceGone, 0, 0, x.startFrame});
            return id;
        }
        auto reject = [&](NtStatus s, UsbdStatus u) {
            bool packetsUsable = x.packets != nullptr && x.packetCount <= kMaxIsoPacketsHighSpeed;
            if (packetsUsable)
                for (std::uint32_t p = 0; p < x.packetCount; ++p)
                    x.packets[p].length = 0, x.packets[p].status = kUsbdIsoNotAccessedByHw;
            queueCompletion(std::move(x.completion),
                            {s, u, 0, packetsUsable ? x.packetCount : 0, x.startFrame});
            return id;
        };
        if (!inst->present) return reject(kStatusNoSuchDevice, kUsbdDeviceGone);
        auto epIt = inst->endpoints.find(x.endpoint);
        if (epIt == inst->endpoints.end() || epIt->second.info.type != PipeType::Isochronous)
            return reject(kStatusInvalidParameter, kUsbdInvalidPipeHandle);
        const PipeInfo& info = epIt->second.info;
        bool high = inst->speed == Speed::High;
        std::uint32_t maxPackets = high ? kMaxIsoPacketsHighSpeed : kMaxIsoPacketsFullSpeed;
        if (x.packets == nullptr || x.packetCount == 0 || x.packetCount > maxPackets ||
            (high && x.packetCount % 8 != 0) || (x.buffer == nullptr && x.bufferLength != 0))
            return reject(kStatusInvalidParameter, kUsbdInvalidParameter);
        bool in = (x.endpoint & kEndpointDirIn) != 0;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> regions(x.packetCount);
        for (std::uint32_t p = 0; p < x.packetCount; ++p) {
            std::uint32_t start = x.packets[p].offset;
            std::uint32_t end = p + 1 < x.packetCount ? x.packets[p + 1].offset : x.bufferLength;
            if (start > end || end > x.bufferLength)
                return reject(kStatusInvalidParameter, kUsbdInvalidParameter);
            std::uint32_t size = end - start;
            if (!in && size > info.maximumPacketSize)
                return reject(kStatusInvalidParameter, kUsbdInvalidParameter);
            regions[p] = {start, std::min<std::uint32_t>(size, info.maximumPacketSize)};
        }
        std::uint64_t now = nowUf();
        std::uint64_t curFrame = now / 8;
        auto lead = static_cast<std::int32_t>(x.startFrame - frameNumberOfUf(curFrame * 8));
        if (lead < 1 || lead > static_cast<std::int32_t>(kMaxStartFrameLead))
            return reject(kStatusUnsuccessful, kUsbdBadStartFrame);

        auto t = std::make_unique<Transfer>();
        t->id = id;
        t->inst = inst;
        t->endpoint = x.endpoint;
        t->in = in;
        t->iso = true;
        t->maxPacket = info.maximumPacketSize;
        t->buffer = x.buffer;
        t->completion = std::move(x.completion);
        t->startFrame = x.startFrame;
        t->firstUf = (curFrame + static_cast<std::uint64_t>(lead)) * 8;
        t->ufStep = high ? 1 : 8;
        std::uint64_t span = std::uint64_t{x.packetCount} * t->ufStep;
        t->endUf = t->firstUf + (span + 7) / 8 * 8;
        t->packets = x.packets;
        t->packetCount = x.packetCount;
        t->regions = std::move(regions);
        for (std::uint32_t p = 0; p < x.packetCount; ++p)
            x.packets[p].length = 0, x.packets[p].status = kUsbdIsoNotAccessedByHw;
        Transfer* raw = t.get();
        transfers_.emplace(id, std::move(t));
        isoActive_.push_back(raw);
        armTimeout(*raw, x.timeout);
        ensureTick(raw->endUf);
        return id;
    }

    TransferId submitMessage(const std::shared_ptr<Instance>& inst, MessageTransfer&& x) {
        std::unique_lock lk(mu_);
        TransferId id = ++nextTransfer_;
        if (shutdown_) {
            lk.unlock();
            completeInline(x.completion, {kStatusNoSuchDevice, kUsbdDeviceGone, 0, 0, 0});
            return id;
        }
        auto reject = [&](NtStatus s, UsbdStatus u) {
            queueCompletion(std::move(x.completion), {s, u, 0, 0, 0});
            return id;
        };
        if (!inst->present) return reject(kStatusNoSuchDevice, kUsbdDeviceGone);
        auto epIt = inst->endpoints.find(x.endpoint);
        if (epIt == inst->endpoints.end() || epIt->second.info.type == PipeType::Isochronous ||
            epIt->second.info.type == PipeType::Control)
            return reject(kStatusInvalidParameter, kUsbdInvalidPipeHandle);
        if (x.buffer == nullptr && x.length != 0)
            return reject(kStatusInvalidParameter, kUsbdInvalidParameter);
        EndpointState& ep = epIt->second;
        bool wasIdle = !ep.hasWork();
        auto t = std::make_unique<Transfer>();
        t->id = id;
        t->inst = inst;
        t->endpoint = x.endpoint;
        t->in = (x.endpoint & kEndpointDirIn) != 0;
        t->maxPacket = ep.info.maximumPacketSize;
        t->buffer = x.buffer;
        t->length = x.length;
        t->completion = std::move(x.completion);
        Transfer* raw = t.get();
        transfers_.emplace(id, std::move(t));
        ep.pending.push_back(raw);
        armTimeout(*raw, x.timeout);
        workArrived(ep, wasIdle);
        return id;
    }

    bool cancel(const std::shared_ptr<Instance>& inst, TransferId id) {
        std::lock_guard lk(mu_);
        if (inst->present) catchUpIsoLocked();
        auto it = transfers_.find(id);
        if (shutdown_ || it == transfers_.end() || it->second->inst != inst) return false;
        if (it->second->cancelRequested) return false;
        cancelLocked(*it->second, kStatusCancelled, kUsbdCanceled);
        return true;
    }

    std::size_t abortPipe(const std::shared_ptr<Instance>& inst, std::uint8_t addr) {
        std::lock_guard lk(mu_);
        return cancelWhere(
            inst, [&](const Transfer& t) { return t.endpoint == addr; }, kStatusCancelled,
            kUsbdCanceled);
    }

    std::size_t cancelAll(const std::shared_ptr<Instance>& inst) {
        std::lock_guard lk(mu_);
        return cancelWhere(
            inst, [](const Transfer&) { return true; }, kStatusCancelled, kUsbdCanceled);
    }

    // ---- device side ----------------------------------------------------------------------
    bool sendIn(PortId id, std::uint8_t addr, std::span<const std::uint8_t> packet) {
        std::lock_guard lk(mu_);
        auto it = ports_.find(id);
        if (shutdown_ || it == ports_.end() || !it->second.inst) return false;
        auto& inst = *it->second.inst;
        auto epIt = inst.endpoints.find(addr);
        if (epIt == inst.endpoints.end()) return false;
        EndpointState& ep = epIt->second;
        if (!(addr & kEndpointDirIn) || ep.info.type == PipeType::Isochronous ||
            packet.size() > ep.info.maximumPacketSize ||
            ep.deviceIn.size() >= options_.maxQueuedInPackets)
            return false;
        bool wasIdle = !ep.hasWork();
        ep.deviceIn.emplace_back(packet.begin(), packet.end());
        workArrived(ep, wasIdle);
        return true;
    }

    void resumeOut(PortId id, std::uint8_t addr) {
        std::lock_guard lk(mu_);
        auto it = ports_.find(id);
        if (shutdown_ || it == ports_.end() || !it->second.inst) return;
        auto epIt = it->second.inst->endpoints.find(addr);
        if (epIt == it->second.inst->endpoints.end()) return;
        EndpointState& ep = epIt->second;
        bool wasIdle = !ep.hasWork();
        ep.nak = false;
        workArrived(ep, wasIdle);
    }

    // ---- shutdown -------------------------------------------------------------------------
    void shutdown() {
        std::deque<PendingCompletion> left;
        std::vector<std::shared_ptr<Function>> drop;
        {
            std::unique_lock lk(mu_);
            shutdown_ = true;
            for (auto id : std::vector<Clock::TaskId>(tasks_.begin(), tasks_.end()))
                clock_->cancel(id);
            tasks_.clear();
            taskCv_.wait(lk, [&] { return activeTasks_ == 0; });
            std::vector<Transfer*> all;
            for (auto& [id, t] : transfers_) all.push_back(t.get());
            for (Transfer* t : all) {
                t->withDevice = false;
                finishLocked(*t, {kStatusCancelled, kUsbdCanceled, 0, 0, t->startFrame}, true);
            }
            for (auto& [id, p] : ports_) {
                if (p.inst) p.inst->present = false;
                drop.push_back(std::move(p.fn));
            }
            ports_.clear();
            left.swap(completions_);
            listeners_.clear();
        }
        for (auto& c : left) completeInline(c.fn, c.result);
    }

    TransferResult isoResult(const Transfer& t, NtStatus s, UsbdStatus u) const {
        TransferResult r{s, u, 0, 0, t.startFrame};
        std::uint64_t bytes = 0;
        for (std::uint32_t p = 0; p < t.packetCount; ++p) {
            bytes += t.packets[p].length;
            if (!usbdSuccess(t.packets[p].status)) ++r.errorCount;
        }
        r.bytesTransferred = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(bytes, std::numeric_limits<std::uint32_t>::max()));
        return r;
    }

  private:
    // ---- clock tasks ----------------------------------------------------------------------
    // Schedules fn(core) on the clock; the task holds the core only while it runs. Called with
    // the lock held.
    template <typename F>
    Clock::TaskId scheduleTask(Time100ns due, RunLevel level, F fn) {
        auto holder = std::make_shared<Clock::TaskId>(0);
        auto id = clock_->schedule(due, level, [w = weak_from_this(), fn, holder]() mutable {
            auto core = w.lock();
            if (!core) return;
            {
                std::lock_guard lk(core->mu_);
                core->tasks_.erase(*holder);
                if (core->shutdown_) return;
                ++core->activeTasks_;
            }
            fn(*core);
            std::lock_guard lk(core->mu_);
            if (--core->activeTasks_ == 0) core->taskCv_.notify_all();
        });
        *holder = id;
        tasks_.insert(id);
        return id;
    }

    void cancelTask(Clock::TaskId id) {
        if (id && clock_->cancel(id)) tasks_.erase(id);
    }

    // ---- enumeration ----------------------------------------------------------------------
    void arrive(PortId id, std::uint64_t seq) {
        std::shared_ptr<Function> fn;
        {
            std::lock_guard lk(mu_);
            auto it = ports_.find(id);
            if (shutdown_ || it == ports_.end() || it->second.inst) return;
            if (seq != 0 && it->second.pendingSeq != seq) return;
            it->second.pendingTask = 0;
            it->second.pendingSeq = 0;
            fn = it->second.fn;
        }
        // Reading the descriptors talks to the device: without the lock.
        Speed speed = fn->speed();
        auto dd = DeviceDescriptor::parse(fn->deviceDescriptor());
        auto cfgBytes = fn->configurationDescriptor();
        auto cfg = parseConfiguration(cfgBytes);
        if (!dd || !cfg) return;  // the device fails enumeration and stays unseen

        std::lock_guard lk(mu_);
        auto it = ports_.find(id);
        if (shutdown_ || it == ports_.end() || it->second.inst || it->second.pendingTask ||
            it->second.fn != fn)
            return;
        auto inst = std::make_shared<Instance>();
        inst->id = ++nextInstance_;
        inst->port = id;
        inst->fn = fn;
        inst->speed = speed;
        inst->deviceDescriptor = *dd;
        inst->configBytes = std::move(cfgBytes);
        inst->config = std::move(*cfg);
        it->second.inst = inst;
        it->second.handle = std::make_shared<UsbDevice>(weak_from_this(), inst);
        queueEvent({BusEvent::Kind::Arrival, it->second.handle});
    }

    void leaveAndReturn(PortId id, std::uint64_t seq) {
        std::lock_guard lk(mu_);
        auto it = ports_.find(id);
        if (it == ports_.end() || it->second.pendingSeq != seq) return;
        it->second.pendingTask = 0;
        if (it->second.inst) leaveLocked(it->second);
        scheduleArrivalLocked(it->second);
    }

    void scheduleArrivalLocked(Port& port) {
        std::uint64_t seq = ++portSeq_;
        PortId id = port.id;
        port.pendingSeq = seq;
        port.pendingTask = scheduleTask(clock_->now() + options_.reattachDelay, RunLevel::Dispatch,
                                        [id, seq](Core& c) { c.arrive(id, seq); });
    }

    void leaveLocked(Port& port) {
        auto inst = port.inst;
        inst->present = false;
        cancelWhere(
            inst, [](const Transfer&) { return true; }, kStatusNoSuchDevice, kUsbdDeviceGone);
        inst->endpoints.clear();
        inst->configured = false;
        port.inst.reset();
        queueEvent({BusEvent::Kind::Departure, std::move(port.handle)});
        port.handle.reset();
    }

    bool buildEndpoints(const Instance& inst, const std::map<std::uint8_t, std::uint8_t>& chosen,
                        std::map<std::uint8_t, EndpointState>& eps) const {
        std::uint64_t now = nowUf();
        for (const auto& [number, alt] : chosen) {
            const AlternateSetting* s = inst.config.interface(number)->setting(alt);
            std::uint8_t index = 0;
            for (const auto& e : s->endpoints) {
                if (eps.count(e.bEndpointAddress)) return false;
                EndpointState st;
                st.info.endpointAddress = e.bEndpointAddress;
                st.info.type = e.type();
                st.info.maximumPacketSize = e.maxPacket();
                st.info.interval = e.bInterval;
                st.info.interfaceNumber = number;
                st.info.alternateSetting = alt;
                st.info.pipeIndex = index++;
                st.lastServedUf = now;
                eps.emplace(e.bEndpointAddress, std::move(st));
            }
        }
        return true;
    }

    // ---- events ---------------------------------------------------------------------------
    void queueEvent(BusEvent e) {
        events_.push_back(std::move(e));
        if (!pumpScheduled_) {
            pumpScheduled_ = true;
            scheduleTask(clock_->now(), RunLevel::Passive, [](Core& c) { c.pumpEvents(); });
        }
    }

    void pumpEvents() {
        for (;;) {
            BusEvent e;
            std::vector<ListenerId> ids;
            {
                std::lock_guard lk(mu_);
                if (events_.empty() || shutdown_) {
                    pumpScheduled_ = false;
                    return;
                }
                e = std::move(events_.front());
                events_.pop_front();
                for (const auto& [id, l] : listeners_) ids.push_back(id);
            }
            for (ListenerId id : ids) {
                BusListener l;
                {
                    std::lock_guard lk(mu_);
                    auto it = listeners_.find(id);
                    if (it == listeners_.end()) continue;
                    l = it->second;
                    callingListener_ = id;
                    callingThread_ = std::this_thread::get_id();
                }
                l(e);
                std::lock_guard lk(mu_);
                callingListener_ = 0;
                callingThread_ = {};
                listenerCv_.notify_all();
            }
        }
    }

    // ---- completions ----------------------------------------------------------------------
    void queueCompletion(Completion fn, TransferResult r) {
        completions_.push_back({std::move(fn), r});
        if (!drainScheduled_) {
            drainScheduled_ = true;
            scheduleTask(clock_->now(), RunLevel::Dispatch, [](Core& c) { c.drain(); });
        }
    }

    void drain() {
        for (;;) {
            PendingCompletion c;
            {
                std::lock_guard lk(mu_);
                if (completions_.empty()) {
                    drainScheduled_ = false;
                    return;
                }
                c = std::move(completions_.front());
                completions_.pop_front();
            }
            completeInline(c.fn, c.result);
        }
    }

    static void completeInline(Completion& fn, const TransferResult& r) {
        if (fn) fn(r);
    }

    void armTimeout(Transfer& t, Time100ns timeout) {
        if (timeout == 0) return;
        TransferId id = t.id;
        t.timeoutTask = scheduleTask(clock_->now() + timeout, RunLevel::Dispatch, [id](Core& c) {
            std::lock_guard lk(c.mu_);
            auto it = c.transfers_.find(id);
            if (it == c.transfers_.end()) return;
            it->second->timeoutTask = 0;
            if (!it->second->cancelRequested)
                c.cancelLocked(*it->second, kStatusIoTimeout, kUsbdCanceled);
        });
    }

    // Removes a transfer from every list, queues its completion and forgets it.
    void finishLocked(Transfer& t, TransferResult r, bool inline_ = false) {
        if (t.timeoutTask) cancelTask(t.timeoutTask);
        if (t.iso) {
            isoActive_.erase(std::remove(isoActive_.begin(), isoActive_.end(), &t),
                             isoActive_.end());
        } else {
            auto it = t.inst->endpoints.find(t.endpoint);
            if (it != t.inst->endpoints.end()) {
                auto& q = it->second.pending;
                q.erase(std::remove(q.begin(), q.end(), &t), q.end());
            }
        }
        if (inline_)
            completions_.push_back({std::move(t.completion), r});
        else
            queueCompletion(std::move(t.completion), r);
        transfers_.erase(t.id);
    }

    void cancelLocked(Transfer& t, NtStatus s, UsbdStatus u) {
        if (t.withDevice) {
            // The device has one of its packets now; the transfer ends when it answers.
            t.cancelRequested = true;
            t.cancelStatus = s;
            t.cancelUsbd = u;
            auto it = t.inst->endpoints.find(t.endpoint);
            if (it != t.inst->endpoints.end()) {
                auto& q = it->second.pending;
                q.erase(std::remove(q.begin(), q.end(), &t), q.end());
            }
            return;
        }
        if (t.iso) {
            for (std::uint32_t p = t.nextPacket; p < t.packetCount; ++p)
                t.packets[p].length = 0, t.packets[p].status = kUsbdIsoNotAccessedByHw;
            finishLocked(t, isoResult(t, s, u));
        } else {
            finishLocked(t, {s, u, t.done, 0, 0});
        }
    }

    template <typename Pred>
    std::size_t cancelWhere(const std::shared_ptr<Instance>& inst, Pred pred, NtStatus s,
                            UsbdStatus u) {
        if (inst->present) catchUpIsoLocked();
        std::vector<Transfer*> hit;
        for (auto& [id, t] : transfers_)
            if (t->inst == inst && !t->cancelRequested && pred(*t)) hit.push_back(t.get());
        std::sort(hit.begin(), hit.end(),
                  [](const Transfer* a, const Transfer* b) { return a->id < b->id; });
        for (Transfer* t : hit) cancelLocked(*t, s, u);
        return hit.size();
    }

    // ---- the frame engine -----------------------------------------------------------------
    void workArrived(EndpointState& ep, bool wasIdle) {
        if (!ep.hasWork()) return;
        std::uint64_t now = nowUf();
        if (wasIdle) ep.lastServedUf = std::max(ep.lastServedUf, now);
        ensureTick(ep.lastServedUf + 1);
    }

    void afterChangeLocked() { scheduleNextTick(); }

    // The bus ticks when a transfer is due to end, not at every packet: the packets of the
    // microframes that have passed meanwhile move at the tick, in their order. A transfer that is
    // cancelled between ticks first has the packets of the passed microframes moved.
    void catchUpIsoLocked() {
        if (!tickRunning_ && !shutdown_) processIso(nowUf());
    }

    void ensureTick(std::uint64_t uf) {
        if (shutdown_ || uf >= tickAt_) return;
        if (tickTaskId_) cancelTask(tickTaskId_);
        std::uint64_t seq = ++tickSeq_;
        tickAt_ = uf;
        tickTaskId_ = scheduleTask(epoch_ + uf * kUnitsPerMicroframe, RunLevel::Dispatch,
                                   [seq](Core& c) { c.tick(seq); });
    }

    void scheduleNextTick() {
        std::uint64_t next = kNever;
        for (const Transfer* t : isoActive_) next = std::min(next, t->endUf);
        for (const auto& [pid, port] : ports_) {
            if (!port.inst) continue;
            for (const auto& [addr, ep] : port.inst->endpoints)
                if (ep.hasWork()) next = std::min(next, ep.lastServedUf + 1);
        }
        if (next != kNever) ensureTick(next);
    }

    static std::uint64_t isoNextUf(const Transfer& t) {
        return t.nextPacket < t.packetCount ? t.packetUf(t.nextPacket) : t.endUf;
    }

    void tick(std::uint64_t seq) {
        std::unique_lock lk(mu_);
        if (seq == tickSeq_) {
            tickAt_ = kNever;
            tickTaskId_ = 0;
        }
        if (tickRunning_) {
            tickAgain_ = true;
            return;
        }
        tickRunning_ = true;
        do {
            tickAgain_ = false;
            std::uint64_t now = nowUf();
            processIso(now);
            serveMessages(lk, now);
        } while (tickAgain_ && !shutdown_);
        tickRunning_ = false;
        if (!shutdown_) scheduleNextTick();
    }

    void processIso(std::uint64_t upTo) {
        std::vector<std::uint8_t> served;  // endpoints that had their packet in this microframe
        for (;;) {
            std::uint64_t u = kNever;
            for (const Transfer* t : isoActive_) u = std::min(u, isoNextUf(*t));
            if (u == kNever || u > upTo) return;
            // Transfers whose last frame has passed complete first, in submission order.
            std::vector<Transfer*> finished;
            for (Transfer* t : isoActive_)
                if (t->nextPacket == t->packetCount && t->endUf <= u) finished.push_back(t);
            for (Transfer* t : finished) {
                TransferResult r = isoResult(*t, kStatusSuccess, kUsbdSuccess);
                if (r.errorCount == t->packetCount) {
                    r.status = kStatusUnsuccessful;
                    r.usbdStatus = kUsbdIsochRequestFailed;
                }
                finishLocked(*t, r);
            }
            served.clear();
            for (bool inPass : {false, true}) {
                std::vector<Transfer*> due;
                for (Transfer* t : isoActive_)
                    if (t->in == inPass && t->nextPacket < t->packetCount &&
                        t->packetUf(t->nextPacket) == u)
                        due.push_back(t);
                std::sort(due.begin(), due.end(),
                          [](const Transfer* a, const Transfer* b) { return a->id < b->id; });
                for (Transfer* t : due) {
                    bool taken =
                        std::find(served.begin(), served.end(), t->endpoint) != served.end();
                    served.push_back(t->endpoint);
                    isoPacket(*t, u, taken);
                }
            }
        }
    }

    void isoPacket(Transfer& t, std::uint64_t u, bool slotTaken) {
        std::uint32_t p = t.nextPacket++;
        IsoPacket& pk = t.packets[p];
        if (slotTaken) {
            // Another transfer of this pipe already owns the microframe.
            pk.length = 0;
            pk.status = kUsbdIsoNotAccessedByHw;
            return;
        }
        auto [start, size] = t.regions[p];
        IsoSlot slot{frameNumberOfUf(u), static_cast<std::uint8_t>(u % 8), u};
        std::uint8_t* data = size ? t.buffer + start : nullptr;
        if (t.in) {
            IsoInResult r =
                t.inst->fn->isoIn(t.endpoint, slot, std::span<std::uint8_t>(data, size));
            pk.length = r.length;
            pk.status = r.status;
        } else {
            UsbdStatus s =
                t.inst->fn->isoOut(t.endpoint, slot, std::span<const std::uint8_t>(data, size));
            pk.length = usbdSuccess(s) ? size : 0;
            pk.status = s;
        }
    }

    void serveMessages(std::unique_lock<standin::Mutex>& lk, std::uint64_t now) {
        struct Work {
            std::shared_ptr<Instance> inst;
            std::uint8_t addr;
        };
        std::vector<Work> work;
        for (const auto& [pid, port] : ports_) {
            if (!port.inst) continue;
            for (const auto& [addr, ep] : port.inst->endpoints)
                if (ep.hasWork() && ep.lastServedUf < now) work.push_back({port.inst, addr});
        }
        for (const auto& w : work) {
            auto it = w.inst->endpoints.find(w.addr);
            if (!w.inst->present || it == w.inst->endpoints.end()) continue;
            std::uint64_t budget =
                std::min<std::uint64_t>(now - it->second.lastServedUf, kMaxCatchUpPackets);
            it->second.lastServedUf = now;
            if (w.addr & kEndpointDirIn)
                serveIn(it->second, budget);
            else
                serveOut(lk, w.inst, w.addr, budget);
        }
    }

    void serveIn(EndpointState& ep, std::uint64_t budget) {
        while (budget-- > 0 && !ep.pending.empty() && !ep.deviceIn.empty()) {
            Transfer& t = *ep.pending.front();
            std::vector<std::uint8_t> pkt = std::move(ep.deviceIn.front());
            ep.deviceIn.pop_front();
            std::uint32_t room = t.length - t.done;
            auto n = static_cast<std::uint32_t>(std::min<std::size_t>(pkt.size(), room));
            if (n) std::memcpy(t.buffer + t.done, pkt.data(), n);
            t.done += n;
            if (pkt.size() > room)
                finishLocked(t, {kStatusUnsuccessful, kUsbdDataOverrun, t.done, 0, 0});
            else if (pkt.size() < t.maxPacket || t.done == t.length)
                finishLocked(t, {kStatusSuccess, kUsbdSuccess, t.done, 0, 0});
        }
    }

    void serveOut(std::unique_lock<standin::Mutex>& lk, const std::shared_ptr<Instance>& inst,
                  std::uint8_t addr, std::uint64_t budget) {
        while (budget-- > 0) {
            auto it = inst->endpoints.find(addr);
            if (!inst->present || it == inst->endpoints.end()) return;
            EndpointState& ep = it->second;
            if (ep.nak || ep.pending.empty()) return;
            Transfer* t = ep.pending.front();
            std::uint32_t n = std::min<std::uint32_t>(t->maxPacket, t->length - t->done);
            std::vector<std::uint8_t> pkt(t->buffer + t->done, t->buffer + t->done + n);
            t->withDevice = true;
            auto fn = inst->fn;
            lk.unlock();
            OutResponse r = fn->messageOut(addr, pkt);
            lk.lock();
            t->withDevice = false;
            if (shutdown_) return;
            if (t->cancelRequested) {
                finishLocked(*t, {t->cancelStatus, t->cancelUsbd, t->done, 0, 0});
                continue;
            }
            auto again = inst->endpoints.find(addr);
            switch (r.kind) {
                case OutResponse::Kind::Ack:
                    t->done += n;
                    t->sentAny = true;
                    if (t->done == t->length)
                        finishLocked(*t, {kStatusSuccess, kUsbdSuccess, t->done, 0, 0});
                    break;
                case OutResponse::Kind::Nak:
                    if (again != inst->endpoints.end()) again->second.nak = true;
                    return;
                case OutResponse::Kind::Fail:
                    finishLocked(*t, {ntSuccess(r.status) ? kStatusUnsuccessful : r.status,
                                      usbdSuccess(r.usbdStatus) ? kUsbdStallPid : r.usbdStatus,
                                      t->done, 0, 0});
                    break;
            }
        }
    }

    Clock* clock_;
    BusOptions options_;
    Time100ns epoch_;

    mutable standin::Mutex mu_;
    bool shutdown_ = false;
    std::map<PortId, Port> ports_;
    PortId nextPort_ = 0;
    std::uint64_t nextInstance_ = 0;
    std::uint64_t portSeq_ = 0;
    TransferId nextTransfer_ = 0;
    std::unordered_map<TransferId, std::unique_ptr<Transfer>> transfers_;
    std::vector<Transfer*> isoActive_;  // in submission order

    std::set<Clock::TaskId> tasks_;  // scheduled and not yet started
    int activeTasks_ = 0;
    standin::CondVar taskCv_;

    std::uint64_t tickAt_ = kNever;
    Clock::TaskId tickTaskId_ = 0;
    std::uint64_t tickSeq_ = 0;
    bool tickRunning_ = false;
    bool tickAgain_ = false;

    std::deque<PendingCompletion> completions_;
    bool drainScheduled_ = false;

    std::deque<BusEvent> events_;
    bool pumpScheduled_ = false;
    std::map<ListenerId, BusListener> listeners_;
    ListenerId nextListener_ = 0;
    ListenerId callingListener_ = 0;
    std::thread::id callingThread_;
    standin::CondVar listenerCv_;
};

}  // namespace detail

// ---- DeviceLink -------------------------------------------------------------------------------
DeviceLink::DeviceLink(std::weak_ptr<detail::Core> core, PortId port)
    : core_(std::move(core)), port_(port) {}

bool DeviceLink::enumerated() const {
    auto c = core_.lock();
    return c && c->enumerated(port_);
}

std::uint32_t DeviceLink::currentFrame() const {
    auto c = core_.lock();
    return c ? c->currentFrame() : 0;
}

bool DeviceLink::sendIn(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
    auto c = core_.lock();
    return c && c->sendIn(port_, endpoint, packet);
}

void DeviceLink::resumeOut(std::uint8_t endpoint) {
    if (auto c = core_.lock()) c->resumeOut(port_, endpoint);
}

bool DeviceLink::reenumerate() {
    auto c = core_.lock();
    return c && c->reenumerate(port_);
}

bool DeviceLink::unplug() {
    auto c = core_.lock();
    return c && c->unplug(port_);
}

// ---- UsbDevice --------------------------------------------------------------------------------
UsbDevice::UsbDevice(std::weak_ptr<detail::Core> core, std::shared_ptr<detail::Instance> inst)
    : core_(std::move(core)), inst_(std::move(inst)) {}

UsbDevice::~UsbDevice() = default;

std::uint64_t UsbDevice::id() const {
    return inst_->id;
}
PortId UsbDevice::port() const {
    return inst_->port;
}
Speed UsbDevice::speed() const {
    return inst_->speed;
}
const DeviceDescriptor& UsbDevice::deviceDescriptor() const {
    return inst_->deviceDescriptor;
}
const std::vector<std::uint8_t>& UsbDevice::configurationDescriptor() const {
    return inst_->configBytes;
}
const Configuration& UsbDevice::configuration() const {
    return inst_->config;
}

bool UsbDevice::present() const {
    auto c = core_.lock();
    return c && c->isPresent(inst_);
}

NtStatus UsbDevice::selectConfiguration(std::span<const InterfaceSelection> selections) {
    auto c = core_.lock();
    return c ? c->selectConfiguration(inst_, selections) : kStatusNoSuchDevice;
}

NtStatus UsbDevice::selectInterfaceSetting(std::uint8_t number, std::uint8_t alt) {
    auto c = core_.lock();
    return c ? c->selectInterfaceSetting(inst_, number, alt) : kStatusNoSuchDevice;
}

NtStatus UsbDevice::deconfigure() {
    auto c = core_.lock();
    return c ? c->deconfigure(inst_) : kStatusNoSuchDevice;
}

bool UsbDevice::configured() const {
    auto c = core_.lock();
    return c && c->configured(inst_);
}

std::optional<std::uint8_t> UsbDevice::selectedSetting(std::uint8_t number) const {
    auto c = core_.lock();
    return c ? c->selectedSetting(inst_, number) : std::nullopt;
}

std::vector<PipeInfo> UsbDevice::pipes(std::uint8_t number) const {
    auto c = core_.lock();
    return c ? c->pipes(inst_, number) : std::vector<PipeInfo>{};
}

std::optional<PipeInfo> UsbDevice::pipe(std::uint8_t addr) const {
    auto c = core_.lock();
    return c ? c->pipe(inst_, addr) : std::nullopt;
}

NtStatus UsbDevice::resetPipe(std::uint8_t addr) {
    auto c = core_.lock();
    return c ? c->resetPipe(inst_, addr) : kStatusNoSuchDevice;
}

NtStatus UsbDevice::currentFrameNumber(std::uint32_t* frame) const {
    auto c = core_.lock();
    return c ? c->currentFrameNumber(inst_, frame) : kStatusNoSuchDevice;
}

NtStatus UsbDevice::cyclePort() {
    auto c = core_.lock();
    return c ? c->cyclePort(inst_) : kStatusNoSuchDevice;
}

TransferId UsbDevice::submitIso(IsoTransfer t) {
    if (auto c = core_.lock()) return c->submitIso(inst_, std::move(t));
    if (t.completion) t.completion({kStatusNoSuchDevice, kUsbdDeviceGone, 0, 0, t.startFrame});
    return 0;
}

TransferId UsbDevice::submitMessage(MessageTransfer t) {
    if (auto c = core_.lock()) return c->submitMessage(inst_, std::move(t));
    if (t.completion) t.completion({kStatusNoSuchDevice, kUsbdDeviceGone, 0, 0, 0});
    return 0;
}

bool UsbDevice::cancel(TransferId id) {
    auto c = core_.lock();
    return c && c->cancel(inst_, id);
}

std::size_t UsbDevice::abortPipe(std::uint8_t addr) {
    auto c = core_.lock();
    return c ? c->abortPipe(inst_, addr) : 0;
}

std::size_t UsbDevice::cancelAll() {
    auto c = core_.lock();
    return c ? c->cancelAll(inst_) : 0;
}

// ---- Bus --------------------------------------------------------------------------------------
Bus::Bus(std::shared_ptr<Clock> clock, BusOptions options)
    : clock_(std::move(clock)), core_(std::make_shared<detail::Core>(clock_.get(), options)) {}

Bus::~Bus() {
    core_->shutdown();
}

const std::shared_ptr<Clock>& Bus::clock() const {
    return clock_;
}
const BusOptions& Bus::options() const {
    return core_->options();
}
std::uint32_t Bus::currentFrame() const {
    return core_->currentFrame();
}
std::uint64_t Bus::currentMicroframe() const {
    return core_->currentMicroframe();
}
Time100ns Bus::frameStartTime(std::uint32_t frame) const {
    return core_->frameStartTime(frame);
}
PortId Bus::attach(std::shared_ptr<Function> function) {
    return core_->attach(std::move(function));
}
bool Bus::detach(PortId port) {
    return core_->unplug(port);
}
std::vector<std::shared_ptr<UsbDevice>> Bus::devices() const {
    return core_->devices();
}
ListenerId Bus::addListener(BusListener l) {
    return core_->addListener(std::move(l));
}
void Bus::removeListener(ListenerId id) {
    core_->removeListener(id);
}

}  // namespace standin::usb
