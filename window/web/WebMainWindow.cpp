#include "window/web/WebMainWindow.h"

#include <emscripten.h>

#include <cstdlib>

#include "upload/FirmwareImage.h"
#include "window/Layout.h"
#include "window/WindowText.h"

// clang-format off
EM_JS(void, kestrune_page_wire, (std::size_t fileLimit), {
    Module.page.setFileLimit(fileLimit);
    Module.page.wire();
});
EM_JS(void, kestrune_page_text, (const char* id, const char* text), {
    document.getElementById(UTF8ToString(id)).textContent = UTF8ToString(text);
});
EM_JS(void, kestrune_page_header, (int column, const char* text), {
    document.querySelectorAll('#device-list thead th')[column].textContent = UTF8ToString(text);
});
EM_JS(void, kestrune_page_label, (const char* id, const char* name), {
    document.getElementById(UTF8ToString(id)).setAttribute('aria-label', UTF8ToString(name));
});
EM_JS(void, kestrune_page_button_text, (const char* id, const char* caption), {
    Module.page.setButtonText(UTF8ToString(id), UTF8ToString(caption));
});
EM_JS(int, kestrune_page_text_width, (const char* text, int length), {
    return Module.page.textWidth(UTF8ToString(text, length));
});
EM_JS(int, kestrune_page_line_height, (), { return Module.page.lineHeight(); });
EM_JS(void, kestrune_page_place, (const char* id, int x, int y, int w, int h), {
    Module.page.place(UTF8ToString(id), x, y, w, h);
});
EM_JS(void, kestrune_page_columns, (int a, int b, int c, int d, int port, int status, int status2), {
    Module.page.setColumns([a, b, c, d, port]);
    document.getElementById('status').style.width = status + 'px';
    document.getElementById('status2').style.width = status2 + 'px';
});
EM_JS(void, kestrune_page_caption, (const char* text), { Module.page.setCaption(UTF8ToString(text)); });
EM_JS(void, kestrune_page_rows, (const char* packed, int selected), {
    const text = UTF8ToString(packed);
    const rows = text ? text.split(String.fromCharCode(30)).map((row) => row.split(String.fromCharCode(31))) : [];
    Module.page.setRows(rows, selected);
});
EM_JS(void, kestrune_page_status, (const char* text), { Module.page.setStatus(UTF8ToString(text)); });
EM_JS(void, kestrune_page_enable, (int button, int on), { Module.page.setEnabled(button, !!on); });
EM_JS(void, kestrune_page_focus, (int button), { Module.page.focusButton(button); });
EM_JS(int, kestrune_page_focused, (), { return Module.page.focusedButton(); });
EM_JS(void, kestrune_page_park_focus, (), { Module.page.parkFocus(); });
EM_JS(void, kestrune_page_show_start, (), { Module.page.showStartAddress(); });
EM_JS(void, kestrune_page_focus_start, (), { Module.page.focusStartAddress(); });
EM_JS(char*, kestrune_page_start, (), { return Module.newUTF8(Module.page.startAddress()); });
EM_JS(void, kestrune_page_set_start, (const char* text), { Module.page.setStartAddress(UTF8ToString(text)); });
EM_JS(char*, kestrune_page_file, (), { return Module.newUTF8(Module.page.file()); });
EM_JS(void, kestrune_page_set_file, (const char* text), { Module.page.setFile(UTF8ToString(text)); });
EM_JS(void, kestrune_page_progress, (double done, double total), { Module.page.setProgress(done, total); });
EM_JS(void, kestrune_page_busy, (int on), { Module.page.setBusy(!!on); });
EM_JS(void, kestrune_page_close, (const char* text), { Module.page.close(UTF8ToString(text)); });
EM_JS(void, kestrune_page_show, (), { Module.page.showWindow(); });
// clang-format on

namespace window::web {
namespace {

constexpr char ClosedText[] =
    N_("Kestrune Loader has ended and closed the keyboard. Reload the page to start again.");

}  // namespace

WebMainWindow::WebMainWindow(usbio::DeviceConnection& connection, WebServices& services,
                             WindowOptions options)
    : connection_(connection), services_(services) {
    // The largest file any firmware file may be, and one byte more, so that a larger one is
    // refused by its size; the page never holds more of it.
    kestrune_page_wire(static_cast<std::size_t>(upload::MaxHexFileBytes) + 1);
    kestrune_page_caption(kestrune::Tr(text::WindowTitle).c_str());
    // Every text in the user's language; a caption's Alt+letter is the same in every language.
    using kestrune::Tr;
    kestrune_page_button_text("refresh", ButtonCaption(Button::Refresh).c_str());
    kestrune_page_button_text("upload", ButtonCaption(Button::Upload).c_str());
    kestrune_page_button_text("select-file", ButtonCaption(Button::SelectFile).c_str());
    kestrune_page_button_text("exit", ButtonCaption(Button::Exit).c_str());
    kestrune_page_text("start-address-label", Tr(text::StartAddressLabel).c_str());
    for (int i = 0; i < 4; ++i) kestrune_page_header(i, Tr(text::ColumnHeaders[i]).c_str());
    kestrune_page_header(4, Tr(text::PortColumnHeader).c_str());
    kestrune_page_label("device-list", Tr(text::DeviceListName).c_str());
    kestrune_page_label("start-address", Tr(text::StartAddressLabel).c_str());
    kestrune_page_label("firmware-file", Tr(text::FirmwareFileName).c_str());
    kestrune_page_label("progress", Tr(text::ProgressName).c_str());
    kestrune_page_label("status", Tr(text::StatusName).c_str());
    ApplyLayout();
    services_.SetEventHandler([this](const PageEvent& event) { OnEvent(event); });
    logic_ = std::make_unique<MainWindow>(connection_, *this, services_, options);
}

WebMainWindow::~WebMainWindow() = default;

void WebMainWindow::ApplyLayout() {
    TextMetrics metrics;
    metrics.lineHeight = kestrune_page_line_height();
    metrics.textWidth = [](std::string_view text) {
        return kestrune_page_text_width(text.data(), static_cast<int>(text.size()));
    };
    const WindowLayout l = ComputeLayout(metrics);
    kestrune_page_place("client", 0, 0, l.width, l.height);
    const std::pair<const char*, Rect> controls[] = {
        {"device-list-box", l.deviceList},   {"refresh", l.refreshButton},
        {"upload", l.uploadButton},          {"select-file", l.selectFileButton},
        {"exit", l.exitButton},              {"start-address-label", l.startAddressLabel},
        {"start-address", l.startAddressField}, {"firmware-file", l.firmwareFileField},
        {"progress", l.progressBar},         {"progress-text", l.progressBar},
        {"status-bar", l.statusBar}};
    for (const auto& [id, r] : controls) kestrune_page_place(id, r.x, r.y, r.width, r.height);
    kestrune_page_columns(l.columnWidths[0], l.columnWidths[1], l.columnWidths[2], l.columnWidths[3],
                          l.portColumnWidth, l.statusPanelWidths[0], l.statusPanelWidths[1]);
}

void WebMainWindow::OnEvent(const PageEvent& event) {
    if (closed_) return;
    switch (event.kind) {
        case EventKind::Button:
            if (event.a >= 0 && event.a <= static_cast<int>(Button::SelectFile))
                logic_->OnButton(static_cast<Button>(event.a));
            break;
        case EventKind::Key: {
            // The page passes no Escape on (see WebPage.js): it never ends the page.
            const Key key = event.a == 0 ? Key::F1 : Key::Other;
            logic_->OnKeyDown(key, KeyModifiers{(event.b & 1) != 0, (event.b & 2) != 0, (event.b & 4) != 0});
            break;
        }
        case EventKind::Row:
            if (event.a >= 0) logic_->OnRowSelected(static_cast<std::size_t>(event.a));
            break;
        case EventKind::Device: logic_->OnDeviceArrivedOrLeft(); break;
        case EventKind::Drop:
            if (!event.text.empty()) logic_->OnFileDropped(event.text);
            break;
        case EventKind::None: break;
    }
}

void WebMainWindow::Run() {
    // Shown first: a hidden control takes no focus, and Start gives Refresh the focus. Nothing is
    // painted before Start has filled the window in (both run before the page's next frame).
    kestrune_page_show();
    logic_->Start();
    while (!closed_) services_.WaitAndRun(logic_->IsIdle());
}

// ---- MainWindowView ----

void WebMainWindow::SetCaption(const std::string& text) { kestrune_page_caption(text.c_str()); }

void WebMainWindow::SetDeviceRows(const std::vector<DeviceRow>& rows, std::optional<std::size_t> selected) {
    std::string packed;
    for (const DeviceRow& row : rows) {
        if (!packed.empty()) packed += '\x1e';
        for (const std::string* cell : {&row.vendorId, &row.productId, &row.firmwareVersion, &row.mode}) {
            packed += *cell;
            packed += '\x1f';
        }
        packed += row.port;
    }
    kestrune_page_rows(packed.c_str(), selected && *selected < rows.size() ? static_cast<int>(*selected) : -1);
}

void WebMainWindow::SetStatusText(const std::string& text) {
    kestrune_page_status(text.c_str());
    services_.ShowSoon();
}

void WebMainWindow::SetButtonEnabled(Button button, bool enabled) {
    kestrune_page_enable(static_cast<int>(button), enabled ? 1 : 0);
}

void WebMainWindow::FocusButton(Button button) { kestrune_page_focus(static_cast<int>(button)); }

std::optional<Button> WebMainWindow::FocusedButton() {
    const int focused = kestrune_page_focused();
    if (focused < 0) return std::nullopt;
    return static_cast<Button>(focused);
}

void WebMainWindow::ParkFocus() { kestrune_page_park_focus(); }
void WebMainWindow::ShowStartAddress() { kestrune_page_show_start(); }
void WebMainWindow::FocusStartAddress() { kestrune_page_focus_start(); }
std::string WebMainWindow::StartAddressText() { return TakeUtf8(kestrune_page_start()); }
void WebMainWindow::SetStartAddressText(const std::string& text) { kestrune_page_set_start(text.c_str()); }
std::string WebMainWindow::FirmwareFileText() { return TakeUtf8(kestrune_page_file()); }
void WebMainWindow::SetFirmwareFileText(const std::string& text) { kestrune_page_set_file(text.c_str()); }

void WebMainWindow::SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) {
    kestrune_page_progress(static_cast<double>(doneBytes), static_cast<double>(totalBytes));
}

void WebMainWindow::SetBusyPointer(bool busy) { kestrune_page_busy(busy ? 1 : 0); }

// A page cannot close its tab: the keyboard is closed and the window goes.
void WebMainWindow::Close() {
    closed_ = true;
    usbio::CloseDevice(connection_);
    kestrune_page_close(kestrune::Tr(ClosedText).c_str());
}

}  // namespace window::web
