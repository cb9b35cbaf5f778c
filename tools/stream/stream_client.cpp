// The raw kernel client (see stream_client.h).

#include "stream_client.h"

#include <cstring>

namespace vq36tools {

GUID vq36InterfaceClass() {
    GUID guid{};
    guid.Data1 = vq36::kInterfaceGuidData1;
    guid.Data2 = vq36::kInterfaceGuidData2;
    guid.Data3 = vq36::kInterfaceGuidData3;
    std::memcpy(guid.Data4, vq36::kInterfaceGuidData4, sizeof guid.Data4);
    return guid;
}

std::vector<std::string> interfacePaths(const GUID& guid) {
    std::vector<std::string> paths;
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) break;
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        std::vector<char> buffer(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr)) {
            paths.emplace_back(detail->DevicePath);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

std::vector<std::string> vq36InterfacePaths() {
    return interfacePaths(vq36InterfaceClass());
}

bool StreamClient::open(const std::string& path) {
    close();
    device_ =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return device_ != INVALID_HANDLE_VALUE;
}

bool StreamClient::control(DWORD code, void* in, DWORD inLength, void* out, DWORD outLength) {
    DWORD bytes = 0;
    return DeviceIoControl(device_, code, in, inLength, out, outLength, &bytes, nullptr) != FALSE;
}

bool StreamClient::message(std::uint32_t number, std::uint32_t op, std::uint32_t value) {
    vq36::DeviceMessage m{};
    m.message = number;
    m.op = op;
    std::memcpy(m.payload, &value, sizeof value);
    unsigned char buffer[sizeof m];
    std::memcpy(buffer, &m, sizeof m);
    return control(vq36::kIoCtlSendMessage, buffer, sizeof buffer, buffer,
                   vq36::kDeviceMessageReplyBytes);
}

bool StreamClient::start(std::uint32_t blockFrames) {
    std::uint32_t id = 0;
    if (!control(vq36::kIoCtlGetClientId, nullptr, 0, &id, sizeof id)) return false;
    if (!message(vq36::kDeviceMsgBufferSamples, vq36::kDeviceMsgSet, blockFrames)) return false;
    if (event_ == nullptr) event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event_ == nullptr) return false;
    // The event goes to the driver as a 32-bit word.
    std::uint32_t in[2] = {static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(event_)), 0};
    if (!control(vq36::kIoCtlInitBuffers, in, sizeof in, &buffers_, sizeof buffers_)) return false;
    info = reinterpret_cast<vq36::AsioInfo*>(buffers_.asioInfo);
    capture = reinterpret_cast<unsigned char*>(buffers_.captureBuffers);
    ring = reinterpret_cast<unsigned char*>(buffers_.fSharedJoinedPlaybackBuffersClipped);
    return message(vq36::kDeviceMsgStreaming, vq36::kDeviceMsgSet, 1);
}

std::int64_t StreamClient::next(DWORD timeoutMs) {
    if (event_ == nullptr || info == nullptr) return -1;
    if (WaitForSingleObject(event_, timeoutMs) != WAIT_OBJECT_0) return -1;
    ResetEvent(event_);
    return static_cast<std::int64_t>(vq36::Load64(&info->asioBlockCount));
}

void StreamClient::close() {
    if (event_ != nullptr) CloseHandle(event_);
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    event_ = nullptr;
    device_ = INVALID_HANDLE_VALUE;
    info = nullptr;
    capture = nullptr;
    ring = nullptr;
}

}  // namespace vq36tools
