#pragma once
// The web window: a thin view of the window logic (window/MainWindow.h) over the page's HTML
// controls (window/web/index.html.in, WebPage.js), laid out from window/Layout with the page's
// font. It forwards the page's queued events to the logic and shows what the logic tells it to.
#include <memory>

#include "window/MainWindow.h"
#include "window/web/WebServices.h"

namespace window::web {

class WebMainWindow final : public MainWindowView {
public:
    WebMainWindow(usbio::DeviceConnection& connection, WebServices& services, WindowOptions options);
    ~WebMainWindow() override;

    // Shows the window and runs it until Exit.
    void Run();
    MainWindow& Logic() { return *logic_; }

    // MainWindowView
    void SetCaption(const std::string& text) override;
    void SetDeviceRows(const std::vector<DeviceRow>& rows, std::optional<std::size_t> selected) override;
    void SetStatusText(const std::string& text) override;
    void SetButtonEnabled(Button button, bool enabled) override;
    void FocusButton(Button button) override;
    std::optional<Button> FocusedButton() override;
    void ParkFocus() override;
    void ShowStartAddress() override;
    void FocusStartAddress() override;
    std::string StartAddressText() override;
    void SetStartAddressText(const std::string& text) override;
    std::string FirmwareFileText() override;
    void SetFirmwareFileText(const std::string& text) override;
    void SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) override;
    void SetBusyPointer(bool busy) override;
    void Close() override;

private:
    void ApplyLayout();
    void OnEvent(const PageEvent& event);

    usbio::DeviceConnection& connection_;
    WebServices& services_;
    std::unique_ptr<MainWindow> logic_;
    bool closed_ = false;
};

}  // namespace window::web
