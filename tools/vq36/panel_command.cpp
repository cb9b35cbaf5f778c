// `vq36 asio panel` (see panel_command.h).

#include "panel_command.h"

#include "asio/iasio.h"
#include "asio_driver.h"
#include "asio_library.h"
#include "panel_script.h"
#include "standin/win32/com_host.h"
#include "stream_client.h"
#include "ui/standin_ui.h"
#include "win32/windows.h"

namespace vq36tools {

bool showSetupDialog(const vq36host::DriverEntry& entry, std::string* error) {
    if (const HRESULT hr = CoInitialize(nullptr); FAILED(hr)) {
        *error = "CoInitialize failed";
        return false;
    }
    bool shown = false;
    if (IASIO* driver = vq36host::createDriverObject(entry, error)) {
        // A host that knows the selector asks for the built-in dialog; controlPanel returns
        // when the user has closed it.
        if (const ASIOError e = driver->future(kAsioFutureUseBuiltInDialog, nullptr);
            e != ASE_SUCCESS) {
            *error = "the driver does not take the selector of the built-in dialog (future: " +
                     std::to_string(e) + ")";
        } else if (const ASIOError c = driver->controlPanel(); c != ASE_OK) {
            *error = "controlPanel failed: " + std::to_string(c);
        } else {
            shown = true;
        }
        standin::win32::releaseInprocObject(driver);
    }
    CoUninitialize();
    return shown;
}

int runPanel(const PanelOptions& options, std::FILE* out, std::FILE* err) {
    if (!options.screenshots.empty()) return writePanelScreenshots(options, out, err);
    constexpr const char* kCommand = "vq36 asio panel";
    if (standin::ui::displayKind() != standin::ui::DisplayKind::X11) {
        std::fprintf(err,
                     "%s: no X display to show the dialog on (DISPLAY is not set, or its server "
                     "does not answer); `--screenshots DIR` writes its pictures without one\n",
                     kCommand);
        return 1;
    }
    if (!machineAnswers(kCommand, "", err)) return 1;
    vq36host::DriverEntry entry;
    std::string error;
    if (!vq36host::findDriver(options.driver, &entry, &error)) {
        std::fprintf(err, "%s: %s (register it with `vq36 regsvr`)\n", kCommand, error.c_str());
        return 1;
    }
    if (vq36InterfacePaths().empty()) {
        std::fprintf(err, "%s: no VQ36 on the machine (plug one in with `vq36 machine plug`)\n",
                     kCommand);
        return 1;
    }
    std::fprintf(out, "the setup dialog of %s is open; close its window (or press Escape) to end\n",
                 options.driver.c_str());
    std::fflush(out);
    if (!showSetupDialog(entry, &error)) {
        std::fprintf(err, "%s: %s\n", kCommand, error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace vq36tools
