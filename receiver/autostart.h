#pragma once

#include <QString>

// Whether kavrel-r starts at the user's login, as the desktop's autostart
// entries say: the package's in /etc/xdg/autostart, which a user's own in
// ~/.config/autostart may turn off (Hidden=true, as the desktop's own
// start-up settings write it).
namespace Autostart {

bool enabled();
// False, with the reason, when the user's entry cannot be written.
bool setEnabled(bool on, QString *error);

} // namespace Autostart
