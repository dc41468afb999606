// The program's pictures, drawn at run time so that no image file has to travel with it.
#pragma once

#include <QIcon>
#include <QPixmap>

#include "base/status_view.h"

namespace tarvo {

// The window icon (and so the tray icon): a crosspoint grid with a link lamp, green when the
// switcher is connected and red with a bar across when it is not.
QIcon LinkIconImage(LinkIcon state);
// The maker's logo in the About dialog.
QPixmap MakerLogo(int size);

}  // namespace tarvo
