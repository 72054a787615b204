#include "update/download_state.h"

#include "update/window.h"

namespace vantel {

void SetStatusLine(MainWindow& window, const std::string& text) {
    // The window waits for its user-interface thread when called from another one.
    window.setControlText(IDC_STATUS, text);
}

}  // namespace vantel
