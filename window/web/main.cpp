// The web page's program: the window on the keyboards the browser grants the page (index.html),
// or on the simulated keyboard (demo.html), which comes back by itself a few seconds after the
// switch to firmware-upload mode and again after an upload.
#include <emscripten.h>

#include "common/Clock.h"
#include "sim/SimHidPlatform.h"
#include "usbio/WebHidPlatform.h"
#include "window/web/WebMainWindow.h"

// clang-format off
EM_JS(int, kestrune_page_is_demo, (), { return document.body.dataset.mode === 'demo' ? 1 : 0; });
EM_JS(void, kestrune_page_unsupported, (), { Module.page.showUnsupported(); });
// clang-format on

int main() {
    window::web::SetUpPageLanguage();
    const bool demo = kestrune_page_is_demo() != 0;
    if (!demo && !usbio::WebHidPlatform::Available()) {
        kestrune_page_unsupported();
        return 0;
    }
    kestrune::SteadyClock clock;
    sim::SimKeyboard keyboard(clock, sim::DemoKeyboardConfig());
    sim::SimHidPlatform simulated(keyboard, sim::DemoDecoys());
    usbio::WebHidPlatform browser;
    usbio::DeviceConnection connection(demo ? static_cast<usbio::HidPlatform&>(simulated) : browser);
    window::web::WebServices services;
    window::web::WebMainWindow window(connection, services,
                                      window::WindowOptions{.demo = demo, .grantReturnedKeyboard = !demo,
                                                            .quietStartupScan = !demo});
    window.Run();
    usbio::CloseDevice(connection);
    return 0;
}
