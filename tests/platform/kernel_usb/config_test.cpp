// The USB target device's descriptors and information, configuration and setting selection,
// and the configured pipes.

#include <cstring>

#include "usb_test_driver.h"

using namespace standin;
using namespace standin::kernel;

namespace {

WDFUSBINTERFACE interfaceNumbered(WDFUSBDEVICE usb, UCHAR number) {
    for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(usb); ++i) {
        WDFUSBINTERFACE u = WdfUsbTargetDeviceGetInterface(usb, i);
        if (WdfUsbInterfaceGetInterfaceNumber(u) == number) return u;
    }
    return nullptr;
}

class UsbConfig : public UsbTest {
  protected:
    // A started device whose driver made its USB target device and selected nothing.
    WDFUSBDEVICE plugUnconfigured(vq36::Variant variant = vq36::Variant::Normal) {
        usbHooks().selectNormal = false;
        vq36::DeviceConfig config;
        config.variant = variant;
        WDFDEVICE device = plug(config);
        return device ? context(device)->usb : nullptr;
    }
};

TEST_F(UsbConfig, DescriptorsTheSizeQueryAndTheInterfaces) {
    WDFUSBDEVICE usb = plugUnconfigured();
    ASSERT_NE(usb, nullptr);
    USB_DEVICE_DESCRIPTOR d;
    WdfUsbTargetDeviceGetDeviceDescriptor(usb, &d);
    EXPECT_EQ(d.bLength, 18);
    EXPECT_EQ(d.bcdUSB, 0x0200);
    EXPECT_EQ(d.idVendor, vq36::kVendorId);
    EXPECT_EQ(d.idProduct, vq36::kProductId);

    const auto& expected = physicals.front()->usbDevice()->configurationDescriptor();
    USHORT length = 0;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb, nullptr, &length),
              STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(length, expected.size());
    std::vector<std::uint8_t> buffer(length + 1, 0xEE);
    USHORT tooShort = length - 1;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb, buffer.data(), &tooShort),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooShort, length);
    EXPECT_EQ(buffer[0], 0xEE);
    USHORT roomy = length + 1;
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb, buffer.data(), &roomy),
              STATUS_SUCCESS);
    EXPECT_EQ(roomy, length);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
    EXPECT_EQ(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer.data())->wTotalLength, length);

    WDF_USB_DEVICE_INFORMATION info;
    WDF_USB_DEVICE_INFORMATION_INIT(&info);
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveInformation(usb, &info), STATUS_SUCCESS);
    EXPECT_TRUE(info.Traits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED);

    ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), 4);
    EXPECT_EQ(WdfUsbTargetDeviceGetInterface(usb, 4), nullptr);
    for (UCHAR i = 0; i < 4; ++i) {
        WDFUSBINTERFACE u = WdfUsbTargetDeviceGetInterface(usb, i);
        EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(u), i);
        EXPECT_EQ(WdfUsbInterfaceGetNumSettings(u), (i == 1 || i == 2) ? 2 : 1);
        EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(u), 0);
    }
    USB_INTERFACE_DESCRIPTOR id{};
    WdfUsbInterfaceGetDescriptor(interfaceNumbered(usb, 2), 1, &id);
    EXPECT_EQ(id.bInterfaceNumber, 2);
    EXPECT_EQ(id.bAlternateSetting, 1);
    EXPECT_EQ(id.bNumEndpoints, 1);

    BugCheckRecorder checks;  // interfaces belong to the framework
    WdfObjectDelete(WdfUsbTargetDeviceGetInterface(usb, 0));
    EXPECT_EQ(checks.count(kBugCheckWdfViolation), 1u);
}

TEST_F(UsbConfig, NormalSelectionGivesTheFourPipesWithTheirInformation) {
    WDFDEVICE device = plug();
    ASSERT_NE(device, nullptr);
    auto* ctx = context(device);
    struct Expected {
        UCHAR interfaceNumber, index;
        WDFUSBPIPE pipe;
        UCHAR address;
        ULONG packet;
        WDF_USB_PIPE_TYPE type;
        UCHAR setting;
    };
    const Expected expected[] = {
        {1, 0, ctx->playback, 0x01, 280, WdfUsbPipeTypeIsochronous, 1},
        {2, 0, ctx->capture, 0x82, 336, WdfUsbPipeTypeIsochronous, 1},
        {3, 0, ctx->messageIn, 0x83, 64, WdfUsbPipeTypeInterrupt, 0},
        {3, 1, ctx->messageOut, 0x04, 64, WdfUsbPipeTypeInterrupt, 0},
    };
    for (const auto& e : expected) {
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(
            interfaceNumbered(ctx->usb, e.interfaceNumber), e.index, &info);
        ASSERT_NE(pipe, nullptr);
        EXPECT_EQ(pipe, e.pipe);
        EXPECT_EQ(info.EndpointAddress, e.address);
        EXPECT_EQ(info.MaximumPacketSize, e.packet);
        EXPECT_EQ(info.PipeType, e.type);
        EXPECT_EQ(info.SettingIndex, e.setting);
        EXPECT_EQ(info.Interval, 1);
    }
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(interfaceNumbered(ctx->usb, 0)), 0);
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(interfaceNumbered(ctx->usb, 3), 2, nullptr),
              nullptr);
    EXPECT_EQ(WdfIoTargetGetDevice(WdfUsbTargetPipeGetIoTarget(ctx->capture)), device);
    EXPECT_EQ(physicals.front()->usbDevice()->selectedSetting(2), 1);
}

TEST_F(UsbConfig, ReselectionReplacesPipesAndDeconfigurationRemovesThem) {
    WDFDEVICE device = plug();
    ASSERT_NE(device, nullptr);
    auto* ctx = context(device);
    WDFUSBPIPE oldCapture = ctx->capture;
    WDFUSBINTERFACE capture = interfaceNumbered(ctx->usb, 2);

    // Refused selections leave the configuration as it was.
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_INTERFACE_SETTING_PAIR twice[2] = {{capture, 1}, {capture, 0}};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 2, twice);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(ctx->usb, nullptr, &params), STATUS_INVALID_PARAMETER);
    WDF_USB_INTERFACE_SETTING_PAIR noSuchSetting = {capture, 2};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 1, &noSuchSetting);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(ctx->usb, nullptr, &params), STATUS_INVALID_PARAMETER);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);  // four interfaces
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(ctx->usb, nullptr, &params), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(capture, 0, nullptr), oldCapture);

    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS setting;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 0);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(capture, nullptr, &setting), STATUS_SUCCESS);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(capture), 0);
    EXPECT_EQ(physicals.front()->usbDevice()->selectedSetting(2), 0);
    {
        BugCheckRecorder checks;  // the old pipe object is gone
        WdfUsbTargetPipeWdmGetPipeHandle(oldCapture);
        EXPECT_EQ(checks.count(kBugCheckWdfViolation), 1u);
    }
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 1);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(capture, nullptr, &setting), STATUS_SUCCESS);
    EXPECT_NE(WdfUsbInterfaceGetConfiguredPipe(capture, 0, nullptr), nullptr);

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(ctx->usb, nullptr, &params), STATUS_SUCCESS);
    EXPECT_FALSE(physicals.front()->usbDevice()->configured());
    for (UCHAR i = 0; i < 4; ++i)
        EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(WdfUsbTargetDeviceGetInterface(ctx->usb, i)),
                  0);
    EXPECT_EQ(WdfUsbInterfaceSelectSetting(capture, nullptr, &setting),
              STATUS_INVALID_DEVICE_STATE);
    ctx->readerStarted = 0;  // its pipe is gone
}

TEST_F(UsbConfig, SingleInterfaceDevice) {
    WDFUSBDEVICE usb = plugUnconfigured(vq36::Variant::SingleInterface);
    ASSERT_NE(usb, nullptr);
    ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), 1);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_SUCCESS);
    WDFUSBINTERFACE only = WdfUsbTargetDeviceGetInterface(usb, 0);
    EXPECT_EQ(params.Types.SingleInterface.ConfiguredUsbInterface, only);
    EXPECT_EQ(params.Types.SingleInterface.NumberConfiguredPipes, 0);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS setting;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 1);
    EXPECT_EQ(WdfUsbInterfaceSelectSetting(only, nullptr, &setting), STATUS_SUCCESS);
    EXPECT_EQ(physicals.front()->usbDevice()->selectedSetting(0), 1);
}

TEST_F(UsbConfig, VariantsWithAMissingInterfaceOrPipeOrAtFullSpeed) {
    WDFUSBDEVICE usb = plugUnconfigured(vq36::Variant::NoCaptureInterface);
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), 3);
    EXPECT_EQ(interfaceNumbered(usb, 2), nullptr);

    vq36::DeviceConfig onePipe;
    onePipe.variant = vq36::Variant::MessageInterfaceOnePipe;
    usbHooks().selectNormal = true;
    auto* ctx = context(plug(onePipe));
    EXPECT_NE(ctx->messageIn, nullptr);
    EXPECT_EQ(ctx->messageOut, nullptr);

    usb = plugUnconfigured(vq36::Variant::FullSpeed);
    WDF_USB_DEVICE_INFORMATION info;
    WDF_USB_DEVICE_INFORMATION_INIT(&info);
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveInformation(usb, &info), STATUS_SUCCESS);
    EXPECT_FALSE(info.Traits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED);
}

}  // namespace
