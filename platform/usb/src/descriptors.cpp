#include "standin/usb/descriptors.h"

#include <algorithm>
#include <utility>

namespace standin::usb {

namespace {

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

}  // namespace

std::array<std::uint8_t, 18> DeviceDescriptor::bytes() const {
    return {bLength,
            bDescriptorType,
            static_cast<std::uint8_t>(bcdUSB & 0xFF),
            static_cast<std::uint8_t>(bcdUSB >> 8),
            bDeviceClass,
            bDeviceSubClass,
            bDeviceProtocol,
            bMaxPacketSize0,
            static_cast<std::uint8_t>(idVendor & 0xFF),
            static_cast<std::uint8_t>(idVendor >> 8),
            static_cast<std::uint8_t>(idProduct & 0xFF),
            static_cast<std::uint8_t>(idProduct >> 8),
            static_cast<std::uint8_t>(bcdDevice & 0xFF),
            static_cast<std::uint8_t>(bcdDevice >> 8),
            iManufacturer,
            iProduct,
            iSerialNumber,
            bNumConfigurations};
}

std::optional<DeviceDescriptor> DeviceDescriptor::parse(std::span<const std::uint8_t> b) {
    if (b.size() < 18 || b[0] != 18 || b[1] != kDescriptorDevice) return std::nullopt;
    DeviceDescriptor d;
    d.bcdUSB = le16(&b[2]);
    d.bDeviceClass = b[4];
    d.bDeviceSubClass = b[5];
    d.bDeviceProtocol = b[6];
    d.bMaxPacketSize0 = b[7];
    d.idVendor = le16(&b[8]);
    d.idProduct = le16(&b[10]);
    d.bcdDevice = le16(&b[12]);
    d.iManufacturer = b[14];
    d.iProduct = b[15];
    d.iSerialNumber = b[16];
    d.bNumConfigurations = b[17];
    return d;
}

const AlternateSetting* Interface::setting(std::uint8_t alternateSetting) const {
    for (const auto& s : settings)
        if (s.descriptor.bAlternateSetting == alternateSetting) return &s;
    return nullptr;
}

const Interface* Configuration::interface(std::uint8_t number) const {
    for (const auto& i : interfaces)
        if (i.number == number) return &i;
    return nullptr;
}

std::optional<Configuration> parseConfiguration(std::span<const std::uint8_t> b) {
    if (b.size() < 9 || b[0] < 9 || b[1] != kDescriptorConfiguration) return std::nullopt;
    Configuration c;
    c.descriptor.bLength = b[0];
    c.descriptor.wTotalLength = le16(&b[2]);
    c.descriptor.bNumInterfaces = b[4];
    c.descriptor.bConfigurationValue = b[5];
    c.descriptor.iConfiguration = b[6];
    c.descriptor.bmAttributes = b[7];
    c.descriptor.MaxPower = b[8];
    if (c.descriptor.wTotalLength != b.size()) return std::nullopt;

    // Position of the setting that endpoint descriptors belong to (interface, setting).
    std::optional<std::pair<std::size_t, std::size_t>> current;
    std::size_t pos = b[0];
    if (pos > b.size()) return std::nullopt;
    while (pos < b.size()) {
        if (b.size() - pos < 2) return std::nullopt;
        std::uint8_t len = b[pos];
        std::uint8_t type = b[pos + 1];
        if (len < 2 || len > b.size() - pos) return std::nullopt;
        const std::uint8_t* p = &b[pos];
        if (type == kDescriptorInterface) {
            if (len < 9) return std::nullopt;
            InterfaceDescriptor d;
            d.bLength = len;
            d.bInterfaceNumber = p[2];
            d.bAlternateSetting = p[3];
            d.bNumEndpoints = p[4];
            d.bInterfaceClass = p[5];
            d.bInterfaceSubClass = p[6];
            d.bInterfaceProtocol = p[7];
            d.iInterface = p[8];
            std::size_t i = 0;
            while (i < c.interfaces.size() && c.interfaces[i].number != d.bInterfaceNumber) ++i;
            if (i == c.interfaces.size()) c.interfaces.push_back(Interface{d.bInterfaceNumber, {}});
            if (c.interfaces[i].setting(d.bAlternateSetting) != nullptr) return std::nullopt;
            c.interfaces[i].settings.push_back(AlternateSetting{d, {}});
            current = std::make_pair(i, c.interfaces[i].settings.size() - 1);
        } else if (type == kDescriptorEndpoint) {
            if (len < 7 || !current) return std::nullopt;
            EndpointDescriptor e;
            e.bLength = len;
            e.bEndpointAddress = p[2];
            e.bmAttributes = p[3];
            e.wMaxPacketSize = le16(&p[4]);
            e.bInterval = p[6];
            if ((e.bEndpointAddress & 0x0F) == 0) return std::nullopt;
            auto& setting = c.interfaces[current->first].settings[current->second];
            for (const auto& other : setting.endpoints)
                if (other.bEndpointAddress == e.bEndpointAddress) return std::nullopt;
            setting.endpoints.push_back(e);
        } else if (type == kDescriptorConfiguration || type == kDescriptorDevice) {
            return std::nullopt;
        }
        pos += len;
    }
    for (const auto& i : c.interfaces)
        for (const auto& s : i.settings)
            if (s.endpoints.size() != s.descriptor.bNumEndpoints) return std::nullopt;
    return c;
}

ConfigurationBuilder& ConfigurationBuilder::addInterface(const InterfaceDescriptor& d) {
    settings_.push_back(AlternateSetting{d, {}});
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::addEndpoint(const EndpointDescriptor& d) {
    if (!settings_.empty()) settings_.back().endpoints.push_back(d);
    return *this;
}

std::vector<std::uint8_t> ConfigurationBuilder::bytes() const {
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> numbers;
    for (const auto& s : settings_)
        if (std::find(numbers.begin(), numbers.end(), s.descriptor.bInterfaceNumber) ==
            numbers.end())
            numbers.push_back(s.descriptor.bInterfaceNumber);
    out.push_back(9);
    out.push_back(kDescriptorConfiguration);
    put16(out, 0);  // wTotalLength, below
    out.push_back(static_cast<std::uint8_t>(numbers.size()));
    out.push_back(config_.bConfigurationValue);
    out.push_back(config_.iConfiguration);
    out.push_back(config_.bmAttributes);
    out.push_back(config_.MaxPower);
    for (const auto& s : settings_) {
        const auto& d = s.descriptor;
        out.insert(out.end(), {9, kDescriptorInterface, d.bInterfaceNumber, d.bAlternateSetting,
                               static_cast<std::uint8_t>(s.endpoints.size()), d.bInterfaceClass,
                               d.bInterfaceSubClass, d.bInterfaceProtocol, d.iInterface});
        for (const auto& e : s.endpoints) {
            out.insert(out.end(), {7, kDescriptorEndpoint, e.bEndpointAddress, e.bmAttributes});
            put16(out, e.wMaxPacketSize);
            out.push_back(e.bInterval);
        }
    }
    out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
    out[3] = static_cast<std::uint8_t>(out.size() >> 8);
    return out;
}

}  // namespace standin::usb
