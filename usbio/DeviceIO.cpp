#include "usbio/DeviceIO.h"

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
    if (connection.PreparsedData != 0) {
        connection.Platform->FreePreparsedData(connection.PreparsedData);
        connection.PreparsedData = 0;
    }
}

}  // namespace usbio
