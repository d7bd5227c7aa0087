// The Win32 back end's serial ports: every port the serial drivers have
// registered (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, a value a port, its data
// the port's name), and for each port device SetupAPI knows, its driver's
// service and, for a USB adapter, the ids, serial number and product string
// of the USB device above it in the device tree. No port is opened; whether
// another program holds one cannot be told without opening it.
#include <windows.h>

// After windows.h, which they need.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/ports.h"

namespace port {

namespace {

// The ports device class (devguid.h: GUID_DEVCLASS_PORTS) and the string the
// device reported as its product (devpkey.h: DEVPKEY_Device_BusReportedDeviceDesc),
// spelled out so that no GUID storage needs defining.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const DEVPROPKEY kReportedProduct = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
// From the port's device node up to its USB device: an FTDI port's node is
// on the FTDI bus under it, a CDC ACM port's an interface of a composite one.
constexpr int kUsbLevels = 3;

FoundPort* named(FoundPorts& found, const char* name) {
    for (std::size_t i = 0; i < found.count; ++i) {
        if (std::strcmp(found.ports[i].name, name) == 0) return &found.ports[i];
    }
    return nullptr;
}

// The ids and serial number in a USB device's instance ID, such as
// USB\VID_0403&PID_6001\A10K1234; its last part is a serial number only
// without "&" (Windows makes one up for a device that has none). False for
// anything else, an interface (&MI_) included.
bool readUsbId(const char* id, FoundPort& port) {
    const char* pid = std::strstr(id, "&PID_");
    if (_strnicmp(id, "USB\\VID_", 8) != 0 || pid == nullptr || std::strstr(id, "&MI_") != nullptr)
        return false;
    port.vid = static_cast<unsigned>(std::strtoul(id + 8, nullptr, 16));
    port.pid = static_cast<unsigned>(std::strtoul(pid + 5, nullptr, 16));
    const char* last = std::strrchr(id, '\\');
    if (last > pid && std::strchr(last, '&') == nullptr)
        std::snprintf(port.serial, sizeof port.serial, "%s", last + 1);
    return true;
}

// The USB device at or above node, and what it reports.
void describeUsb(DEVINST node, FoundPort& port) {
    for (int level = 0; level < kUsbLevels && !port.usb; ++level) {
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        if (CM_Get_Device_IDA(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return;
        port.usb = readUsbId(id, port);
        WCHAR product[96] = {};
        ULONG size = sizeof product - sizeof product[0];
        DEVPROPTYPE type = 0;
        if (port.usb &&
            CM_Get_DevNode_PropertyW(node, &kReportedProduct, &type,
                                     reinterpret_cast<PBYTE>(product), &size, 0) == CR_SUCCESS &&
            type == DEVPROP_TYPE_STRING) {
            WideCharToMultiByte(CP_UTF8, 0, product, -1, port.product, sizeof port.product, NULL,
                                NULL);
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return;
        node = parent;
    }
}

// A string value of key into text; false where there is none.
bool readString(HKEY key, const char* name, char* text, DWORD size) {
    DWORD type = 0;
    DWORD length = size - 1;
    std::memset(text, 0, size);
    return RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE*>(text), &length) ==
               ERROR_SUCCESS &&
           type == REG_SZ;
}

// Each port the serial drivers registered, with its kernel device's name
// ("\Device\Serial0") less the number as its driver until SetupAPI tells.
void findRegistered(FoundPorts& found) {
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD i = 0;; ++i) {
        char device[128] = {};
        char name[64] = {};
        DWORD deviceSize = sizeof device;
        DWORD nameSize = sizeof name - 1;
        DWORD type = 0;
        LONG result = RegEnumValueA(key, i, device, &deviceSize, NULL, &type,
                                    reinterpret_cast<BYTE*>(name), &nameSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ || named(found, name) != nullptr) continue;
        FoundPort* port = addPort(found);
        if (port == nullptr) continue;
        std::snprintf(port->name, sizeof port->name, "%s", name);
        const char* slash = std::strrchr(device, '\\');
        std::snprintf(port->driver, sizeof port->driver, "%s", slash ? slash + 1 : device);
        for (char* end = port->driver + std::strlen(port->driver);
             end > port->driver && end[-1] >= '0' && end[-1] <= '9'; --end)
            end[-1] = '\0';
    }
    RegCloseKey(key);
}

}  // namespace

void findSerialPorts(FoundPorts& found) {
    findRegistered(found);
    HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, NULL, NULL, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64];
        bool hasName = readString(key, "PortName", name, sizeof name);
        RegCloseKey(key);
        FoundPort* port = hasName ? named(found, name) : nullptr;
        if (port == nullptr) continue;
        char service[sizeof port->driver] = {};
        if (SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_SERVICE, NULL,
                                              reinterpret_cast<BYTE*>(service), sizeof service - 1,
                                              NULL)) {
            std::snprintf(port->driver, sizeof port->driver, "%s", service);
        }
        describeUsb(device.DevInst, *port);
    }
    SetupDiDestroyDeviceInfoList(devices);
    for (std::size_t i = 0; i < found.count; ++i) {
        FoundPort& port = found.ports[i];
        const char* family = port.usb                               ? familyOf(port.vid, port.pid)
                             : _stricmp(port.driver, "Serial") == 0 ? "UART"
                                                                    : "";
        std::snprintf(port.family, sizeof port.family, "%s", family);
    }
}

// Windows answers the open of a port that another program has open with
// ERROR_ACCESS_DENIED, as its share mode is 0 (Microsoft, "Communications
// Resource Handles").
RefusalFacts explainRefusal(const char* name, int error) {
    RefusalFacts facts{};
    std::snprintf(facts.device, sizeof facts.device, "%s", name);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        facts.refusal = Refusal::Missing;
    } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        facts.refusal = Refusal::InUse;
    }
    return facts;
}

}  // namespace port
