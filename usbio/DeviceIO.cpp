#include "usbio/DeviceIO.h"

#include "common/Translate.h"

namespace usbio {

void InitDeviceIO(DeviceConnection& connection) {
    CloseDevice(connection);
    connection.LastErrorText.clear();
    connection.DeviceHandle = INVALID_HANDLE_VALUE;
    connection.PreparsedData = 0;
}

void CloseDevice(DeviceConnection& connection) {
    if (connection.DeviceHandle != INVALID_HANDLE_VALUE) {
        connection.Platform->Close(connection.DeviceHandle);
        connection.DeviceHandle = INVALID_HANDLE_VALUE;
    }
    connection.WriteLocked = false;
    if (connection.PreparsedData != 0) {
        connection.Platform->FreePreparsedData(connection.PreparsedData);
        connection.PreparsedData = 0;
    }
}

bool LockForWriting(DeviceConnection& connection) {
    if (!connection.IsOpen()) {
        connection.WriteBusy = false;
        return false;
    }
    if (connection.WriteLocked) return true;
    const WriteLock lock = connection.Platform->LockForWriting(connection.DeviceHandle);
    connection.WriteLocked = lock.Held;
    connection.WriteBusy = !lock.Held;
    connection.BusyHolderPid = lock.Held ? 0 : lock.HolderPid;
    return lock.Held;
}

std::string KeyboardBusyText(std::int64_t holderPid) {
    if (holderPid <= 0) return kestrune::Tr(N_("The keyboard is being updated by another program; nothing was written."));
    return kestrune::Fill(kestrune::Tr(N_("The keyboard is being updated by another program (PID %s); nothing was written.")),
                          {std::to_string(holderPid)});
}

}  // namespace usbio
