#pragma once
// The class of a command's outcome. It travels beside the text the user reads,
// so that a front end can act on what happened without reading the wording.

namespace vantel {

enum class Outcome {
    Success,          // the command did what was asked (a download: written and confirmed)
    Unconfirmed,      // written, but the new firmware's version could not be read back
    FileRejected,     // no file named, the file unreadable, not an image, or not for this keyboard
    NoDevice,         // no device selected, the chosen model not listed, or the device not opened
    KeyboardRefused,  // the keyboard refused a command: profile, ISP entry, version, service
    WriteFailed,      // erase, page select, write or reset failed, or the boot loader reported failure
    IspNeverArrived,  // the keyboard left its firmware but never came back as an ISP device
};

}  // namespace vantel
