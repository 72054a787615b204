#include "link/hid_backend.h"

namespace vantel {

DeviceBroadcast makeInterfaceBroadcast(std::uint32_t event, const Guid& cls,
                                       const std::string& name, bool wide) {
    DeviceBroadcast b;
    b.event = event;
    b.deviceType = DBT_DEVTYP_DEVICEINTERFACE;
    b.classGuid = cls;
    if (wide) {
        // Device paths are ASCII; a wider character set goes through the shell's conversion.
        for (unsigned char c : name) {
            b.name.push_back(c);
            b.name.push_back(0);
        }
        b.name.push_back(0);
        b.name.push_back(0);
    } else {
        b.name.assign(name.begin(), name.end());
        b.name.push_back(0);
    }
    return b;
}

}  // namespace vantel
